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
// record.
#ifndef PYXDRIVER_CONTROL_PYX_MANAGER_H_
#define PYXDRIVER_CONTROL_PYX_MANAGER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pyxdriver/pyxdriver.h"
#include "tarn/types.h"

namespace google {
namespace protobuf {
class Closure;
}  // namespace protobuf
}  // namespace google
namespace tarn {
class Worker;
}  // namespace tarn
namespace volume {
class PYXDriverCreateSnapshotResponse;
}  // namespace volume

class ClientManager;

// A list of {ip, port} and the index of the entry in use.
struct primary_addr_index {
  struct addr {
    std::string ip;
    int32_t port;
  };
  std::vector<addr> addrs;
  int32_t index = 0;
};

// Closure record of pyx_free's unregistration.
struct unregister_vdi_param {
  uint64_t attempts;
  std::string name;
  std::string service_ip;
  uint32_t service_port;
};

class PyxManager {
 public:
  PyxManager(tarn::Transport tp, tarn::Worker* worker);
  // On the manager's loop: deletes every client group.
  ~PyxManager();

  tarn::Worker* worker() const { return worker_; }

  // Start-up, on the manager's loop.
  void save_volume_manager_addr(const std::vector<std::string>& ips,
                                const std::vector<std::string>& ports);

  // Posted from host threads (they post to the manager's loop themselves).
  void pyx_get_vdisk_size(bdev_pyx* disk);
  void pyx_route_query(bdev_pyx* disk, uint64_t start, uint64_t length);
  void pyx_route_query2(bdev_pyx* disk, uint64_t start, uint64_t length, int id);
  void UnregisterVdi(unregister_vdi_param* param);
  void CreateSnapshot(const std::string& name, uint64_t dgs,
                      volume::PYXDriverCreateSnapshotResponse* response,
                      google::protobuf::Closure* done);
  void FreeDgs(const std::string& name);
  // pyx_init / get_vdisk_size: the disk is live from now on.
  void AttachDisk(bdev_pyx* disk);
  // pyx_free, synchronously on the manager's loop.
  void DetachDisk(bdev_pyx* disk);

  // Test access (manager's loop).
  const std::map<std::string, ClientManager*>& clients() const { return clients_; }
  const std::map<std::string, primary_addr_index>& blockmasters() const { return blockmasters_; }
  const std::map<std::string, uint64_t>& dgs() const { return dgs_; }

 private:
  struct Impl;
  tarn::Transport transport_;
  tarn::Worker* worker_;
  std::map<std::string, ClientManager*> clients_;
  std::map<std::string, primary_addr_index> blockmasters_;
  std::map<std::string, uint64_t> dgs_;
};

#endif  // PYXDRIVER_CONTROL_PYX_MANAGER_H_
