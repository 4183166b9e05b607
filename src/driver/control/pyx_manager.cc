// PyxManager: lifetime, client groups, volume managers, disk attachment and
// the data generation sequences. The bring-up chain is in
// pyx_manager_bringup.cc, the route queries in pyx_manager_routes.cc.
#include "control/pyx_manager.h"

#include <cstdlib>
#include <unordered_set>

#include "control/client_manager.h"
#include "control/globals.h"
#include "control/manager_call.h"
#include "record_access.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/rpc/closure_guard.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "volume.pb.h"
#include "vovorav.pb.h"

namespace {

// Closures of calls that outlived their manager; reachable until they run.
// Touched only on the manager's loop.
std::unordered_set<google::protobuf::Closure*>* Orphans() {
  static auto* orphans = new std::unordered_set<google::protobuf::Closure*>;
  return orphans;
}

std::string AddressKey(const std::string& ip, int port) { return ip + ":" + std::to_string(port); }

}  // namespace

manager_call_param::~manager_call_param() { delete cntl; }
vdisk_size_param::~vdisk_size_param() { delete resp; }
get_blockmaster_param::~get_blockmaster_param() { delete resp; }
register_vdi_param::~register_vdi_param() { delete resp; }
unregister_call_param::~unregister_call_param() { delete resp; }

void PyxManager::Call::Run() {
  if (manager_ == nullptr) {
    Orphans()->erase(this);
    delete this;
    return;
  }
  manager_->calls_.erase(this);
  handler_();
  delete this;
}

void PyxManager::Call::Orphan() {
  manager_ = nullptr;
  record_.reset();
  handler_ = nullptr;
  Orphans()->insert(this);
}

PyxManager::PyxManager(tarn::Transport tp, tarn::Worker* worker)
    : transport_(tp), worker_(worker) {}

PyxManager::~PyxManager() {
  worker_->loop()->AssertInLoopThread();
  // Deleting the clients abandons their calls: those closures never run.
  for (auto& entry : clients_) delete entry.second;
  clients_.clear();
  blockmasters_.clear();
  dgs_.clear();
  for (Call* call : calls_) call->Orphan();
  calls_.clear();
  for (char* uuid : retired_uuids_) free(uuid);
}

void PyxManager::save_volume_manager_addr(const std::vector<std::string>& ips,
                                          const std::vector<std::string>& ports) {
  volume_manager_addr.addrs.clear();
  volume_manager_addr.index = 0;
  const size_t n = std::min(ips.size(), ports.size());
  for (size_t i = 0; i < n; ++i) {
    const int port = static_cast<int>(strtol(ports[i].c_str(), nullptr, 10));
    volume_manager_addr.addrs.push_back({ips[i], port});
    pyx_set_client_manager(ips[i], port, 1);
    LOG_INFO << "volume manager ip:" << ips[i] << "|volume manager port:" << port;
  }
}

ClientManager* PyxManager::pyx_set_client_manager(const std::string& ip, int port, int n) {
  const std::string key = AddressKey(ip, port);
  auto it = clients_.find(key);
  if (it != clients_.end()) return it->second;
  tarn::SockAddress addr(ip, static_cast<uint16_t>(port), is_ipv6 != 0);
  auto* group = new ClientManager(transport_, worker_, addr, key, n);
  clients_.emplace(key, group);
  return group;
}

ClientManager* PyxManager::pyx_get_client_manager(const std::string& ip, int port, int n) {
  return pyx_set_client_manager(ip, port, n);
}

tarn::RpcClient* PyxManager::GetVolumeMngRpcClient() {
  if (volume_manager_addr.addrs.empty()) return nullptr;
  const primary_addr_index::addr& vm = volume_manager_addr.addrs[volume_manager_addr.index];
  LOG_INFO << "Volume manager ip " << vm.ip << "volume manager port " << vm.port;
  return pyx_get_client_manager(vm.ip, vm.port, 1)->GetClient();
}

void PyxManager::Switch2NextVolumeManager() {
  LOG_WARN << "Switch to next Volume Manager";
  const size_t count = volume_manager_addr.addrs.size();
  if (count == 0) return;
  volume_manager_addr.index = static_cast<int32_t>((volume_manager_addr.index + 1) % count);
}

void PyxManager::AttachDisk(bdev_pyx* disk) {
  if (live_.count(disk) == 0) live_[disk].gen = next_gen_++;
}

void PyxManager::DetachDisk(bdev_pyx* disk) { live_.erase(disk); }

bool PyxManager::NameOpenSince(const std::string& name, uint64_t since) const {
  for (const auto& entry : live_) {
    if (entry.second.gen >= since && entry.first->name != nullptr && name == entry.first->name) {
      return true;
    }
  }
  return false;
}

uint64_t PyxManager::GenOf(bdev_pyx* disk) const {
  auto it = live_.find(disk);
  return it == live_.end() ? 0 : it->second.gen;
}

bool PyxManager::StillLive(bdev_pyx* disk, uint64_t gen, const char* what) const {
  if (gen != 0 && GenOf(disk) == gen) return true;
  LOG_WARN << what << " answer dropped: its vdisk has been freed";
  return false;
}

void PyxManager::EndBringUp(bdev_pyx* disk) {
  pyx::Store(disk->ok, 0);
  if (disk->done != nullptr) disk->done(disk);
}

void PyxManager::PostToDrivers(const std::function<void(PyxDriver*)>& fn) {
  for (PyxDriver* driver : pyxdrivers) {
    driver->worker()->loop()->RunInLoop([driver, fn] { fn(driver); }, true);
  }
}

void PyxManager::CreateSnapshot(const std::string& name, uint64_t dgs,
                                volume::PYXDriverCreateSnapshotResponse* response,
                                google::protobuf::Closure* done) {
  pyx::RunOnManager(
      [name, dgs, response, done](PyxManager* manager) {
        manager->CreateSnapshotOnLoop(name, dgs, response, done);
      },
      [name, response, done] {
        LOG_ERROR << "Create Snapshot Err: " << name << " is not found";
        response->mutable_rc()->set_retcode(-30100);
        done->Run();
      });
}

void PyxManager::CreateSnapshotOnLoop(const std::string& name, uint64_t dgs,
                                      volume::PYXDriverCreateSnapshotResponse* response,
                                      google::protobuf::Closure* done) {
  auto it = dgs_.find(name);
  if (it == dgs_.end()) {
    LOG_ERROR << "Create Snapshot Err: " << name << " is not found";
    response->mutable_rc()->set_retcode(-30100);
    done->Run();
    return;
  }
  if (it->second >= dgs) {
    LOG_ERROR << "Create Snapshot Err: " << name << " dgs " << it->second << " is ge dgs " << dgs;
    response->mutable_rc()->set_retcode(-30101);
    done->Run();
    return;
  }
  response->mutable_rc()->set_retcode(0);
  it->second = dgs;
  // The answer leaves when the last driver has run its update and let go.
  auto guard = std::make_shared<tarn::ClosureGuard>(done);
  PostToDrivers([name, dgs, guard](PyxDriver* driver) { driver->UpdateDgs(name, dgs, guard); });
}

void PyxManager::FreeDgs(const std::string& name) {
  if (dgs_.erase(name) == 0) LOG_ERROR << "Free dgs vdi " << name << " not found";
}
