// MemorySlab: one stretch of a memory pool's region carved into `count`
// chunks of one fixed size.
//
// Chunks are handed out from a free stack, last in first out, so a chunk
// that was just returned (and is still warm in the cache) is the next one
// taken. Malloc and Free are O(1) and never allocate.
//
// The slab also keeps a free bitmap and per-chunk counters for the checking
// operations MallocCheckAndSet / FreeCheckAndSet, which a debugging caller
// may run alongside Malloc / Free; the pool's own fast path does not use
// them.
//
// A slab does not own its memory: the pool allocates the region and builds
// slabs inside it. A slab is used on one thread only.
#ifndef TARN_MEMORY_SLAB_H_
#define TARN_MEMORY_SLAB_H_

#include <cstdint>
#include <memory>

namespace tarn {

class MemorySlab {
 public:
  // Index errors of GetIndex.
  static constexpr int64_t kOutOfRange = -1;   // not inside the slab's chunks
  static constexpr int64_t kMisaligned = -2;   // not at the start of a chunk

  // A slab over [base, base + chunkSize * count); null when its bookkeeping
  // cannot be allocated or chunkSize is 0.
  static std::unique_ptr<MemorySlab> Make(uint64_t base, uint64_t chunkSize, uint64_t count);

  ~MemorySlab();
  MemorySlab(const MemorySlab&) = delete;
  MemorySlab& operator=(const MemorySlab&) = delete;

  // Pops a free chunk; null when none is left.
  void* Malloc() {
    if (top_ == 0) return nullptr;
    return reinterpret_cast<void*>(free_list_[--top_]);
  }

  // Pushes a chunk back. The caller guarantees that ptr is a chunk of this
  // slab (see GetIndex). Returns false, changing nothing, when every chunk is
  // already free: the pointer was returned twice.
  bool Free(void* ptr) {
    if (top_ == count_) return false;
    free_list_[top_++] = reinterpret_cast<uint64_t>(ptr);
    return true;
  }

  // The chunk index of ptr, or kOutOfRange / kMisaligned.
  int64_t GetIndex(const void* ptr) const;

  // Checking variants: end the process on an index error, on taking a chunk
  // that is not free or on freeing a chunk that is free; otherwise flip the
  // chunk's free bit and count the operation.
  void MallocCheckAndSet(const void* ptr);
  void FreeCheckAndSet(const void* ptr);

  uint64_t base() const { return base_; }
  uint64_t chunk_size() const { return chunk_size_; }
  uint64_t chunk_count() const { return count_; }
  uint64_t free_count() const { return top_; }
  bool AllFree() const { return top_ == count_; }

  // Per-chunk counters of the checking operations.
  uint64_t chunk_malloc_count(uint64_t index) const { return account_malloc_cnt_[index]; }
  uint64_t chunk_free_count(uint64_t index) const { return account_free_cnt_[index]; }

 private:
  MemorySlab(uint64_t base, uint64_t chunkSize, uint64_t count);
  bool IsFreeBit(uint64_t index) const { return (bitmap_[index >> 6] >> (index & 63)) & 1; }
  void FlipBit(uint64_t index) { bitmap_[index >> 6] ^= (uint64_t{1} << (index & 63)); }

  const uint64_t base_;
  const uint64_t chunk_size_;
  const uint64_t count_;
  uint64_t* free_list_ = nullptr;  // count_ entries
  uint64_t top_ = 0;               // number of free chunks on the stack
  uint64_t* bitmap_ = nullptr;     // 1 = free
  uint64_t* account_malloc_cnt_ = nullptr;
  uint64_t* account_free_cnt_ = nullptr;
};

}  // namespace tarn

#endif  // TARN_MEMORY_SLAB_H_
