// PyxManager: the control path. One per process, created on the manager's
// worker loop at start-up and used only there. It opens disks through the
// chain GetVdiSize -> LocateVdi -> QueryPlaneRoute -> RegisterVdi with
// fail-over between volume managers and block masters, hands every I/O
// driver what it needs for a disk, answers the snapshot service and
// unregisters disks at pyx_free.
//
// Disks are known to the manager from the moment a query of them is posted
// (pyx_init, get_vdisk_size) until pyx_free detaches them; an answer that
// arrives for a detached disk is dropped with a line and never touches the
// record. Each attachment gets its own generation, so a new record that the
// host happens to allocate at a freed record's address never receives the
// freed one's late answers.
//
// Every call the manager sends is tracked until its closure runs; calls
// still out when the manager is deleted (pyx_finish_env) are freed then.
#ifndef PYXDRIVER_CONTROL_PYX_MANAGER_H_
#define PYXDRIVER_CONTROL_PYX_MANAGER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pyxdriver/pyxdriver.h"
#include "tarn/types.h"

namespace google {
namespace protobuf {
class Closure;
}  // namespace protobuf
}  // namespace google
namespace tarn {
class RpcClient;
class RpcController;
class Worker;
}  // namespace tarn
namespace volume {
class PYXDriverCreateSnapshotResponse;
class VolumeManagerGetVdiSizeResponse;
class VolumeManagerLocateVdiResponse;
class VolumeManagerRegisterVdiResponse;
class VolumeManagerUnregisterVdiResponse;
}  // namespace volume
namespace vovorav {
class BlockMasterQueryPlaneRouteResponse;
}  // namespace vovorav

class ClientManager;
class PyxDriver;

// A list of {ip, port} and the index of the entry in use.
struct primary_addr_index {
  struct addr {
    std::string ip;
    int32_t port;
  };
  std::vector<addr> addrs;
  int32_t index = 0;
};

// Closure record of pyx_free's unregistration; lives across its retries.
struct unregister_vdi_param {
  uint64_t attempts;
  std::string name;
  std::string service_ip;
  uint32_t service_port;
  // Attachments from this generation on are opens of the name after
  // pyx_free (set when the unregistration starts on the manager's loop).
  uint64_t opened_after = 0;
};

// Common part of the closure records of the manager's calls: the call's
// controller and the generation of the disk it was sent for. A record is
// freed, with its controller and response, once its handler has run.
struct manager_call_param {
  manager_call_param() = default;
  manager_call_param(const manager_call_param&) = delete;
  manager_call_param& operator=(const manager_call_param&) = delete;
  virtual ~manager_call_param();
  tarn::RpcController* cntl = nullptr;
  uint64_t gen = 0;
};

struct vdisk_size_param : manager_call_param {
  ~vdisk_size_param() override;
  bdev_pyx* disk = nullptr;
  volume::VolumeManagerGetVdiSizeResponse* resp = nullptr;
};

struct get_blockmaster_param : manager_call_param {
  ~get_blockmaster_param() override;
  bdev_pyx* disk = nullptr;
  volume::VolumeManagerLocateVdiResponse* resp = nullptr;
};

// QueryPlaneRoute of the bring-up. The response is shared with the drivers'
// route-cache copies; the last holder frees it.
struct query_route_param : manager_call_param {
  uint8_t index = 0;  // block master used
  bdev_pyx* disk = nullptr;
  std::string key;    // its address key
  std::string uuid;   // the disk's uuid the query was sent for
  std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> resp;
};

// QueryPlaneRoute of a refresh asked by driver `id`.
struct query_route_param2 : query_route_param {
  int32_t id = 0;
};

// RegisterVdi: the controller's user_data is the disk.
struct register_vdi_param : manager_call_param {
  ~register_vdi_param() override;
  bdev_pyx* disk = nullptr;
  volume::VolumeManagerRegisterVdiResponse* resp = nullptr;
};

// UnregisterVdi: the controller's user_data is the unregister_vdi_param,
// owned by this call until a retry takes it over.
struct unregister_call_param : manager_call_param {
  ~unregister_call_param() override;
  std::unique_ptr<unregister_vdi_param> param;
  volume::VolumeManagerUnregisterVdiResponse* resp = nullptr;
};

class PyxManager {
 public:
  PyxManager(tarn::Transport tp, tarn::Worker* worker);
  // On the manager's loop: deletes every client group, then frees the calls
  // still out (their closures never run once their clients are gone).
  ~PyxManager();
  PyxManager(const PyxManager&) = delete;
  PyxManager& operator=(const PyxManager&) = delete;

  tarn::Worker* worker() const { return worker_; }

  // Start-up, on the manager's loop.
  void save_volume_manager_addr(const std::vector<std::string>& ips,
                                const std::vector<std::string>& ports);

  // Everything below runs on the manager's loop; host threads and drivers
  // post to it (see exported.cc and pyx::RequestRouteRefresh).
  void pyx_get_vdisk_size(bdev_pyx* disk);
  void pyx_route_query(bdev_pyx* disk, uint64_t start, uint64_t length);
  void pyx_route_query2(bdev_pyx* disk, uint64_t start, uint64_t length, int id);
  void UnregisterVdi(unregister_vdi_param* param);
  // Any thread: posts the work to the manager's loop, where the manager is
  // looked up; without one (not created yet, or taken down) the answer is
  // -30100.
  static void CreateSnapshot(const std::string& name, uint64_t dgs,
                      volume::PYXDriverCreateSnapshotResponse* response,
                      google::protobuf::Closure* done);
  void FreeDgs(const std::string& name);
  // pyx_init / get_vdisk_size: the disk is live from now on.
  void AttachDisk(bdev_pyx* disk);
  // pyx_free, synchronously on the manager's loop.
  void DetachDisk(bdev_pyx* disk);
  bool IsAttached(bdev_pyx* disk) const { return live_.count(disk) != 0; }
  // Some disk attached at generation `since` or later carries this name.
  bool NameOpenSince(const std::string& name, uint64_t since) const;

  // Client groups by address key (ip ":" port); one client each here.
  ClientManager* pyx_set_client_manager(const std::string& ip, int port, int n);
  ClientManager* pyx_get_client_manager(const std::string& ip, int port, int n);
  // The next client of the current volume manager; null without any.
  tarn::RpcClient* GetVolumeMngRpcClient();
  void Switch2NextVolumeManager();

  // Test access (manager's loop).
  const std::map<std::string, ClientManager*>& clients() const { return clients_; }
  const std::map<std::string, primary_addr_index>& blockmasters() const { return blockmasters_; }
  const std::map<std::string, uint64_t>& dgs() const { return dgs_; }
  size_t calls_out() const { return calls_.size(); }

 private:
  class Call;

  // A closure that runs handler(record) once on the manager's loop and then
  // frees the record; tracked in calls_ until then.
  template <typename Record>
  google::protobuf::Closure* NewCall(Record* record, void (PyxManager::*handler)(Record*));
  // The generation of a live disk, 0 when it is not attached.
  uint64_t GenOf(bdev_pyx* disk) const;
  // True when the record's disk is still the one the call was sent for;
  // otherwise logs that the answer is dropped.
  bool StillLive(bdev_pyx* disk, uint64_t gen, const char* what) const;
  // Gives up on a bring-up: ok 0, then the host's callback.
  void EndBringUp(bdev_pyx* disk);
  // Hands a good route answer to the drivers in `ids` whose term it does
  // not take back (an older answer that lands late is logged and dropped
  // for a driver already holding a newer term), and writes the disk's
  // geometry when the answer is the newest of the disk. Returns how many
  // drivers took it.
  int TakeRoutes(query_route_param* param, const std::vector<int>& ids, const char* master_label);
  void PostToDrivers(const std::function<void(PyxDriver*)>& fn);

  void pyx_get_blockmaster(bdev_pyx* disk);
  void RegisterVdi(bdev_pyx* disk);
  void SendUnregister(std::unique_ptr<unregister_vdi_param> param);
  // Fills the record's block master, controller and response; the client
  // to send on, or null (logged) when the disk has no block master.
  tarn::RpcClient* PrepareRouteQuery(query_route_param* param, bdev_pyx* disk);
  void SendRouteQuery(tarn::RpcClient* client, query_route_param* param, bdev_pyx* disk,
                      uint64_t start, uint64_t length, google::protobuf::Closure* done);
  void HandleGetVdiskSizeResponse(vdisk_size_param* param);
  void HandleGetBlockMasterResponse(get_blockmaster_param* param);
  void HandleQueryRouteResponse(query_route_param* param);
  void HandleQueryRouteResponse2(query_route_param2* param);
  void HandleRegisterVdiResponse(register_vdi_param* param);
  void HandleUnregisterVdiResponse(unregister_call_param* param);
  void CreateSnapshotOnLoop(const std::string& name, uint64_t dgs,
                            volume::PYXDriverCreateSnapshotResponse* response,
                            google::protobuf::Closure* done);

  // LocateVdi answer pieces; false ends the bring-up.
  void TakeBlockMasters(bdev_pyx* disk, get_blockmaster_param* param);
  bool TakeBlockServers(bdev_pyx* disk, get_blockmaster_param* param);

  tarn::Transport transport_;
  tarn::Worker* worker_;
  std::map<std::string, ClientManager*> clients_;
  std::map<std::string, primary_addr_index> blockmasters_;
  std::map<std::string, uint64_t> dgs_;
  // A live disk: its generation, and the newest route term handed to each
  // driver in this attachment (route answers only ever move a driver's
  // term forward).
  struct LiveDisk {
    uint64_t gen = 0;
    uint64_t terms[16] = {};
  };
  std::unordered_map<bdev_pyx*, LiveDisk> live_;
  uint64_t next_gen_ = 1;
  std::unordered_set<Call*> calls_;
  // uuid copies a repeated bring-up replaced; drivers may still be reading
  // them, so they go with the manager.
  std::vector<char*> retired_uuids_;
};

#endif  // PYXDRIVER_CONTROL_PYX_MANAGER_H_
