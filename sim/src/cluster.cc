#include "pyxsim/cluster.h"

#include <arpa/inet.h>

#include <cstring>

#include "cluster_state.h"
#include "services.h"
#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/worker_thread.h"

namespace pyxsim {

namespace {

int RoleIndex(Role role) { return static_cast<int>(role); }

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ",";
    out += item;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- state

ClusterState::ClusterState(const ClusterOptions& opt)
    : options(opt), disks(opt.memory_budget) {
  if (options.ipv6) {
    in6_addr addr6;
    if (inet_pton(AF_INET6, options.ip.c_str(), &addr6) == 1) memcpy(ip6_, &addr6, sizeof(ip6_));
  } else {
    in_addr addr;
    if (inet_pton(AF_INET, options.ip.c_str(), &addr) == 1) ip4_ = addr.s_addr;
  }
}

ClusterState::~ClusterState() = default;

ServerSlot* ClusterState::slot(Role role, int index) const {
  const auto& list = slots[RoleIndex(role)];
  if (index < 0 || index >= static_cast<int>(list.size())) return nullptr;
  return list[index].get();
}

int ClusterState::count(Role role) const {
  return static_cast<int>(slots[RoleIndex(role)].size());
}

std::string ClusterState::EndpointText(const std::string& ip, uint32_t port) const {
  if (ip.find(':') != std::string::npos) return "[" + ip + "]:" + std::to_string(port);
  return ip + ":" + std::to_string(port);
}

// ---------------------------------------------------------------- cluster

Cluster::Cluster(const ClusterOptions& options)
    : state_(new ClusterState(options)), faults_(state_.get()) {
  // Slots exist from the start, so that ports, counts and faults can be
  // named before Start and after Stop.
  const int counts[3] = {options.volume_managers, options.block_masters, options.block_servers};
  for (int r = 0; r < 3; ++r) {
    const Role role = static_cast<Role>(r);
    for (int i = 0; i < counts[r]; ++i) {
      auto slot = std::make_unique<ServerSlot>(role, i, &state_->faults);
      switch (role) {
        case Role::kVolumeManager:
          slot->set_service(std::make_unique<VolumeManagerServiceImpl>(state_.get(), slot.get()));
          break;
        case Role::kBlockMaster:
          slot->set_service(std::make_unique<BlockMasterServiceImpl>(state_.get(), slot.get()));
          break;
        case Role::kBlockServer:
          slot->set_service(std::make_unique<BlockServerServiceImpl>(state_.get(), slot.get()));
          if (options.rdma) slot->set_rdma(options.rdma_srq, options.rdma_recv_depth);
          break;
      }
      state_->slots[r].push_back(std::move(slot));
    }
  }
}

Cluster::~Cluster() { Stop(); }

int Cluster::Start() {
  ClusterState& s = *state_;
  const ClusterOptions& opt = s.options;
  std::lock_guard<std::mutex> lock(s.life_mutex);
  if (s.started || s.stopped) return -1;
  const bool ip_ok = opt.ipv6 ? s.ip6()[0] | s.ip6()[1] | s.ip6()[2] | s.ip6()[3] : s.ip4() != 0;
  if (opt.volume_managers < 1 || opt.block_masters < 1 || opt.block_servers < 1 ||
      opt.threads < 1 || !opt.geometry.Valid() || !ip_ok) {
    LOG_ERROR << "pyxsim: invalid cluster options";
    return -1;
  }
  s.started = true;
  s.acceptor_thread.reset(new tarn::WorkerThread("pyxsim-acc", nullptr, tarn::WorkerOption(), false));
  auto* acceptor = static_cast<tarn::EventWorker*>(s.acceptor_thread->Start());
  size_t port_index = 0;
  for (int r = 0; r < 3; ++r) {
    const bool block_server = static_cast<Role>(r) == Role::kBlockServer;
    const int workers = block_server ? opt.threads : 1;
    for (auto& slot : s.slots[r]) {
      const uint16_t port = port_index < opt.ports.size() ? opt.ports[port_index] : 0;
      ++port_index;
      if (slot->Start(acceptor, opt.ip, opt.ipv6, port, workers, opt.pool_size,
                      block_server && opt.busy_poll) != 0) {
        for (int q = 0; q < 3; ++q) {
          for (auto& started : s.slots[q]) started->Stop();
        }
        s.acceptor_thread->Stop();
        s.stopped = true;
        return -1;
      }
    }
  }
  return 0;
}

void Cluster::Stop() {
  ClusterState& s = *state_;
  bool serving = false;
  {
    std::lock_guard<std::mutex> lock(s.life_mutex);
    serving = s.started && !s.stopped;
    s.stopped = true;  // from here on no random events start
  }
  faults_.StopRandomFaults();
  if (!serving) return;
  for (int r = 0; r < 3; ++r) {
    for (auto& slot : s.slots[r]) slot->Stop();
  }
  s.acceptor_thread->Stop();
}

const ClusterOptions& Cluster::options() const { return state_->options; }

std::string Cluster::volume_manager_ips() const {
  return Join(std::vector<std::string>(state_->count(Role::kVolumeManager), state_->options.ip));
}

std::string Cluster::volume_manager_ports() const {
  std::vector<std::string> ports;
  for (int i = 0; i < state_->count(Role::kVolumeManager); ++i) {
    ports.push_back(std::to_string(port(Role::kVolumeManager, i)));
  }
  return Join(ports);
}

int Cluster::count(Role role) const { return state_->count(role); }

uint16_t Cluster::port(Role role, int index) const {
  ServerSlot* slot = state_->slot(role, index);
  return slot == nullptr ? 0 : slot->port();
}

int Cluster::CreateDisk(const std::string& name, uint64_t size, uint64_t dgs) {
  const Geometry& geo = state_->options.geometry;
  if (name.empty() || size == 0 || size % kBlockSize != 0 || !geo.Valid() ||
      geo.PlaneCount(size) > kMaxPlanes || state_->options.block_servers < 1) {
    LOG_ERROR << "pyxsim: disk refused, name: " << name << ", size: " << size;
    return -1;
  }
  Disk* disk = state_->disks.Create(name, size, geo.PlaneCount(size), dgs,
                                    state_->options.block_servers);
  return disk == nullptr ? -1 : 0;
}

bool Cluster::HasDisk(const std::string& name) const {
  return state_->disks.ByName(name) != nullptr;
}

std::vector<std::string> Cluster::DiskNames() const {
  std::vector<std::string> names;
  for (Disk* disk : state_->disks.All()) names.push_back(disk->name);
  return names;
}

std::string Cluster::DiskUuid(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? std::string() : disk->uuid;
}

uint64_t Cluster::DiskSize(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? 0 : disk->size;
}

uint64_t Cluster::DiskDgs(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? 0 : disk->dgs.load();
}

int Cluster::SetDiskDgs(const std::string& name, uint64_t dgs) {
  Disk* disk = state_->disks.ByName(name);
  if (disk == nullptr) return -1;
  disk->dgs.store(dgs);
  return 0;
}

uint64_t Cluster::RouteTerm(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? 0 : disk->term.load();
}

uint64_t Cluster::PlaneCount(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? 0 : disk->planes;
}

int Cluster::PlaneServer(const std::string& name, uint64_t plane) const {
  Disk* disk = state_->disks.ByName(name);
  if (disk == nullptr || plane >= disk->planes) return -1;
  return disk->owner[plane].load();
}

std::string Cluster::ReadStored(const std::string& name, uint64_t offset, uint64_t len) const {
  Disk* disk = state_->disks.ByName(name);
  if (disk == nullptr || offset > disk->size || len > disk->size - offset) return std::string();
  if (len == 0) return std::string();
  const uint64_t first = offset / kBlockSize * kBlockSize;
  const uint64_t last = (offset + len + kBlockSize - 1) / kBlockSize * kBlockSize;
  std::string blocks(last - first, '\0');
  disk->store.Read(first, last - first, &blocks[0]);
  return blocks.substr(offset - first, len);
}

int Cluster::WriteStored(const std::string& name, uint64_t offset, const std::string& data) {
  Disk* disk = state_->disks.ByName(name);
  if (disk == nullptr || data.empty() || offset % kBlockSize != 0 ||
      data.size() % kBlockSize != 0 || offset > disk->size || data.size() > disk->size - offset) {
    return -1;
  }
  disk->store.Write(offset, data.data(), data.size());
  return 0;
}

uint64_t Cluster::WrittenBlocks(const std::string& name) const {
  Disk* disk = state_->disks.ByName(name);
  return disk == nullptr ? 0 : disk->store.written_blocks();
}

std::map<std::string, std::string> Cluster::Registrations() const {
  std::map<std::string, std::string> out;
  std::lock_guard<std::mutex> lock(state_->registrations_mutex);
  for (const auto& entry : state_->registrations) out[entry.first] = entry.second.text;
  return out;
}

}  // namespace pyxsim
