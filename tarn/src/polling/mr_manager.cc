#include "tarn/polling/mr_manager.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "tarn/base/logging.h"

namespace tarn {

namespace {

constexpr uint64_t kSlotMask = MrManager::kSlotsPerRange - 1;
constexpr uint64_t kWordsPerRange = MrManager::kSlotsPerRange / 64;

inline uint64_t RangeOf(uint64_t a) { return a >> MrManager::kRangeShift; }
inline uint64_t SlotOf(uint64_t a) { return (a >> MrManager::kSlotShift) & kSlotMask; }
inline bool Aligned(uint64_t a) { return (a & (MrManager::kZoneAlign - 1)) == 0; }
inline const void* Ptr(uint64_t a) { return reinterpret_cast<const void*>(a); }

}  // namespace

MrManager::MrManager(ibv_pd* pd)
    : pd_(pd),
      first_level_(static_cast<ibv_mr***>(calloc(kRanges, sizeof(ibv_mr**)))),
      fill_bits_(static_cast<uint64_t*>(calloc(kRanges * kWordsPerRange, sizeof(uint64_t)))) {
  if (first_level_ == nullptr || fill_bits_ == nullptr) {
    LOG_FATAL << "MrManager page map allocation failed";
  }
}

MrManager::~MrManager() {
  for (const Memzone& zone : zones_) ibv_dereg_mr(zone.mr);
  zones_.clear();
  for (uint64_t i = 0; i < kRanges; ++i) free(first_level_[i]);
  free(first_level_);
  free(fill_bits_);
}

int MrManager::RegisterMr(void* addr, size_t size) {
  const uint64_t start = reinterpret_cast<uint64_t>(addr);
  const uint64_t end = start + size;
  if (!Aligned(start) || !Aligned(end) || size == 0 || end < start) {
    LOG_ERROR << "register invalid memory zone, addr: " << addr << ", size: " << size;
    return -1;
  }
  for (const Memzone& zone : zones_) {
    if (zone.start < end && zone.end > start) {
      LOG_ERROR << "memory zone has been registered, addr: " << addr << ", size: " << size
                << ", registered: " << Ptr(zone.start) << ", " << Ptr(zone.end);
      Report(false);
      return -1;
    }
  }
  // Checked before the device sees the zone, so a refused zone costs no
  // registration.
  if (end - 1 >= kAddressLimit) {
    LOG_ERROR << "invalid addr: " << addr;
    return -1;
  }
  ibv_mr* mr = ibv_reg_mr(pd_, addr, size,
                          IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE | IBV_ACCESS_REMOTE_READ);
  if (mr == nullptr) {
    LOG_SYSERR << "register memory region failed, addr: " << addr << ", size: " << size;
    return -1;
  }
  if (AddPageMap(addr, size, mr) != 0) {
    LOG_ERROR << "add page map failed, addr: " << addr << ", size: " << size << ", mr: " << mr;
    ibv_dereg_mr(mr);
    return -1;
  }
  zones_.push_back(Memzone{start, end, mr});
  return 0;
}

int MrManager::UnregisterMr(void* addr, size_t size) {
  const uint64_t start = reinterpret_cast<uint64_t>(addr);
  const uint64_t end = start + size;
  if (!Aligned(start) || !Aligned(end)) {
    LOG_ERROR << "unregister invalid memory zone, addr: " << addr << ", size: " << size;
    return -1;
  }
  size_t i = 0;
  while (i < zones_.size() && !(zones_[i].start == start && zones_[i].end == end)) ++i;
  if (i == zones_.size()) {
    LOG_ERROR << "cannot find memory region, addr: " << addr << ", size: " << size;
    return -1;
  }
  ibv_mr* mr = zones_[i].mr;
  RemovePageMap(addr, size, mr);
  const int ret = ibv_dereg_mr(mr);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "unregister memory region failed, addr: " << addr << ", size: " << size
               << ", ret: " << ret;
    return ret;
  }
  zones_.erase(zones_.begin() + static_cast<std::ptrdiff_t>(i));
  return 0;
}

int MrManager::GetKeyByAddr(void* addr, uint32_t* lkey, uint32_t* rkey) const {
  if (lkey == nullptr && rkey == nullptr) {
    LOG_ERROR << "lkey and rkey are both nullptr, skip lookup";
    return -1;
  }
  const uint64_t a = reinterpret_cast<uint64_t>(addr);
  const uint64_t range = RangeOf(a);
  if (range >= kRanges) {
    LOG_ERROR << "invalid addr: " << addr;
    return -1;
  }
  ibv_mr** table = first_level_[range];
  ibv_mr* mr = table != nullptr ? table[SlotOf(a)] : nullptr;
  // An empty slot of a present table is as unregistered as a missing table:
  // the caller must not go on with keys it never got.
  if (mr == nullptr) {
    LOG_ERROR << "this addr not register in this MrManager, addr: " << addr;
    return -1;
  }
  if (lkey != nullptr) *lkey = mr->lkey;
  if (rkey != nullptr) *rkey = mr->rkey;
  return 0;
}

int MrManager::GetKeyByRange(const void* addr, size_t len, uint32_t* lkey,
                             uint32_t* rkey) const {
  const uint64_t first = reinterpret_cast<uint64_t>(addr);
  const uint64_t last = first + (len == 0 ? 0 : len - 1);
  if (last < first || RangeOf(last) >= kRanges) return -1;
  ibv_mr** first_table = first_level_[RangeOf(first)];
  ibv_mr** last_table = first_level_[RangeOf(last)];
  if (first_table == nullptr || last_table == nullptr) return -1;
  // Zones are contiguous and never share a region, so the same region at
  // both ends holds every slot between them.
  ibv_mr* mr = first_table[SlotOf(first)];
  if (mr == nullptr || last_table[SlotOf(last)] != mr) return -1;
  if (lkey != nullptr) *lkey = mr->lkey;
  if (rkey != nullptr) *rkey = mr->rkey;
  return 0;
}

bool MrManager::HasTableFor(const void* addr) const {
  const uint64_t range = RangeOf(reinterpret_cast<uint64_t>(addr));
  return range < kRanges && first_level_[range] != nullptr;
}

int MrManager::AddPageMap(void* addr, size_t size, ibv_mr* mr) {
  const uint64_t start = reinterpret_cast<uint64_t>(addr);
  const uint64_t end = start + size;
  if (end - 1 >= kAddressLimit) {
    LOG_ERROR << "invalid addr: " << addr;
    return -1;
  }
  for (uint64_t a = start; a < end; a += kZoneAlign) {
    ibv_mr**& table = first_level_[RangeOf(a)];
    if (table == nullptr) {
      table = static_cast<ibv_mr**>(calloc(kSlotsPerRange, sizeof(ibv_mr*)));
      if (table == nullptr) LOG_FATAL << "page map table allocation failed";
    }
    if (SlotFilled(a)) {
      LOG_FATAL << "page_entry already filled, addr: " << Ptr(a)
                << ", entry: " << table[SlotOf(a)];
    }
    SetSlotBit(a, true);
    table[SlotOf(a)] = mr;
  }
  return 0;
}

void MrManager::RemovePageMap(void* addr, size_t size, ibv_mr* mr) {
  const uint64_t start = reinterpret_cast<uint64_t>(addr);
  const uint64_t end = start + size;
  if (end - 1 >= kAddressLimit) {
    LOG_ERROR << "invalid addr: " << addr;
    return;
  }
  for (uint64_t a = start; a < end; a += kZoneAlign) {
    if (!SlotFilled(a)) {
      LOG_WARN << "page_entry already removed, addr: " << Ptr(a);
      continue;
    }
    ibv_mr** table = first_level_[RangeOf(a)];
    if (table[SlotOf(a)] != mr) {
      LOG_FATAL << "page_entry filled with unexpected mr, addr: " << Ptr(a)
                << ", entry: " << table[SlotOf(a)] << ", mr: " << mr;
    }
    SetSlotBit(a, false);
    table[SlotOf(a)] = nullptr;
  }
  RecyclePageMap(addr, size);
}

void MrManager::RecyclePageMap(void* addr, size_t size) {
  const uint64_t start = reinterpret_cast<uint64_t>(addr);
  const uint64_t last_range = RangeOf(start + size - 1);
  for (uint64_t range = RangeOf(start); range < last_range; ++range) {
    if (first_level_[range] != nullptr && RangeEmpty(range)) {
      free(first_level_[range]);
      first_level_[range] = nullptr;
    }
  }
}

bool MrManager::SlotFilled(uint64_t a) const {
  const uint64_t bit = RangeOf(a) * kSlotsPerRange + SlotOf(a);
  return (fill_bits_[bit / 64] >> (bit % 64)) & 1;
}

void MrManager::SetSlotBit(uint64_t a, bool on) {
  const uint64_t bit = RangeOf(a) * kSlotsPerRange + SlotOf(a);
  if (on) {
    fill_bits_[bit / 64] |= 1ULL << (bit % 64);
  } else {
    fill_bits_[bit / 64] &= ~(1ULL << (bit % 64));
  }
}

bool MrManager::RangeEmpty(uint64_t range) const {
  const uint64_t* words = fill_bits_ + range * kWordsPerRange;
  for (uint64_t i = 0; i < kWordsPerRange; ++i) {
    if (words[i] != 0) return false;
  }
  return true;
}

void MrManager::Report(bool show_pages) const {
  if (plinth::Logger::logLevel() > plinth::Logger::INFO) return;
  LOG_INFO << "==========MrManager-Report==========";
  LOG_INFO << "==========Memzone->ibv_mr==========";
  for (const Memzone& zone : zones_) {
    LOG_INFO << "memzone[" << Ptr(zone.start) << ", " << Ptr(zone.end) << ") -> ibv_mr "
             << zone.mr << "(lkey " << zone.mr->lkey << " rkey " << zone.mr->rkey << ")";
  }
  if (!show_pages) return;
  LOG_INFO << "==========Page->ibv_mr==========";
  for (uint64_t range = 0; range < kRanges; ++range) {
    ibv_mr** table = first_level_[range];
    if (table == nullptr) continue;
    LOG_INFO << "==========FirstLevelTable " << range << "==========";
    for (uint64_t slot = 0; slot < kSlotsPerRange; ++slot) {
      ibv_mr* mr = table[slot];
      if (mr == nullptr) continue;
      const uint64_t a = (range << kRangeShift) | (slot << kSlotShift);
      LOG_INFO << Ptr(a) << " -> ibv_mr(" << mr << ", lkey " << mr->lkey << " rkey " << mr->rkey
               << ")";
    }
  }
}

}  // namespace tarn
