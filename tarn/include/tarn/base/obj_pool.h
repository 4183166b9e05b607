// ObjPool<T>: a fixed number of T slots in one aligned block.
//
// Malloc(args...) constructs a T in a free slot (null when none is left);
// Free(obj) destroys it and makes the slot free again. The pool never grows;
// its owner reports capacity() and left() (e.g. through the worker's object
// pool table). Not thread-safe: a pool belongs to one thread.
//
// Free refuses, with an ERROR and no other effect, a pointer that is not one
// of the pool's slots and a slot that is already free (a second return).
#ifndef TARN_BASE_OBJ_POOL_H_
#define TARN_BASE_OBJ_POOL_H_

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "tarn/base/logging.h"

namespace plinth {

template <typename T>
class ObjPool {
 public:
  // `count` slots of `size` bytes (at least sizeof(T), rounded up to T's
  // alignment) in a block aligned to `align` (at least alignof(T)).
  explicit ObjPool(int count, size_t size = sizeof(T), size_t align = alignof(T)) {
    if (count <= 0) return;
    stride_ = RoundUp(size < sizeof(T) ? sizeof(T) : size, alignof(T));
    align_ = PowerOfTwoAtLeast(std::max({align, alignof(T), sizeof(void*)}));
    const size_t n = static_cast<size_t>(count);
    if (n > SIZE_MAX / stride_ || n * stride_ > SIZE_MAX - align_) {
      LOG_ERROR << "Failed to malloc ret: " << EOVERFLOW << ", size: " << size << "*" << count;
      return;
    }
    void* block = nullptr;
    const int ret = posix_memalign(&block, align_, RoundUp(n * stride_, align_));
    if (ret != 0) {
      LOG_ERROR << "Failed to malloc ret: " << ret << ", size: " << size << "*" << count;
      return;
    }
    block_ = static_cast<char*>(block);
    capacity_ = count;
    free_.resize(n);
    in_use_.assign(n, 0);
    // Address order, so the highest slot is taken first.
    for (size_t i = 0; i < n; ++i) free_[i] = block_ + i * stride_;
    top_ = static_cast<uint32_t>(n);
  }

  ~ObjPool() {
    if (block_ == nullptr) return;
    if (left() != capacity_) {
      LOG_WARN << "object pool destroyed with " << (capacity_ - left())
               << " objects still taken, capacity: " << capacity_;
    }
    free(block_);
  }

  ObjPool(const ObjPool&) = delete;
  ObjPool& operator=(const ObjPool&) = delete;

  // A new T built from args in a free slot; null (and one more failed take)
  // when the pool is exhausted. A throwing constructor leaves the slot free.
  template <typename... Args>
  T* Malloc(Args&&... args) {
    if (top_ == 0) {
      ++failed_;
      return nullptr;
    }
    char* slot = free_[--top_];
    T* obj;
    try {
      obj = new (slot) T(std::forward<Args>(args)...);
    } catch (...) {
      ++top_;
      throw;
    }
    in_use_[Index(slot)] = 1;
    return obj;
  }

  // Destroys obj and frees its slot: 0 on success; -1, with nothing done,
  // when obj is not a slot of this pool or is already free.
  int Free(T* obj) {
    const char* p = reinterpret_cast<const char*>(obj);
    if (!Owns(obj)) {
      LOG_ERROR << "object does not belong to this pool, ptr: " << static_cast<const void*>(p);
      return -1;
    }
    const size_t i = Index(p);
    if (!in_use_[i]) {
      LOG_ERROR << "object returned twice, ptr: " << static_cast<const void*>(p);
      return -1;
    }
    obj->~T();
    in_use_[i] = 0;
    free_[top_++] = block_ + i * stride_;
    return 0;
  }

  // True when p is the start of one of the pool's slots.
  bool Owns(const T* obj) const {
    const char* p = reinterpret_cast<const char*>(obj);
    if (block_ == nullptr || p < block_) return false;
    const size_t off = static_cast<size_t>(p - block_);
    return off < static_cast<size_t>(capacity_) * stride_ && off % stride_ == 0;
  }

  // True when obj is one of the pool's slots and an object lives there.
  bool InUse(const T* obj) const {
    return Owns(obj) && in_use_[Index(reinterpret_cast<const char*>(obj))] != 0;
  }

  // Calls f(obj) for every object living in the pool, in slot order.
  template <typename F>
  void ForEachInUse(F&& f) {
    for (size_t i = 0; i < in_use_.size(); ++i) {
      if (in_use_[i]) f(reinterpret_cast<T*>(block_ + i * stride_));
    }
  }

  int capacity() const { return capacity_; }
  int left() const { return static_cast<int>(top_); }
  uint64_t failed() const { return failed_; }
  size_t stride() const { return stride_; }

 private:
  static size_t RoundUp(size_t n, size_t a) { return (n + a - 1) / a * a; }
  static size_t PowerOfTwoAtLeast(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
  }
  size_t Index(const char* p) const { return static_cast<size_t>(p - block_) / stride_; }

  int capacity_ = 0;
  size_t stride_ = sizeof(T);
  size_t align_ = alignof(T);
  char* block_ = nullptr;
  std::vector<char*> free_;      // free slots, top_ of them valid
  std::vector<uint8_t> in_use_;  // per slot: 1 while an object lives there
  uint32_t top_ = 0;
  uint64_t failed_ = 0;
};

}  // namespace plinth

#endif  // TARN_BASE_OBJ_POOL_H_
