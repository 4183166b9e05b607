#include "tarn/event/event_timer_queue.h"

#include <event2/event.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "tarn/base/logging.h"
#include "tarn/event/event_loop.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

constexpr int64_t kMinArmUs = 100;

}  // namespace

EventTimerQueue::EventTimerQueue(EventLoop* loop) : TimerQueue(loop), event_loop_(loop) {
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_fd_ < 0) {
    LOG_SYSERR << "Failed in timerfd_create";
    return;
  }
  LibeventDriver* driver = event_loop_->driver();
  timer_event_idx_ = driver->CreateEvent(timer_fd_, EV_READ, TimerEventCbWrapper, this);
  if (timer_event_idx_ >= 0 && driver->AddEvent(timer_event_idx_) != 0) {
    driver->FreeEvent(timer_event_idx_);
    timer_event_idx_ = -1;
  }
  if (timer_event_idx_ < 0) LOG_ERROR << "timer event create failed, timer fd: " << timer_fd_;
}

EventTimerQueue::~EventTimerQueue() {
  if (timer_event_idx_ >= 0) {
    event_loop_->driver()->DelEvent(timer_event_idx_);
    event_loop_->driver()->FreeEvent(timer_event_idx_);
  }
  if (timer_fd_ >= 0) ::close(timer_fd_);
}

TimerId EventTimerQueue::AddTimer(const std::function<void()>& cb, const plinth::TimeCycle& when,
                                  double interval) {
  return PostTimer(new Timer(cb, when, interval));
}

void EventTimerQueue::InsertInLoop(Timer* timer) {
  LOG_TRACE << "AddTimer, expiration: "
            << timer->expiration().cycles() / plinth::TimeCycle::tsc_rate_mhz_;
  if (Insert(timer)) Arm(timer->expiration());
}

int64_t EventTimerQueue::ArmDelayUs(plinth::TimeCycle when, plinth::TimeCycle now) {
  // Signed: a timer already due gives a negative delay, armed at the floor.
  int64_t us = static_cast<int64_t>(when.cycles() / plinth::TimeCycle::tsc_rate_mhz_) -
               static_cast<int64_t>(now.cycles() / plinth::TimeCycle::tsc_rate_mhz_);
  return us < kMinArmUs ? kMinArmUs : us;
}

void EventTimerQueue::Arm(plinth::TimeCycle when) {
  int64_t us = ArmDelayUs(when, plinth::TimeCycle::now());
  struct itimerspec arm = {};
  arm.it_value.tv_sec = static_cast<time_t>(us / 1000000);
  arm.it_value.tv_nsec = static_cast<long>((us % 1000000) * 1000);
  if (::timerfd_settime(timer_fd_, 0, &arm, nullptr) != 0) LOG_SYSERR << "timerfd_settime()";
}

void EventTimerQueue::HandleTimerEvent() {
  loop_->AssertInLoopThread();
  uint64_t count = 0;
  ssize_t n = ::read(timer_fd_, &count, sizeof(count));
  if (n != sizeof(count)) LOG_ERROR << "read " << n << " bytes instead of 8";
  RunExpired(plinth::TimeCycle::now());
  if (!empty()) Arm(Earliest());
}

void EventTimerQueue::TimerEventCbWrapper(int, short what, void* arg) {
  if ((what & EV_READ) == 0) return;
  EventTimerQueue* queue = static_cast<EventTimerQueue*>(arg);
  // Timer callbacks are the worker's work too: count them as busy time.
  CycleScope scope(queue->event_loop_->worker());
  queue->HandleTimerEvent();
}

}  // namespace tarn
