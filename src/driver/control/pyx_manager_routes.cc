// Route queries to a disk's primary block master: the whole disk during
// bring-up (pyx_route_query), and refreshes on behalf of one I/O driver
// (pyx_route_query2). A good answer sets the route terms and the geometry in
// the host record and is copied into the drivers' route caches; a failed one
// moves the disk's primary to the next block master.
//
// An answer whose geometry cannot place a byte on a plane (a zero value, a
// plane larger than its die, a die that is not a whole number of planes) is
// refused like a failure: the plane formula would divide by zero.
#include <algorithm>
#include <sstream>
#include <vector>

#include "control/client_manager.h"
#include "control/globals.h"
#include "control/manager_call.h"
#include "control/pyx_manager.h"
#include "record_access.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"
#include "vovorav.pb.h"

namespace {

constexpr int32_t kNotLeader = -10003;
constexpr int32_t kVdiskNotFound = -10006;
constexpr int32_t kRoutesUnavailable = -10012;

bool UsableGeometry(const vovorav::DieUnitBasicParams& g) {
  return g.die_unit_capacity() != 0 && g.die_capacity() != 0 && g.plane_capacity() != 0 &&
         g.block_capacity() != 0 && g.plane_capacity() <= g.die_capacity() &&
         g.die_capacity() % g.plane_capacity() == 0;
}

void StoreGeometry(bdev_pyx* disk, const vovorav::DieUnitBasicParams& g) {
  pyx::Store(disk->die_unit_capacity, g.die_unit_capacity());
  pyx::Store(disk->die_capacity, g.die_capacity());
  pyx::Store(disk->plane_capacity, g.plane_capacity());
  pyx::Store(disk->block_capacity, g.block_capacity());
}

std::string GeometryText(const vovorav::DieUnitBasicParams& g) {
  std::ostringstream os;
  os << "|die_unit_capacity: " << g.die_unit_capacity() << "|die_capacity: " << g.die_capacity()
     << "|plane_capacity: " << g.plane_capacity() << "|block_capacity: " << g.block_capacity();
  return os.str();
}

const char* UuidOf(bdev_pyx* disk) {
  const char* uuid = pyx::Load(disk->uuid);
  return uuid == nullptr ? "" : uuid;
}

// "|vdi name:" ... "|remote_side:" with the block-master label of the query.
std::string Tail(bdev_pyx* disk, const query_route_param& param, const char* master_label) {
  std::ostringstream os;
  os << "|vdi name:" << disk->name << "|vdi uuid:" << UuidOf(disk) << master_label << param.key
     << "|remote_side:" << param.cntl->uuid();
  return os.str();
}

std::string RcText(const vovorav::BlockMasterQueryPlaneRouteResponse& resp) {
  std::ostringstream os;
  os << "|err retcode:" << resp.rc().retcode() << "|err msg:" << resp.rc().errmsg();
  return os.str();
}

void LogNotLeader(tarn::RpcController* cntl) {
  LOG_WARN << "cnlt err:" << cntl->error_code() << cntl->ErrorText() << " or not leader";
}

}  // namespace

tarn::RpcClient* PyxManager::PrepareRouteQuery(query_route_param* param, bdev_pyx* disk) {
  auto it = blockmasters_.find(disk->name);
  if (it == blockmasters_.end() || it->second.addrs.empty()) {
    LOG_ERROR << "no blockmaster known for vdi " << disk->name;
    return nullptr;
  }
  primary_addr_index& masters = it->second;
  if (masters.index < 0 || static_cast<size_t>(masters.index) >= masters.addrs.size()) {
    masters.index = 0;
  }
  const primary_addr_index::addr& master = masters.addrs[masters.index];
  ClientManager* group = pyx_get_client_manager(master.ip, master.port, 1);
  tarn::RpcClient* client = group->GetClient();
  param->index = static_cast<uint8_t>(masters.index);
  param->key = master.ip + ":" + std::to_string(master.port);
  param->uuid = UuidOf(disk);
  param->disk = disk;
  param->cntl = new tarn::RpcController(client->conn());
  param->resp = std::make_shared<vovorav::BlockMasterQueryPlaneRouteResponse>();
  return client;
}

void PyxManager::SendRouteQuery(tarn::RpcClient* client, query_route_param* param,
                                bdev_pyx* disk, uint64_t start, uint64_t length,
                                google::protobuf::Closure* done) {
  vovorav::BlockMasterQueryPlaneRouteRequest request;
  request.mutable_vdi()->set_id(UuidOf(disk));
  request.set_start_lba(start);
  request.set_lba_size(length);
  vovorav::BlockMasterService_Stub stub(client);
  stub.QueryPlaneRoute(param->cntl, &request, param->resp.get(), done);
}

void PyxManager::pyx_route_query(bdev_pyx* disk, uint64_t start, uint64_t length) {
  LOG_INFO << "pyx_route_query begin";
  const uint64_t gen = GenOf(disk);
  if (gen == 0) {
    LOG_WARN << "route query dropped: its vdisk is not attached";
    return;
  }
  auto* param = new query_route_param;
  param->gen = gen;
  tarn::RpcClient* client = PrepareRouteQuery(param, disk);
  if (client == nullptr) {
    delete param;
    EndBringUp(disk);
    return;
  }
  SendRouteQuery(client, param, disk, start, length,
                 NewCall(param, &PyxManager::HandleQueryRouteResponse));
}

void PyxManager::pyx_route_query2(bdev_pyx* disk, uint64_t start, uint64_t length, int id) {
  const uint64_t gen = GenOf(disk);
  if (gen == 0) {
    LOG_WARN << "route refresh dropped: its vdisk has been freed";
    return;
  }
  if (id < 0 || static_cast<size_t>(id) >= pyxdrivers.size()) {
    LOG_ERROR << "route refresh dropped: no driver " << id << "|vdi name:" << disk->name;
    return;
  }
  auto* param = new query_route_param2;
  param->gen = gen;
  param->id = id;
  tarn::RpcClient* client = PrepareRouteQuery(param, disk);
  if (client == nullptr) {
    delete param;
    return;
  }
  SendRouteQuery(client, param, disk, start, length,
                 NewCall(param, &PyxManager::HandleQueryRouteResponse2));
}

void PyxManager::HandleQueryRouteResponse(query_route_param* param) {
  LOG_INFO << "HandleQueryRouteResponse begin";
  bdev_pyx* disk = param->disk;
  if (!StillLive(disk, param->gen, "QueryPlaneRoute")) return;
  tarn::RpcController* cntl = param->cntl;
  const vovorav::BlockMasterQueryPlaneRouteResponse& resp = *param->resp;
  const int32_t retcode = resp.rc().retcode();

  if (retcode == kNotLeader || cntl->Failed()) {
    LogNotLeader(cntl);
    LOG_INFO << "HandleQueryRouteResponse failed, try next blockmaster";
    const int32_t attempts = pyx::Load(disk->attempts) + 1;
    pyx::Store(disk->attempts, attempts);
    primary_addr_index& masters = blockmasters_[disk->name];
    const int32_t count = static_cast<int32_t>(masters.addrs.size());
    if (attempts < count) {
      masters.index = (param->index + 1) % count;
      pyx_route_query(disk, 0, pyx::Load(disk->size));
    } else {
      EndBringUp(disk);
    }
    return;
  }
  if (retcode == kVdiskNotFound) {
    pyx::Store(disk->exists, 0);
    LOG_WARN << "vdisk not found." << RcText(resp) << Tail(disk, *param, "|blocmaster:");
    EndBringUp(disk);
    return;
  }
  if (retcode == kRoutesUnavailable) {
    LOG_WARN << "Received routes failed." << RcText(resp) << Tail(disk, *param, "|blocmaster:");
    EndBringUp(disk);
    return;
  }
  if (retcode != 0) {
    LOG_ERROR << resp.DebugString();
    EndBringUp(disk);
    return;
  }
  const vovorav::DieUnitBasicParams& geometry = resp.basic();
  if (!UsableGeometry(geometry)) {
    LOG_ERROR << "Failed to get route term:" << RcText(resp) << GeometryText(geometry)
              << Tail(disk, *param, "|blocmaster:");
    EndBringUp(disk);
    return;
  }
  const uint64_t term = resp.route_term().term();
  LOG_INFO << "Received disk info: route_term: " << term << GeometryText(geometry)
           << Tail(disk, *param, "|blocmaster:");
  std::vector<int> all;
  for (int i = 0; i < static_cast<int>(pyxdrivers.size()) && i < 16; ++i) all.push_back(i);
  TakeRoutes(param, all, "|blocmaster:");
  LOG_INFO << "Received routes successfully." << "|vdi name:" << disk->name
           << "|vdi uuid:" << UuidOf(disk) << "|blockmaster:" << param->key;
  pyx::Store(disk->attempts, 0);
  RegisterVdi(disk);
}

void PyxManager::HandleQueryRouteResponse2(query_route_param2* param) {
  bdev_pyx* disk = param->disk;
  if (!StillLive(disk, param->gen, "QueryPlaneRoute refresh")) return;
  tarn::RpcController* cntl = param->cntl;
  const vovorav::BlockMasterQueryPlaneRouteResponse& resp = *param->resp;
  const int32_t retcode = resp.rc().retcode();

  if (retcode == kNotLeader || cntl->Failed()) {
    LogNotLeader(cntl);
    LOG_INFO << "HandleQueryRouteResponse2 failed, try next blockmaster";
    primary_addr_index& masters = blockmasters_[disk->name];
    if (!masters.addrs.empty()) {
      masters.index = static_cast<int32_t>((param->index + 1) % masters.addrs.size());
    }
    return;
  }
  if (retcode == kVdiskNotFound) {
    pyx::Store(disk->exists, 0);
    LOG_WARN << "vdisk not found." << RcText(resp) << Tail(disk, *param, "|blokmaster:");
    return;
  }
  if (retcode == kRoutesUnavailable) {
    LOG_WARN << "Received routes failed." << RcText(resp) << Tail(disk, *param, "|blokmaster:");
    return;
  }
  if (retcode != 0) {
    LOG_ERROR << resp.DebugString();
    return;
  }
  const vovorav::DieUnitBasicParams& geometry = resp.basic();
  if (!UsableGeometry(geometry)) {
    LOG_ERROR << "Failed to get route term:" << RcText(resp) << GeometryText(geometry)
              << Tail(disk, *param, "|blokmaster:");
    return;
  }
  const uint64_t term = resp.route_term().term();
  if (TakeRoutes(param, {param->id}, "|blokmaster:") == 0) return;
  LOG_INFO << "Received route success: route_term: " << term << GeometryText(geometry)
           << Tail(disk, *param, "|blokmaster:");
}

int PyxManager::TakeRoutes(query_route_param* param, const std::vector<int>& ids,
                           const char* master_label) {
  bdev_pyx* disk = param->disk;
  // Terms count within one disk: an answer about the disk the name stood
  // for before a repeated bring-up found a new one is no answer any more.
  if (param->uuid != UuidOf(disk)) {
    LOG_WARN << "Route answer for vdi uuid " << param->uuid << " dropped, the vdi is now "
             << UuidOf(disk) << Tail(disk, *param, master_label);
    return 0;
  }
  LiveDisk& live = live_[disk];
  const uint64_t term = param->resp->route_term().term();
  uint64_t newest = 0;
  for (uint64_t t : live.terms) newest = std::max(newest, t);
  const std::string name = disk->name;
  std::shared_ptr<vovorav::BlockMasterQueryPlaneRouteResponse> shared = param->resp;
  int taken = 0;
  for (int id : ids) {
    if (term < live.terms[id]) {
      LOG_WARN << "Route answer of term " << term << " is older than term " << live.terms[id]
               << " of worker " << id << ", dropped" << Tail(disk, *param, master_label);
      continue;
    }
    live.terms[id] = term;
    // The driver takes the term together with the routes, on its own loop:
    // no I/O of it ever carries the new term to an old route.
    pyxdrivers[id]->UpdateRouteCache(name, shared);
    ++taken;
  }
  // The record's geometry is what send_pyx_io places I/O with; each driver
  // routes by the geometry of its own routes. It follows the newest answer
  // and is written only when it changes.
  if (taken > 0 && term >= newest) {
    const vovorav::DieUnitBasicParams& g = param->resp->basic();
    if (pyx::Load(disk->die_unit_capacity) != g.die_unit_capacity() ||
        pyx::Load(disk->die_capacity) != g.die_capacity() ||
        pyx::Load(disk->plane_capacity) != g.plane_capacity() ||
        pyx::Load(disk->block_capacity) != g.block_capacity()) {
      StoreGeometry(disk, g);
    }
  }
  return taken;
}
