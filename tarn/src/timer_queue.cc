#include "tarn/timer_queue.h"

#include "tarn/base/logging.h"
#include "tarn/loop.h"

namespace tarn {

std::atomic<int64_t> Timer::created_num_{0};

uint64_t Timer::SecondsToCycles(double seconds) {
  constexpr uint64_t kMaxCycles = uint64_t{1} << 62;
  if (!(seconds > 0.0)) return 0;
  double cycles = seconds * static_cast<double>(plinth::TimeCycle::tsc_rate_);
  if (cycles >= static_cast<double>(kMaxCycles)) return kMaxCycles;
  return static_cast<uint64_t>(cycles);
}

void Timer::Restart(plinth::TimeCycle base) {
  expiration_ = plinth::TimeCycle(base.cycles() + SecondsToCycles(interval_));
}

TimerQueue::~TimerQueue() {
  for (auto& entry : timers_) delete entry.second;
  timers_.clear();
  active_timers_.clear();
  cancelled_timers_.clear();
}

TimerId TimerQueue::PostTimer(Timer* timer) {
  TimerId id(timer, timer->sequence());
  if (loop_->RunInLoop([this, timer] { InsertInLoop(timer); }, true) != 0) {
    // Refused without running: nobody else holds the timer.
    delete timer;
    return TimerId();
  }
  return id;
}

bool TimerQueue::Insert(Timer* timer) {
  loop_->AssertInLoopThread();
  uint64_t when = timer->expiration().cycles();
  bool earliest = timers_.empty() || when < timers_.begin()->first;
  // upper_bound keeps equal expiries in insertion order.
  timers_.emplace_hint(timers_.upper_bound(when), when, timer);
  active_timers_.emplace(timer->sequence(), timer);
  return earliest;
}

void TimerQueue::Cancel(const TimerId& id) {
  if (!id.valid()) return;
  loop_->RunInLoop([this, id] { CancelInLoop(id); }, true);
}

void TimerQueue::EraseFromExpiry(Timer* timer) {
  auto range = timers_.equal_range(timer->expiration().cycles());
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == timer) {
      timers_.erase(it);
      return;
    }
  }
}

void TimerQueue::CancelInLoop(const TimerId& id) {
  loop_->AssertInLoopThread();
  LOG_TRACE << "timers size: " << timers_.size() << "activer_timer size: "
            << active_timers_.size();
  if (calling_) {
    cancelled_timers_.emplace(id.sequence(), id.timer());
    return;
  }
  auto it = active_timers_.find(id.sequence());
  if (it == active_timers_.end()) return;  // fired already, or cancelled
  Timer* timer = it->second;
  EraseFromExpiry(timer);
  active_timers_.erase(it);
  delete timer;
}

void TimerQueue::CancelTimerInList() {
  for (auto& entry : cancelled_timers_) {
    // The live timer of that sequence, not the handle's pointer, which may
    // be stale.
    auto it = active_timers_.find(entry.first);
    if (it == active_timers_.end()) continue;
    Timer* timer = it->second;
    EraseFromExpiry(timer);
    active_timers_.erase(it);
    delete timer;
  }
  cancelled_timers_.clear();
}

size_t TimerQueue::RunExpired(plinth::TimeCycle now, size_t limit) {
  expired_.clear();
  expired_nodes_.clear();
  const auto end = timers_.lower_bound(now.cycles());
  while (timers_.begin() != end && expired_.size() < limit) {
    expired_nodes_.push_back(timers_.extract(timers_.begin()));
    expired_.push_back(expired_nodes_.back().mapped());
  }
  if (expired_.empty()) return 0;

  calling_ = true;
  for (Timer* timer : expired_) {
    // An earlier callback of this pass may have cancelled it.
    if (!cancelled_timers_.empty() && cancelled_timers_.count(timer->sequence()) != 0) continue;
    timer->Run();
  }
  calling_ = false;

  for (Timer* timer : expired_) {
    if (cancelled_timers_.count(timer->sequence()) != 0) continue;  // settled below
    if (timer->repeat()) {
      timer->Restart(now);
      uint64_t when = timer->expiration().cycles();
      // Any node taken out above will do: there is one per expired timer.
      auto node = std::move(expired_nodes_.back());
      expired_nodes_.pop_back();
      node.key() = when;
      node.mapped() = timer;
      timers_.insert(timers_.upper_bound(when), std::move(node));
    } else {
      active_timers_.erase(timer->sequence());
      delete timer;
    }
  }
  if (!cancelled_timers_.empty()) CancelTimerInList();
  size_t n = expired_.size();
  expired_.clear();
  expired_nodes_.clear();
  return n;
}

}  // namespace tarn
