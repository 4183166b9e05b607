#include "tarn/memory_slab.h"

#include <new>

#include "tarn/base/logging.h"

namespace tarn {

MemorySlab::MemorySlab(uint64_t base, uint64_t chunkSize, uint64_t count)
    : base_(base), chunk_size_(chunkSize), count_(count) {}

MemorySlab::~MemorySlab() {
  delete[] free_list_;
  delete[] bitmap_;
  delete[] account_malloc_cnt_;
  delete[] account_free_cnt_;
}

std::unique_ptr<MemorySlab> MemorySlab::Make(uint64_t base, uint64_t chunkSize, uint64_t count) {
  if (chunkSize == 0) {
    LOG_ERROR << "slab chunk size is 0, base: " << reinterpret_cast<void*>(base);
    return nullptr;
  }
  if (count > UINT64_MAX / chunkSize || base > UINT64_MAX - chunkSize * count) {
    LOG_ERROR << "slab does not fit the address space, chunk size: " << chunkSize
              << ", count: " << count;
    return nullptr;
  }
  std::unique_ptr<MemorySlab> slab(new MemorySlab(base, chunkSize, count));
  slab->free_list_ = new (std::nothrow) uint64_t[count];
  if (slab->free_list_ == nullptr) {
    LOG_ERROR << "cannot malloc free_list_";
    return nullptr;
  }
  const uint64_t words = (count + 63) / 64;
  slab->bitmap_ = new (std::nothrow) uint64_t[words];
  slab->account_malloc_cnt_ = new (std::nothrow) uint64_t[count]();
  if (slab->bitmap_ == nullptr || slab->account_malloc_cnt_ == nullptr) {
    LOG_ERROR << "cannot malloc account_malloc_cnt_";
    return nullptr;
  }
  slab->account_free_cnt_ = new (std::nothrow) uint64_t[count]();
  if (slab->account_free_cnt_ == nullptr) {
    LOG_ERROR << "cannot malloc account_free_cnt_";
    return nullptr;
  }
  for (uint64_t w = 0; w < words; ++w) slab->bitmap_[w] = ~uint64_t{0};
  for (uint64_t i = 0; i < count; ++i) slab->free_list_[i] = base + i * chunkSize;
  slab->top_ = count;
  return slab;
}

int64_t MemorySlab::GetIndex(const void* ptr) const {
  const uint64_t addr = reinterpret_cast<uint64_t>(ptr);
  // An address below the base wraps to a huge offset and lands here too.
  const uint64_t off = addr - base_;
  if (off >= chunk_size_ * count_) return kOutOfRange;
  if (off % chunk_size_ != 0) return kMisaligned;
  return static_cast<int64_t>(off / chunk_size_);
}

void MemorySlab::MallocCheckAndSet(const void* ptr) {
  const int64_t idx = GetIndex(ptr);
  if (idx < 0) {
    LOG_FATAL << "get idx error, ret: " << idx << ", ptr: " << ptr;
    return;
  }
  const uint64_t i = static_cast<uint64_t>(idx);
  if (!IsFreeBit(i)) {
    LOG_FATAL << "double malloc, ptr: " << ptr;
    return;
  }
  FlipBit(i);
  ++account_malloc_cnt_[i];
}

void MemorySlab::FreeCheckAndSet(const void* ptr) {
  const int64_t idx = GetIndex(ptr);
  if (idx < 0) {
    LOG_FATAL << "get idx error, ret: " << idx << ", ptr: " << ptr;
    return;
  }
  const uint64_t i = static_cast<uint64_t>(idx);
  if (IsFreeBit(i)) {
    LOG_FATAL << "double free, ptr: " << ptr;
    return;
  }
  FlipBit(i);
  ++account_free_cnt_[i];
}

}  // namespace tarn
