#include "bvar/detail/sampler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace bvar {
namespace detail {
namespace {

// Never destroyed, like the variable registry: objects in static storage
// unschedule themselves during static destruction.
struct SamplerState {
  std::mutex mu;  // also held while samples are taken
  std::condition_variable cv;
  std::vector<Sampled*> scheduled;
  std::thread thread;
  bool started = false;
  bool stopping = false;
};

SamplerState& state() {
  static SamplerState* s = new SamplerState;
  return *s;
}

void run_sampler() {
  SamplerState& s = state();
  auto next = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(s.mu);
  while (!s.stopping) {
    next += std::chrono::seconds(1);
    if (s.cv.wait_until(lock, next, [&s] { return s.stopping; })) break;
    for (Sampled* one : s.scheduled) one->take_sample();
    // After a long stall, sample again a second from now, not in a burst.
    next = std::max(next, std::chrono::steady_clock::now());
  }
}

void stop_sampler() {
  SamplerState& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.stopping = true;
  }
  s.cv.notify_all();
  if (s.thread.joinable()) s.thread.join();
}

}  // namespace

void schedule_sampling(Sampled* one) {
  SamplerState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.scheduled.push_back(one);
  if (!s.started && !s.stopping) {
    s.started = true;
    s.thread = std::thread(run_sampler);
    std::atexit(stop_sampler);
  }
}

void unschedule_sampling(Sampled* one) {
  SamplerState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto it = std::find(s.scheduled.begin(), s.scheduled.end(), one);
  if (it != s.scheduled.end()) s.scheduled.erase(it);
}

int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace detail
}  // namespace bvar
