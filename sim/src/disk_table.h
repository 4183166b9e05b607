// The disks of a simulated cluster: identity, size, data generation
// sequence, route state and stored blocks.
//
// Disks are never removed while the cluster lives, so a Disk* once found
// stays valid; lookups by uuid (every block-server call) go through a
// per-thread one-entry cache before the table's read lock.
#ifndef PYXSIM_DISK_TABLE_H_
#define PYXSIM_DISK_TABLE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "block_store.h"
#include "pyxsim/cluster.h"

namespace pyxsim {

struct Disk {
  Disk(const std::string& name, const std::string& uuid, uint64_t size, uint64_t planes,
       uint64_t dgs, int block_servers, MemoryBudget* budget);

  const std::string name;
  const std::string uuid;
  const uint64_t size;
  const uint64_t planes;
  std::atomic<uint64_t> dgs;
  // One term for the whole disk, raised by every route change.
  std::atomic<uint64_t> term{1};
  // Reported missing: volume managers and block masters deny the disk.
  std::atomic<bool> missing{false};
  // Per plane: the block server holding it, and whether the block master
  // withholds its route.
  std::unique_ptr<std::atomic<int>[]> owner;
  std::unique_ptr<std::atomic<bool>[]> unrouted;
  // Serialises route changes (readers go without it).
  std::mutex route_mutex;
  BlockStore store;
};

class DiskTable {
 public:
  // memory_budget: bytes of written blocks all its disks may hold (0: no
  // bound).
  explicit DiskTable(uint64_t memory_budget = 0);
  const MemoryBudget& budget() const { return budget_; }
  // Null when the name exists.
  Disk* Create(const std::string& name, uint64_t size, uint64_t planes, uint64_t dgs,
               int block_servers);
  Disk* ByName(const std::string& name) const;
  Disk* ByUuid(const std::string& uuid) const;
  std::vector<Disk*> All() const;

 private:
  std::string NewUuid();

  // Unique per table in the process: keys the per-thread cache, so a table
  // built where an old one lived never sees the old one's disks.
  const uint64_t id_;
  MemoryBudget budget_;
  mutable std::shared_mutex mutex_;
  std::map<std::string, std::unique_ptr<Disk>> by_name_;
  std::unordered_map<std::string, Disk*> by_uuid_;
  std::mt19937_64 rng_{std::random_device{}()};
};

}  // namespace pyxsim

#endif  // PYXSIM_DISK_TABLE_H_
