// Striped atomic cells: the record path of every reducer.
//
// Each writer thread is given a small stripe index once; it adds into the
// cell of that stripe with one uncontended atomic operation, and readers sum
// (or otherwise combine) all stripes. Threads that share a stripe stay
// correct, they merely share a cache line.
#ifndef PLATFORM_BVAR_DETAIL_CELLS_H
#define PLATFORM_BVAR_DETAIL_CELLS_H

#include <atomic>
#include <cstddef>
#include <type_traits>

namespace bvar {
namespace detail {

constexpr size_t kStripes = 16;  // a power of two
constexpr size_t kCacheLine = 64;

// The calling thread's stripe, in [0, kStripes).
inline size_t thread_stripe() {
  static std::atomic<size_t> next{0};
  thread_local const size_t stripe =
      next.fetch_add(1, std::memory_order_relaxed) & (kStripes - 1);
  return stripe;
}

template <typename T>
struct alignas(kCacheLine) Cell {
  std::atomic<T> value;
};

template <typename T>
inline void atomic_add(std::atomic<T>* cell, T v) {
  if constexpr (std::is_integral<T>::value) {
    cell->fetch_add(v, std::memory_order_relaxed);
  } else {
    T cur = cell->load(std::memory_order_relaxed);
    while (!cell->compare_exchange_weak(cur, cur + v, std::memory_order_relaxed)) {
    }
  }
}

template <typename T>
inline void atomic_max(std::atomic<T>* cell, T v) {
  T cur = cell->load(std::memory_order_relaxed);
  while (v > cur &&
         !cell->compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
  }
}

}  // namespace detail
}  // namespace bvar

#endif  // PLATFORM_BVAR_DETAIL_CELLS_H
