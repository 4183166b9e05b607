// IntRecorder: the average of recorded integers.
//
//   bvar::IntRecorder util;
//   util << 37;                                  // from any thread
//   util.average();                              // 37
//   bvar::Window<bvar::IntRecorder> last_second(&util, 1);
//
// Recording costs two relaxed atomic additions on the writer's stripe.
#ifndef PLATFORM_BVAR_RECORDER_H
#define PLATFORM_BVAR_RECORDER_H

#include <cstdint>
#include <ostream>
#include <string>

#include "bvar/detail/cells.h"
#include "bvar/variable.h"

namespace bvar {

class IntRecorder : public Variable {
 public:
  struct Stat {
    int64_t sum = 0;
    int64_t num = 0;
    int64_t get_average_int() const { return num == 0 ? 0 : sum / num; }
    double get_average_double() const {
      return num == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(num);
    }
  };
  typedef Stat value_type;
  typedef Stat sample_type;
  static constexpr bool kInvertible = true;

  IntRecorder() {
    for (auto& s : stripes_) {
      s.sum.store(0, std::memory_order_relaxed);
      s.num.store(0, std::memory_order_relaxed);
    }
  }
  explicit IntRecorder(const std::string& name) : IntRecorder() { expose(name); }
  IntRecorder(const std::string& prefix, const std::string& name) : IntRecorder() {
    expose_as(prefix, name);
  }
  ~IntRecorder() override { hide(); }

  IntRecorder& operator<<(int64_t v) {
    Stripe& s = stripes_[detail::thread_stripe()];
    s.sum.fetch_add(v, std::memory_order_relaxed);
    s.num.fetch_add(1, std::memory_order_relaxed);
    return *this;
  }

  Stat get_value() const {
    Stat st;
    for (const auto& s : stripes_) {
      st.sum += s.sum.load(std::memory_order_relaxed);
      st.num += s.num.load(std::memory_order_relaxed);
    }
    return st;
  }
  int64_t average() const { return get_value().get_average_int(); }

  void describe(std::ostream& os, bool /*quote_string*/) const override {
    os << average();
  }

  // Window support.
  sample_type peek_sample() const { return get_value(); }
  sample_type take_sample() { return get_value(); }
  static value_type sample_diff(const sample_type& newer, const sample_type& older) {
    Stat d;
    d.sum = newer.sum - older.sum;
    d.num = newer.num - older.num;
    return d;
  }

 private:
  struct alignas(detail::kCacheLine) Stripe {
    std::atomic<int64_t> sum;
    std::atomic<int64_t> num;
  };
  Stripe stripes_[detail::kStripes];
};

inline std::ostream& operator<<(std::ostream& os, const IntRecorder::Stat& st) {
  return os << st.get_average_int();
}

}  // namespace bvar

#endif  // PLATFORM_BVAR_RECORDER_H
