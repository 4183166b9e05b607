// Window<R> and PerSecond<R>: the recent behaviour of a reducer.
//
//   bvar::Adder<uint64_t> reads;
//   bvar::PerSecond<bvar::Adder<uint64_t>> read_iops(&reads, 1);
//   bvar::IntRecorder util;
//   bvar::Window<bvar::IntRecorder> util_1s(&util, 1);
//
// The sampling thread takes one sample of the reducer per second; a window
// of N seconds reports the change over the last N samples (for an Adder the
// amount added, for an IntRecorder the average recorded, for a Maxer the
// largest value). Until the first sample exists it reports the change since
// construction. A window of 0 or less means 10 seconds. The reducer must
// outlive its windows.
#ifndef PLATFORM_BVAR_WINDOW_H
#define PLATFORM_BVAR_WINDOW_H

#include <cmath>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <type_traits>

#include "bvar/detail/sampler.h"
#include "bvar/variable.h"

namespace bvar {
namespace detail {

// The per-second samples of one reducer over a window.
template <typename R>
class SeriesWindow : public Sampled {
 public:
  typedef typename R::sample_type sample_type;
  typedef typename R::value_type value_type;

  SeriesWindow(R* var, time_t window_size)
      : var_(var),
        window_(window_size > 0 ? static_cast<size_t>(window_size)
                                : static_cast<size_t>(kDefaultWindowSeconds)) {
    samples_.push_back(Point{monotonic_ns(), var_->take_sample()});
    schedule_sampling(this);
  }
  ~SeriesWindow() { unschedule_sampling(this); }

  void take_sample() override {
    const Point p{monotonic_ns(), var_->take_sample()};
    std::lock_guard<std::mutex> lock(mu_);
    samples_.push_back(p);
    while (samples_.size() > window_ + 1) samples_.pop_front();
  }

  // The value over the window; `*seconds` (when given) gets its length.
  value_type value(double* seconds) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Point& oldest = samples_.front();
    const bool sampled = samples_.size() > 1;
    const int64_t end = sampled ? samples_.back().ns : monotonic_ns();
    if (seconds != nullptr) *seconds = static_cast<double>(end - oldest.ns) / 1e9;
    if constexpr (R::kInvertible) {
      const sample_type newest = sampled ? samples_.back().sample : var_->peek_sample();
      return R::sample_diff(newest, oldest.sample);
    } else {
      if (!sampled) return var_->peek_sample();
      sample_type acc = samples_[1].sample;
      for (size_t i = 2; i < samples_.size(); ++i) {
        acc = R::sample_merge(acc, samples_[i].sample);
      }
      return acc;
    }
  }

  time_t window_size() const { return static_cast<time_t>(window_); }

 private:
  struct Point {
    int64_t ns;
    sample_type sample;
  };

  R* const var_;
  const size_t window_;
  mutable std::mutex mu_;
  std::deque<Point> samples_;  // oldest first, at most window_ + 1
};

}  // namespace detail

template <typename R>
class Window : public Variable {
 public:
  typedef typename R::value_type value_type;

  Window(R* var, time_t window_size) : series_(var, window_size) {}
  Window(const std::string& name, R* var, time_t window_size)
      : series_(var, window_size) {
    expose(name);
  }
  Window(const std::string& prefix, const std::string& name, R* var,
         time_t window_size)
      : series_(var, window_size) {
    expose_as(prefix, name);
  }
  ~Window() override { hide(); }

  value_type get_value() const { return series_.value(nullptr); }
  time_t window_size() const { return series_.window_size(); }

  void describe(std::ostream& os, bool /*quote_string*/) const override {
    os << get_value();
  }

 private:
  detail::SeriesWindow<R> series_;
};

// The amount added per second, averaged over the window.
template <typename R>
class PerSecond : public Variable {
  static_assert(R::kInvertible && std::is_arithmetic<typename R::value_type>::value,
                "PerSecond needs a counter such as an Adder");

 public:
  typedef typename R::value_type value_type;

  explicit PerSecond(R* var) : series_(var, -1) {}
  PerSecond(R* var, time_t window_size) : series_(var, window_size) {}
  PerSecond(const std::string& name, R* var, time_t window_size = -1)
      : series_(var, window_size) {
    expose(name);
  }
  PerSecond(const std::string& prefix, const std::string& name, R* var,
            time_t window_size = -1)
      : series_(var, window_size) {
    expose_as(prefix, name);
  }
  ~PerSecond() override { hide(); }

  value_type get_value() const {
    double seconds = 0;
    const value_type v = series_.value(&seconds);
    if (seconds <= 0) return value_type();
    const double rate = static_cast<double>(v) / seconds;
    if constexpr (std::is_integral<value_type>::value) {
      return static_cast<value_type>(std::llround(rate));
    } else {
      return static_cast<value_type>(rate);
    }
  }
  time_t window_size() const { return series_.window_size(); }

  void describe(std::ostream& os, bool /*quote_string*/) const override {
    os << +get_value();
  }

 private:
  detail::SeriesWindow<R> series_;
};

}  // namespace bvar

#endif  // PLATFORM_BVAR_WINDOW_H
