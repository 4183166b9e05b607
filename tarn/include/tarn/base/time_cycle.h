// TSC time: the cycle counter every timer and latency figure is based on.
//
// tsc_rate_ (cycles per second) and tsc_rate_mhz_ (cycles per microsecond)
// are measured once at load time and are never 0 afterwards.
#ifndef TARN_BASE_TIME_CYCLE_H_
#define TARN_BASE_TIME_CYCLE_H_

#include <sys/time.h>

#include <cstdint>

#include <x86intrin.h>

namespace plinth {

inline uint64_t rdtsc() { return __rdtsc(); }

// A TSC cycle count.
class TimeCycle {
 public:
  TimeCycle() = default;
  explicit TimeCycle(uint64_t cycles) : cycles_(cycles) {}

  static TimeCycle now() { return TimeCycle(rdtsc()); }

  uint64_t cycles() const { return cycles_; }

  // The measured rates; see get_cpu_mhz().
  static uint64_t tsc_rate_;      // cycles per second
  static uint64_t tsc_rate_mhz_;  // cycles per microsecond

  friend bool operator<(TimeCycle a, TimeCycle b) { return a.cycles_ < b.cycles_; }
  friend bool operator<=(TimeCycle a, TimeCycle b) { return a.cycles_ <= b.cycles_; }
  friend bool operator>(TimeCycle a, TimeCycle b) { return a.cycles_ > b.cycles_; }
  friend bool operator>=(TimeCycle a, TimeCycle b) { return a.cycles_ >= b.cycles_; }
  friend bool operator==(TimeCycle a, TimeCycle b) { return a.cycles_ == b.cycles_; }
  friend bool operator!=(TimeCycle a, TimeCycle b) { return a.cycles_ != b.cycles_; }

 private:
  uint64_t cycles_ = 0;
};

// The TSC rate in MHz measured against gettimeofday and /proc/cpuinfo; 0 when
// the measurement fails. A non-zero `quiet` suppresses the conflicting-values
// warning.
double get_cpu_mhz(int quiet);

namespace detail {

// The pieces of get_cpu_mhz() and of the load-time rate, open for tests.

// The first "cpu MHz" value of a cpuinfo-format file; 0 when there is none.
double cpu_mhz_from_cpuinfo(const char* path, int quiet);
// Least-squares fit of TSC cycles against gettimeofday; 0 on a poor fit.
// Takes about 0.2 s, nearly all of it asleep.
double sample_tsc_mhz();
// The same fit against `wall_clock` (gettimeofday's shape). A clock that
// steps back or stands still voids the fit (0) instead of holding the
// caller, which runs while the library loads, for as long as the step.
double sample_tsc_mhz_against(int (*wall_clock)(struct timeval* now));
// Chooses between the /proc figure and the sampled one; 0 only when both are.
double combine_cpu_mhz(double proc_mhz, double sampled_mhz);
// TSC cycles per microsecond over `usec` of CLOCK_MONOTONIC_RAW; 0 on failure.
double tsc_mhz_against_monotonic_raw(int64_t usec);
// The rate in cycles per second from a first figure in MHz, re-measuring
// with `remeasure` (up to `attempts` times) while the figure is below 1 MHz.
// 0 only when every attempt failed.
uint64_t resolve_tsc_rate(double first_mhz, double (*remeasure)(), int attempts);

}  // namespace detail

}  // namespace plinth

#endif  // TARN_BASE_TIME_CYCLE_H_
