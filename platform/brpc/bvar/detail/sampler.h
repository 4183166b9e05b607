// The sampling thread: once a second it asks every scheduled object to take
// a sample (windows, per-second rates, latency recorders).
//
// The thread starts with the first scheduled object and is stopped and
// joined at process exit. Unscheduling waits for a sample in progress, so an
// object that unschedules itself first thing in its destructor is never
// touched afterwards.
#ifndef PLATFORM_BVAR_DETAIL_SAMPLER_H
#define PLATFORM_BVAR_DETAIL_SAMPLER_H

#include <cstdint>

namespace bvar {
namespace detail {

constexpr int kDefaultWindowSeconds = 10;

class Sampled {
 public:
  // Called on the sampling thread, about once a second.
  virtual void take_sample() = 0;

 protected:
  ~Sampled() = default;
};

void schedule_sampling(Sampled* s);
void unschedule_sampling(Sampled* s);

// Monotonic clock in nanoseconds.
int64_t monotonic_ns();

}  // namespace detail
}  // namespace bvar

#endif  // PLATFORM_BVAR_DETAIL_SAMPLER_H
