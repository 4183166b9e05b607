#include "disk_table.h"

#include <cstdio>

namespace pyxsim {

Disk::Disk(const std::string& name_in, const std::string& uuid_in, uint64_t size_in,
           uint64_t planes_in, uint64_t dgs_in, int block_servers, MemoryBudget* budget)
    : name(name_in),
      uuid(uuid_in),
      size(size_in),
      planes(planes_in),
      dgs(dgs_in),
      owner(new std::atomic<int>[planes_in]),
      unrouted(new std::atomic<bool>[planes_in]),
      store(size_in, budget) {
  // Round robin: consecutive planes, hence consecutive blocks of a die, land
  // on different servers.
  for (uint64_t p = 0; p < planes; ++p) {
    owner[p].store(static_cast<int>(p % static_cast<uint64_t>(block_servers)));
    unrouted[p].store(false);
  }
}

namespace {
std::atomic<uint64_t> g_next_table_id{1};
}  // namespace

DiskTable::DiskTable(uint64_t memory_budget)
    : id_(g_next_table_id.fetch_add(1)), budget_(memory_budget) {}

std::string DiskTable::NewUuid() {
  const uint64_t hi = (rng_() & ~0xf000ull) | 0x4000ull;  // version 4
  const uint64_t lo = (rng_() & ~(3ull << 62)) | (2ull << 62);  // variant 1
  char text[40];
  snprintf(text, sizeof(text), "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
           static_cast<unsigned>((hi >> 16) & 0xffff), static_cast<unsigned>(hi & 0xffff),
           static_cast<unsigned>(lo >> 48),
           static_cast<unsigned long long>(lo & 0xffffffffffffull));
  return text;
}

Disk* DiskTable::Create(const std::string& name, uint64_t size, uint64_t planes, uint64_t dgs,
                        int block_servers) {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (by_name_.count(name) != 0) return nullptr;
  std::string uuid = NewUuid();
  while (by_uuid_.count(uuid) != 0) uuid = NewUuid();
  auto disk = std::make_unique<Disk>(name, uuid, size, planes, dgs, block_servers, &budget_);
  Disk* raw = disk.get();
  by_name_.emplace(name, std::move(disk));
  by_uuid_.emplace(uuid, raw);
  return raw;
}

Disk* DiskTable::ByName(const std::string& name) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second.get();
}

Disk* DiskTable::ByUuid(const std::string& uuid) const {
  // Block servers look the same few disks up on every call.
  struct Cached {
    uint64_t table = 0;
    Disk* disk = nullptr;
  };
  thread_local Cached cached;
  if (cached.table == id_ && cached.disk != nullptr && cached.disk->uuid == uuid) {
    return cached.disk;
  }
  Disk* disk = nullptr;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = by_uuid_.find(uuid);
    if (it != by_uuid_.end()) disk = it->second;
  }
  if (disk != nullptr) cached = Cached{id_, disk};
  return disk;
}

std::vector<Disk*> DiskTable::All() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  std::vector<Disk*> all;
  for (const auto& entry : by_name_) all.push_back(entry.second.get());
  return all;
}

}  // namespace pyxsim
