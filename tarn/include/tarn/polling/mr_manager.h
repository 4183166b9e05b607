// MrManager: the memory regions of one device context and the constant-time
// answer to "which keys cover this address?".
//
// Zones are registered whole: both ends on 2 MiB boundaries, no overlap with
// an earlier zone. Every 2 MiB slot of the 48-bit address space therefore
// belongs to at most one region, and a two-level page map finds it:
//
//   first level   2^18 entries, one per 1 GiB (address >> 30), each null or a
//                 second-level table;
//   second level  512 region pointers, one per 2 MiB slot of that 1 GiB
//                 ((address >> 21) & 0x1ff), made on first use and freed
//                 again when an unregistration leaves its 1 GiB empty (the
//                 1 GiB holding a zone's last byte keeps its table, so a pool
//                 given back and taken again does not churn it);
//   fill bitmap   one bit per slot (16 MiB, zeroed once).
//
// GetKeyByAddr is two indexed loads with no lock and no search: it is on the
// path of every send and receive. Registration and removal scan the zone
// list; they are rare.
//
// Not thread-safe: a manager belongs to one worker's device context and is
// used on that worker's thread only.
#ifndef TARN_POLLING_MR_MANAGER_H_
#define TARN_POLLING_MR_MANAGER_H_

#include <infiniband/verbs.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn {

class MrManager {
 public:
  static constexpr uint64_t kZoneAlign = 2ULL << 20;       // 2 MiB
  static constexpr int kSlotShift = 21;                    // 2 MiB
  static constexpr int kRangeShift = 30;                   // 1 GiB
  static constexpr uint64_t kSlotsPerRange = 512;          // 2 MiB slots in 1 GiB
  static constexpr uint64_t kRanges = 1ULL << 18;          // 1 GiB ranges in 2^48
  static constexpr uint64_t kAddressLimit = 1ULL << 48;    // first address outside

  struct Memzone {
    uint64_t start;
    uint64_t end;  // start + size
    ibv_mr* mr;
  };

  // Regions are registered on `pd`, which must outlive the manager.
  explicit MrManager(ibv_pd* pd);
  // Deregisters every region still registered and frees the map.
  ~MrManager();
  MrManager(const MrManager&) = delete;
  MrManager& operator=(const MrManager&) = delete;

  // Registers [addr, addr + size) with local write, remote write and remote
  // read access. 0, or -1 (logged) when either end is not 2 MiB aligned, the
  // zone overlaps a registered one, reaches beyond 2^48 or the device
  // refuses it.
  int RegisterMr(void* addr, size_t size);
  // Deregisters the zone registered with exactly this start and size. 0; -1
  // when misaligned or not registered; the device's result when it refuses
  // (the zone then stays listed, its slots already cleared).
  int UnregisterMr(void* addr, size_t size);
  // The keys of the region holding addr, through the non-null pointers. 0 when
  // found; -1 (logged, keys untouched) when both pointers are null, addr is at
  // or above 2^48, or no region holds it.
  int GetKeyByAddr(void* addr, uint32_t* lkey, uint32_t* rkey) const;
  // Quiet form for callers that have a fallback: 0 with the keys when one
  // region holds all of [addr, addr + len) (len 0 counts as 1 byte), else -1
  // with nothing logged and the keys untouched. As cheap as GetKeyByAddr.
  int GetKeyByRange(const void* addr, size_t len, uint32_t* lkey, uint32_t* rkey) const;
  // INFO dump of the zones and, with show_pages, of every filled slot.
  void Report(bool show_pages) const;

  const std::vector<Memzone>& zones() const { return zones_; }
  // True while the 1 GiB range holding addr has a second-level table.
  bool HasTableFor(const void* addr) const;

 private:
  int AddPageMap(void* addr, size_t size, ibv_mr* mr);
  void RemovePageMap(void* addr, size_t size, ibv_mr* mr);
  void RecyclePageMap(void* addr, size_t size);
  bool SlotFilled(uint64_t a) const;
  void SetSlotBit(uint64_t a, bool on);
  bool RangeEmpty(uint64_t range) const;

  ibv_pd* pd_;
  std::vector<Memzone> zones_;
  ibv_mr*** first_level_;  // kRanges entries, each null or kSlotsPerRange slots
  uint64_t* fill_bits_;    // kRanges * kSlotsPerRange bits
};

}  // namespace tarn

#endif  // TARN_POLLING_MR_MANAGER_H_
