// The bring-up chain of a disk on the manager's loop: GetVdiSize, LocateVdi,
// (route query, pyx_manager_routes.cc), RegisterVdi; and UnregisterVdi.
//
// Each step counts its attempts in the disk record and fails over to the
// next volume manager until it has tried as many as there are; it gives up
// with ok 0 and the host's callback. The counter is reset when the host
// starts a query and when a step succeeds.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>

#include "control/client_manager.h"
#include "control/globals.h"
#include "control/manager_call.h"
#include "control/pyx_manager.h"
#include "record_access.h"
#include "tarn/base/logging.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "volume.pb.h"

namespace {

int VolumeManagerCount() { return static_cast<int>(volume_manager_addr.addrs.size()); }

// Moves the process-wide volume-manager index on by one (no line).
void NextVolumeManager() {
  const int count = VolumeManagerCount();
  if (count > 0) volume_manager_addr.index = (volume_manager_addr.index + 1) % count;
}

// The step's line naming the volume manager it asks.
void LogCurrentVolumeManager() {
  const primary_addr_index::addr& vm = volume_manager_addr.addrs[volume_manager_addr.index];
  LOG_INFO << "volume manager ip:" << vm.ip << "|volume manager port:" << vm.port
           << "|volume manager:" << vm.ip << ":" << vm.port;
}

int32_t CountAttempt(bdev_pyx* disk) {
  const int32_t attempts = pyx::Load(disk->attempts) + 1;
  pyx::Store(disk->attempts, attempts);
  return attempts;
}

// The driver's own snapshot-service address, as volume managers expect it.
void FillClientInfo(ClientInfo* info, const std::string& ip, uint32_t port) {
  if (ip.find(':') == std::string::npos) {
    info->mutable_endpoint()->set_ip(inet_addr(ip.c_str()));
    info->mutable_endpoint()->set_port(port);
  } else {
    info->mutable_endpoint_v6()->set_ipv6(ip);
    info->mutable_endpoint_v6()->set_port(port);
  }
}

std::string Ipv4Text(uint32_t ip_net_order) {
  in_addr addr;
  addr.s_addr = ip_net_order;
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  return text;
}

// deleting 0 and exists 1 in one store: the two bytes lie side by side.
void MarkRegistered(bdev_pyx* disk) {
  typedef uint16_t __attribute__((may_alias)) both_flags;
  const uint8_t bytes[2] = {0, 1};
  uint16_t value;
  memcpy(&value, bytes, sizeof(value));
  __atomic_store_n(reinterpret_cast<both_flags*>(&disk->deleting), value, __ATOMIC_RELAXED);
}

}  // namespace

// ---- Size.

void PyxManager::pyx_get_vdisk_size(bdev_pyx* disk) {
  const uint64_t gen = GenOf(disk);
  if (gen == 0) {
    LOG_WARN << "size query dropped: its vdisk is not attached";
    return;
  }
  if (VolumeManagerCount() == 0) {
    LOG_ERROR << "no volume manager to ask for vdi " << disk->name;
    EndBringUp(disk);
    return;
  }
  LogCurrentVolumeManager();
  tarn::RpcClient* client = GetVolumeMngRpcClient();
  auto* param = new vdisk_size_param;
  param->gen = gen;
  param->disk = disk;
  param->cntl = new tarn::RpcController(client->conn());
  param->resp = new volume::VolumeManagerGetVdiSizeResponse;
  volume::VolumeManagerGetVdiSizeRequest request;
  request.mutable_vdi()->set_id(disk->name);
  volume::VolumeManagerService_Stub stub(client);
  stub.GetVdiSize(param->cntl, &request, param->resp,
                  NewCall(param, &PyxManager::HandleGetVdiskSizeResponse));
}

void PyxManager::HandleGetVdiskSizeResponse(vdisk_size_param* param) {
  bdev_pyx* disk = param->disk;
  if (!StillLive(disk, param->gen, "GetVdiSize")) return;
  const int32_t attempts = CountAttempt(disk);
  if (!param->cntl->Failed() && param->resp->rc().retcode() == 0) {
    const uint64_t size = param->resp->size();
    if (pyx::Load(disk->size) == 0) {
      PostToDrivers([disk, size](PyxDriver* driver) {
        driver->BitMapCreate(disk, size);
        if (is_crc) {
          driver->VectorCreate(disk, size);
          driver->segmentCreate(disk, size);
          driver->streamCreate(disk, size);
          driver->extentCreate(disk, size);
          driver->offset_extentCreate(disk, size);
        }
      });
    }
    pyx::Store(disk->size, size);
    LOG_INFO << "+++++++++vdisk size:" << size << "bytes";
    pyx::Store(disk->attempts, 0);
    if (pyx::Load(disk->mode) == 1) {
      if (disk->done != nullptr) disk->done(disk);
      return;
    }
    pyx_get_blockmaster(disk);
    return;
  }
  // Why, for whoever reads the log after a bring-up that failed (a disk
  // the cluster does not know answers -10006).
  if (param->cntl->Failed()) {
    LOG_ERROR << "get size of vdi " << disk->name << " failed: " << param->cntl->ErrorText();
  } else {
    LOG_ERROR << "get size of vdi " << disk->name << " failed|retcode:"
              << param->resp->rc().retcode() << "|errmsg:" << param->resp->rc().errmsg();
  }
  if (attempts < VolumeManagerCount()) {
    LOG_INFO << "get disk size failed,retry next volumemanager...";
    NextVolumeManager();
    pyx_get_vdisk_size(disk);
    return;
  }
  EndBringUp(disk);
}

// ---- Locate.

void PyxManager::pyx_get_blockmaster(bdev_pyx* disk) {
  LogCurrentVolumeManager();
  tarn::RpcClient* client = GetVolumeMngRpcClient();
  auto* param = new get_blockmaster_param;
  param->gen = GenOf(disk);
  param->disk = disk;
  param->cntl = new tarn::RpcController(client->conn());
  param->resp = new volume::VolumeManagerLocateVdiResponse;
  volume::VolumeManagerLocateVdiRequest request;
  request.mutable_vdi()->set_id(disk->name);
  volume::VolumeManagerService_Stub stub(client);
  stub.LocateVdi(param->cntl, &request, param->resp,
                 NewCall(param, &PyxManager::HandleGetBlockMasterResponse));
}

void PyxManager::HandleGetBlockMasterResponse(get_blockmaster_param* param) {
  bdev_pyx* disk = param->disk;
  if (!StillLive(disk, param->gen, "LocateVdi")) return;
  const int32_t attempts = CountAttempt(disk);
  tarn::RpcController* cntl = param->cntl;
  const volume::VolumeManagerLocateVdiResponse& resp = *param->resp;
  if (cntl->Failed() || resp.rc().retcode() != 0) {
    LOG_ERROR << "can not get blockmaster ip;" << "|retcode:" << resp.rc().retcode()
              << "|err msg:" << resp.rc().errmsg() << "|vdi name:" << disk->name
              << "|cntl error text:" << cntl->ErrorText() << "|remote_side:" << cntl->uuid();
    if (attempts < VolumeManagerCount()) {
      LOG_WARN << "get blockmaster failed,retry next volumemanager...";
      NextVolumeManager();
      pyx_get_blockmaster(disk);
    } else {
      EndBringUp(disk);
    }
    return;
  }
  const int masters = is_ipv6 ? resp.blockmasters_v6_size() : resp.blockmasters_size();
  const int servers = is_ipv6 ? resp.blocksvrs_v6_size() : resp.blocksvrs_size();
  if (masters == 0 || servers == 0) {
    LOG_ERROR << (is_ipv6 ? "can not get blockmaster ip or blockserver ip ipv6:"
                          : "can not get blockmaster ip or blockserver ip:")
              << "|vdi name:" << disk->name << "|vdi uuid:" << resp.vdi_uuid()
              << "|blockmaster ip size:" << masters << "|blockserver ip size:" << servers
              << "|remote_side:" << cntl->uuid();
    EndBringUp(disk);
    return;
  }
  TakeBlockMasters(disk, param);

  char* old_uuid = pyx::Load(disk->uuid);
  if (old_uuid == nullptr || resp.vdi_uuid() != old_uuid) {
    pyx::Store(disk->uuid, strdup(resp.vdi_uuid().c_str()));
    if (old_uuid != nullptr) {
      retired_uuids_.push_back(old_uuid);
      // Another disk behind the name: its route terms start afresh.
      LiveDisk& live = live_[disk];
      std::fill(std::begin(live.terms), std::end(live.terms), 0);
    }
  }
  if (!TakeBlockServers(disk, param)) {
    EndBringUp(disk);
    return;
  }
  const std::string name = disk->name;
  const uint64_t dgs = resp.dgs();
  dgs_[name] = dgs;
  PostToDrivers([name, dgs](PyxDriver* driver) { driver->CreateDgs(name, dgs); });
  pyx::Store(disk->attempts, 0);
  pyx_route_query(disk, 0, pyx::Load(disk->size));
}

void PyxManager::TakeBlockMasters(bdev_pyx* disk, get_blockmaster_param* param) {
  const volume::VolumeManagerLocateVdiResponse& resp = *param->resp;
  primary_addr_index list;
  list.index = 0;  // when no member is the primary
  auto take = [&](int i, const std::string& ip, int port, int role) {
    list.addrs.push_back({ip, port});
    if (role == 0) {
      list.index = i;
      LOG_INFO << "blockmaster primary_index is: " << i << "member.role: " << role;
    }
    pyx_set_client_manager(ip, port, 1);
    LOG_INFO << "Get blockmaster ip successfully:" << "|blockmaster ip:" << ip
             << "|blockmaster_port:" << port << "|vdi name:" << disk->name
             << "|remote_side:" << param->cntl->uuid();
  };
  if (is_ipv6) {
    for (int i = 0; i < resp.blockmasters_v6_size(); ++i) {
      const MemberIPv6Info& m = resp.blockmasters_v6(i);
      take(i, m.ipv6(), static_cast<int>(m.port()), m.role());
    }
  } else {
    for (int i = 0; i < resp.blockmasters_size(); ++i) {
      const MemberInfo& m = resp.blockmasters(i);
      take(i, Ipv4Text(m.ip()), static_cast<int>(m.port()), m.role());
    }
  }
  blockmasters_[disk->name] = std::move(list);
}

bool PyxManager::TakeBlockServers(bdev_pyx* disk, get_blockmaster_param* param) {
  const volume::VolumeManagerLocateVdiResponse& resp = *param->resp;
  const std::string uuid = resp.vdi_uuid();
  const int n = client_nums;
  if (!is_ipv6) {
    for (const MemberEndpoint& server : resp.blocksvrs()) {
      const int port = static_cast<int>(server.port()) + gazelle_port;
      const int ip = static_cast<int>(server.ip());
      const std::string text = Ipv4Text(server.ip());
      PostToDrivers([ip, text, port, n](PyxDriver* driver) {
        driver->pyx_set_client_manager(ip, text, port, n);
      });
      LOG_INFO << "Get blockserver ip successfully:" << "|blockserver ip:" << server.ip()
               << "|blockserver_port:" << port << "|vdi name:" << disk->name
               << "|vdi uuid:" << uuid << "|remote_side:" << param->cntl->uuid();
    }
    return true;
  }
  for (const MemberIPv6Endpoint& server : resp.blocksvrs_v6()) {
    const int port = static_cast<int>(server.port()) + gazelle_port;
    const std::string text = server.ipv6();
    in6_addr bin;
    if (inet_pton(AF_INET6, text.c_str(), &bin) != 1) {
      LOG_ERROR << "AF_INET6 inet_pton error" << text;
      return false;
    }
    uint32_t words[4];
    memcpy(words, &bin, sizeof(words));
    LOG_INFO << "after pton" << text << " int0 " << words[0] << " int1 " << words[1] << " int2 "
             << words[2] << " int3 " << words[3];
    Ipv6Addr ip;
    for (uint32_t w : words) ip.add_ip(w);
    PostToDrivers([ip, text, port, n](PyxDriver* driver) {
      driver->pyx_set_client_managerv6(ip, text, port, n);
    });
    LOG_INFO << "Get blockserver ip successfully:" << "|blockserver ip:" << text
             << "|blockserver_port:" << port << "|vdi name:" << disk->name << "|vdi uuid:" << uuid
             << "|remote_side:" << param->cntl->uuid();
  }
  return true;
}

// ---- Registration.

void PyxManager::RegisterVdi(bdev_pyx* disk) {
  tarn::RpcClient* client = GetVolumeMngRpcClient();
  auto* param = new register_vdi_param;
  param->gen = GenOf(disk);
  param->disk = disk;
  param->cntl = new tarn::RpcController(client->conn());
  param->cntl->set_user_data(disk);
  param->resp = new volume::VolumeManagerRegisterVdiResponse;
  volume::VolumeManagerRegisterVdiRequest request;
  request.mutable_vdi()->set_id(disk->name);
  FillClientInfo(request.mutable_info(), service_ip, static_cast<uint32_t>(service_port));
  volume::VolumeManagerService_Stub stub(client);
  stub.RegisterVdi(param->cntl, &request, param->resp,
                   NewCall(param, &PyxManager::HandleRegisterVdiResponse));
}

void PyxManager::HandleRegisterVdiResponse(register_vdi_param* param) {
  auto* disk = static_cast<bdev_pyx*>(param->cntl->user_data());
  if (!StillLive(disk, param->gen, "RegisterVdi")) return;
  const int32_t attempts = CountAttempt(disk);
  tarn::RpcController* cntl = param->cntl;
  // A failed attempt leaves `exists` as it is: a disk already open (a full
  // bring-up asked again) keeps serving its I/O while the next volume
  // manager is tried, and a new disk has none. Only giving up clears it.
  if (cntl->Failed()) {
    pyx::Store(disk->ok, 0);
    LOG_ERROR << "Failed to register vdi " << disk->name << " err: " << cntl->ErrorText();
  } else if (param->resp->rc().retcode() == 0) {
    pyx::Store(disk->ok, 1);
    MarkRegistered(disk);
    pyx::Store(disk->attempts, 0);
    if (disk->done != nullptr) disk->done(disk);
    return;
  } else {
    pyx::Store(disk->ok, 0);
    LOG_ERROR << "Failed to register vdi " << disk->name << " Err: "
              << param->resp->rc().retcode() << param->resp->rc().errmsg();
  }
  if (attempts < VolumeManagerCount()) {
    Switch2NextVolumeManager();
    RegisterVdi(disk);
    return;
  }
  pyx::Store(disk->exists, 0);
  EndBringUp(disk);
}

// ---- Unregistration (pyx_free); the record carries copies, never the disk.

void PyxManager::UnregisterVdi(unregister_vdi_param* param) {
  // pyx_free posts this before it detaches the disk, so every attachment
  // from here on is a new open of the name.
  param->opened_after = next_gen_;
  SendUnregister(std::unique_ptr<unregister_vdi_param>(param));
}

void PyxManager::SendUnregister(std::unique_ptr<unregister_vdi_param> param) {
  if (VolumeManagerCount() == 0) {
    LOG_ERROR << "Failed to unregister vdi " << param->name << " err: no volume manager";
    return;
  }
  tarn::RpcClient* client = GetVolumeMngRpcClient();
  auto* call = new unregister_call_param;
  call->param = std::move(param);
  call->cntl = new tarn::RpcController(client->conn());
  call->cntl->set_user_data(call->param.get());
  call->resp = new volume::VolumeManagerUnregisterVdiResponse;
  volume::VolumeManagerUnregisterVdiRequest request;
  request.mutable_vdi()->set_id(call->param->name);
  FillClientInfo(request.mutable_info(), call->param->service_ip, call->param->service_port);
  volume::VolumeManagerService_Stub stub(client);
  stub.UnregisterVdi(call->cntl, &request, call->resp,
                     NewCall(call, &PyxManager::HandleUnregisterVdiResponse));
}

void PyxManager::HandleUnregisterVdiResponse(unregister_call_param* call) {
  unregister_vdi_param* param = call->param.get();
  param->attempts += 1;
  tarn::RpcController* cntl = call->cntl;
  if (cntl->Failed()) {
    LOG_ERROR << "Failed to unregister vdi " << param->name << " err: " << cntl->ErrorText();
  } else if (call->resp->rc().retcode() == 0) {
    LOG_INFO << "Unregister " << param->name;
    return;
  } else {
    LOG_ERROR << "Failed to unregister vdi " << param->name << " Err: "
              << call->resp->rc().retcode() << call->resp->rc().errmsg();
  }
  if (param->attempts < static_cast<uint64_t>(VolumeManagerCount())) {
    // The host may have opened the name again meanwhile (pyx_init of a new
    // record, or of the same one): its registration must stand, and the
    // next volume manager would take this one as undoing it.
    if (NameOpenSince(param->name, param->opened_after)) {
      LOG_WARN << "UnregisterVdi of " << param->name << " given up: the vdi is open again";
      return;
    }
    Switch2NextVolumeManager();
    SendUnregister(std::move(call->param));
  }
}
