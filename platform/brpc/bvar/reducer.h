// Adder<T> and Maxer<T>: counters that many threads update cheaply.
//
//   bvar::Adder<uint64_t> reads;          // sum of everything added
//   reads << 1;                           // from any thread
//   bvar::Maxer<int64_t> peak;            // largest value seen
//   peak << 42;
//
// Adding is one relaxed atomic operation on the writer's own stripe; reading
// combines all stripes and is meant for the occasional reader (the metrics
// dump, a gauge check). An unsigned Adder fed with -1 works as a gauge: the
// sum wraps back exactly.
#ifndef PLATFORM_BVAR_REDUCER_H
#define PLATFORM_BVAR_REDUCER_H

#include <limits>
#include <string>

#include "bvar/detail/cells.h"
#include "bvar/variable.h"

namespace bvar {

template <typename T>
class Adder : public Variable {
 public:
  typedef T value_type;
  // What a window keeps per second: the running sum.
  typedef T sample_type;
  static constexpr bool kInvertible = true;

  Adder() {
    for (auto& c : cells_) c.value.store(T(), std::memory_order_relaxed);
  }
  explicit Adder(const std::string& name) : Adder() { expose(name); }
  Adder(const std::string& prefix, const std::string& name) : Adder() {
    expose_as(prefix, name);
  }
  ~Adder() override { hide(); }

  Adder& operator<<(T v) {
    detail::atomic_add(&cells_[detail::thread_stripe()].value, v);
    return *this;
  }

  T get_value() const {
    T sum = T();
    for (const auto& c : cells_) sum += c.value.load(std::memory_order_relaxed);
    return sum;
  }

  // Returns the sum and restarts from zero.
  T reset() {
    T sum = T();
    for (auto& c : cells_) sum += c.value.exchange(T(), std::memory_order_relaxed);
    return sum;
  }

  void describe(std::ostream& os, bool /*quote_string*/) const override {
    os << +get_value();
  }

  // Window support.
  sample_type peek_sample() const { return get_value(); }
  sample_type take_sample() { return get_value(); }
  static value_type sample_diff(const sample_type& newer, const sample_type& older) {
    return newer - older;
  }

 private:
  detail::Cell<T> cells_[detail::kStripes];
};

// Keeps the largest value recorded. Reads T() while nothing was recorded.
// A Window over a Maxer takes the maximum of each second and restarts the
// Maxer, so give a Maxer at most one window.
template <typename T>
class Maxer : public Variable {
 public:
  typedef T value_type;
  typedef T sample_type;
  static constexpr bool kInvertible = false;

  Maxer() {
    for (auto& c : cells_) c.value.store(kNone, std::memory_order_relaxed);
  }
  explicit Maxer(const std::string& name) : Maxer() { expose(name); }
  Maxer(const std::string& prefix, const std::string& name) : Maxer() {
    expose_as(prefix, name);
  }
  ~Maxer() override { hide(); }

  Maxer& operator<<(T v) {
    detail::atomic_max(&cells_[detail::thread_stripe()].value, v);
    return *this;
  }

  T get_value() const {
    T best = kNone;
    for (const auto& c : cells_) {
      const T v = c.value.load(std::memory_order_relaxed);
      if (v > best) best = v;
    }
    return best == kNone ? T() : best;
  }

  // Returns the maximum and forgets it.
  T reset() {
    T best = kNone;
    for (auto& c : cells_) {
      const T v = c.value.exchange(kNone, std::memory_order_relaxed);
      if (v > best) best = v;
    }
    return best == kNone ? T() : best;
  }

  void describe(std::ostream& os, bool /*quote_string*/) const override {
    os << +get_value();
  }

  // Window support.
  sample_type peek_sample() const { return get_value(); }
  sample_type take_sample() { return reset(); }
  static sample_type sample_merge(const sample_type& a, const sample_type& b) {
    return a < b ? b : a;
  }

 private:
  static constexpr T kNone = std::numeric_limits<T>::lowest();
  detail::Cell<T> cells_[detail::kStripes];
};

}  // namespace bvar

#endif  // PLATFORM_BVAR_REDUCER_H
