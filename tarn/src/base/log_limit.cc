#include "tarn/base/log_limit.h"

#include <chrono>

namespace plinth {

namespace {

int64_t SteadyNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool LogWindow::Admit(int64_t now_us, int64_t interval_us, uint32_t burst,
                      uint64_t* held_back) {
  *held_back = 0;
  if (!started_ || now_us - start_us_ >= interval_us) {
    started_ = true;
    start_us_ = now_us;
    admitted_ = 1;
    *held_back = held_back_;
    held_back_ = 0;
    return true;
  }
  if (admitted_ < burst) {
    ++admitted_;
    return true;
  }
  ++held_back_;
  return false;
}

bool LogRateLimiter::Admit(const std::string& kind, int64_t now_us, uint64_t* held_back) {
  auto it = kinds_.find(kind);
  if (it == kinds_.end()) {
    if (kinds_.size() >= kMaxKinds) kinds_.clear();
    it = kinds_.emplace(kind, LogWindow()).first;
  }
  return it->second.Admit(now_us, kIntervalUs, burst_, held_back);
}

bool LogSiteLimiter::Admit(uint64_t* held_back) {
  const int64_t now = SteadyNowUs();
  std::lock_guard<std::mutex> lock(mutex_);
  return window_.Admit(now, LogRateLimiter::kIntervalUs, kBurst, held_back);
}

LimitedLogLine::~LimitedLogLine() {
  if (held_back_ > 0) logger_.stream() << " (" << held_back_ << " more like it held back)";
}

}  // namespace plinth
