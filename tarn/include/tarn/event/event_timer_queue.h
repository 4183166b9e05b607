// The timer queue of an event loop, driven by a timerfd registered with the
// loop's libevent driver. The timerfd is armed one-shot for the earliest
// expiry (at least 100 µs ahead, never at a time already past).
#ifndef TARN_EVENT_EVENT_TIMER_QUEUE_H_
#define TARN_EVENT_EVENT_TIMER_QUEUE_H_

#include "tarn/timer_queue.h"

namespace tarn {

class EventLoop;

class EventTimerQueue : public TimerQueue {
 public:
  // Creates the timerfd and its event; when the system refuses either, an
  // ERROR line says why and ok() is false (the loop's Init then fails).
  explicit EventTimerQueue(EventLoop* loop);
  ~EventTimerQueue() override;

  bool ok() const { return timer_fd_ >= 0 && timer_event_idx_ >= 0; }

  TimerId AddTimer(const std::function<void()>& cb, const plinth::TimeCycle& when,
                   double interval) override;

  // Loop thread: the timerfd fired; runs the due timers and re-arms.
  void HandleTimerEvent();
  static void TimerEventCbWrapper(int fd, short what, void* arg);

  // Microseconds from `now` until `when`, at least 100 (also for a time
  // already past).
  static int64_t ArmDelayUs(plinth::TimeCycle when, plinth::TimeCycle now);

 protected:
  void InsertInLoop(Timer* timer) override;

 private:
  void Arm(plinth::TimeCycle when);

  int timer_fd_ = -1;
  EventLoop* event_loop_;
  int timer_event_idx_ = -1;
};

}  // namespace tarn

#endif  // TARN_EVENT_EVENT_TIMER_QUEUE_H_
