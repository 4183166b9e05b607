// TSC time: the cycle counter every timer and latency figure is based on.
//
// tsc_rate_ (cycles per second) and tsc_rate_mhz_ (cycles per microsecond)
// are measured once at load time and are never 0 afterwards.
#ifndef TARN_BASE_TIME_CYCLE_H_
#define TARN_BASE_TIME_CYCLE_H_

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

}  // namespace plinth

#endif  // TARN_BASE_TIME_CYCLE_H_
