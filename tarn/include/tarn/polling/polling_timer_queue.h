// The timer queue of a polling loop. Nothing arms it: the worker's pass loop
// asks DoExpiredTasks() on every pass, which runs at most one due timer so
// that a burst of timers never holds up completion polling. Timers due
// together therefore run on consecutive passes, in expiry order (equal
// expiries in insertion order).
#ifndef TARN_POLLING_POLLING_TIMER_QUEUE_H_
#define TARN_POLLING_POLLING_TIMER_QUEUE_H_

#include "tarn/timer_queue.h"

namespace tarn {

class PollingTimerQueue : public TimerQueue {
 public:
  explicit PollingTimerQueue(Loop* loop) : TimerQueue(loop) {}

  TimerId AddTimer(const std::function<void()>& cb, const plinth::TimeCycle& when,
                   double interval) override;

  // Loop thread: runs the earliest timer when it is due; 1 when one ran (or
  // was settled), else 0.
  int DoExpiredTasks();

 protected:
  void InsertInLoop(Timer* timer) override;
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLING_TIMER_QUEUE_H_
