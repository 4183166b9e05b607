// MemoryPool: one aligned region carved into slabs of fixed-size chunks.
//
// A worker owns a list of pools and uses them on its own thread only; a pool
// takes no locks. The size map given to Init (chunk size -> chunk count)
// decides the slabs; each slab's share of the region is rounded up to the
// pool's alignment (2 MiB, so that the region can live on huge pages and be
// handed to NVMe or RDMA without copying).
//
//   Malloc(len):  len above the largest chunk size is served as a separate
//                 aligned block that the pool tracks; otherwise the smallest
//                 chunk size >= len, falling back once to the next larger
//                 slab; null when both are empty. Malloc(0) is one chunk of
//                 the smallest slab.
//   Free(ptr):    0 when ptr was this pool's, -1 otherwise (the caller then
//                 offers it to its other pools).
//   CheckIdle():  nothing is handed out and the pool has not been used for
//                 just over ten minutes; only then may the owner Release it.
#ifndef TARN_MEMORY_POOL_H_
#define TARN_MEMORY_POOL_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tarn/memory_slab.h"

namespace tarn {

class MemoryPool {
 public:
  // chunk size -> (chunk count, free chunks)
  using ReportMap = std::map<uint64_t, std::pair<uint64_t, uint64_t>>;

  static constexpr uint64_t kSmallAlign = 4096;              // empty size map
  static constexpr uint64_t kRegionAlign = 2 * 1024 * 1024;  // with slabs
  // A pool unused for longer than this (microseconds) counts as idle.
  static constexpr uint64_t kDefaultIdleMicros = 600999999;

  MemoryPool();
  // Gives back the region and every tracked block, whether or not chunks
  // are still handed out: deleting a pool ends its memory's life. Owners
  // that want the idleness check call Release first.
  ~MemoryPool();
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  // Builds the slabs. False when the region or a slab cannot be made, when
  // the sizes overflow, or when the pool is already initialised. Entries
  // with a chunk size or count of 0 are skipped. An empty map makes a pool
  // that serves every request as a tracked block.
  bool Init(const std::map<uint32_t, uint32_t>& sizeMap);

  void* Malloc(size_t len);
  int Free(void* ptr);

  // Every chunk is free and no tracked block is out.
  bool CheckIdleInner() const;
  // CheckIdleInner and unused for longer than the idle threshold, measured
  // at TSC time `nowTsc` (the no-argument form reads the TSC).
  bool CheckIdle() const;
  bool CheckIdle(uint64_t nowTsc) const;

  // Frees the slabs and the region. The pool must be idle (CheckIdleInner);
  // otherwise the process ends, since handed-out chunks would dangle.
  void Release();

  // For every slab: chunk size -> (count, free).
  void Report(ReportMap* out) const;

  // True when ptr lies inside the slab region (not a tracked block).
  bool InRegion(const void* ptr) const {
    const uint64_t a = reinterpret_cast<uint64_t>(ptr);
    return a >= base_ && a < base_ + size_;
  }

  uint64_t base() const { return base_; }
  void* base_ptr() const { return reinterpret_cast<void*>(base_); }
  uint64_t size() const { return size_; }
  uint64_t max_chunk_size() const { return max_chunk_size_; }
  uint64_t alignment() const { return alignment_; }
  uint64_t last_use_tsc() const { return last_use_tsc_; }
  size_t large_count() const { return large_.size(); }
  size_t slab_count() const { return slabs_.size(); }
  bool inited() const { return inited_; }

  // Test and tuning hooks: the idle threshold in microseconds, and the time
  // of last use (as a TSC value).
  void set_idle_threshold_us(uint64_t us) { idle_threshold_us_ = us; }
  uint64_t idle_threshold_us() const { return idle_threshold_us_; }
  void set_last_use_tsc(uint64_t tsc) { last_use_tsc_ = tsc; }

  // Memory source: DMA-safe SPDK memory when true. Taken from the SPDK
  // environment's state at construction; may be changed only before Init.
  bool dma() const { return dma_; }
  void set_dma(bool dma) {
    if (!inited_) dma_ = dma;
  }

 private:
  void FreeTables();

  std::vector<uint64_t> slab_starts_;  // ascending, then the region's end
  std::vector<uint64_t> chunk_sizes_;  // chunk size of slabs_[i], ascending
  std::vector<std::unique_ptr<MemorySlab>> slabs_;
  std::unordered_set<uint64_t> large_;
  uint64_t base_ = 0;
  uint64_t size_ = 0;
  uint64_t max_chunk_size_ = 0;
  uint64_t alignment_ = kSmallAlign;
  uint64_t last_use_tsc_ = 0;
  uint64_t idle_threshold_us_ = kDefaultIdleMicros;
  bool inited_ = false;
  bool dma_ = false;
};

}  // namespace tarn

#endif  // TARN_MEMORY_POOL_H_
