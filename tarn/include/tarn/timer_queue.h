// Timers of one loop, ordered by TSC expiry.
//
// Adding and cancelling may be asked from any thread; both are posted to the
// loop and take effect there, so the tables below change only on the loop
// thread. A timer is identified by its process-wide sequence number, never by
// its address: a TimerId whose timer is gone (and whose memory may now hold
// another timer) cancels nothing.
//
// Subclasses decide when due timers run: EventTimerQueue arms a timerfd,
// the polling queue looks on every pass of its loop.
#ifndef TARN_TIMER_QUEUE_H_
#define TARN_TIMER_QUEUE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <vector>

#include "tarn/base/time_cycle.h"

namespace tarn {

class Loop;

class Timer {
 public:
  // `interval` in seconds; above 0 makes the timer periodic.
  Timer(const std::function<void()>& cb, plinth::TimeCycle when, double interval)
      : callback_(cb),
        expiration_(when),
        interval_(interval),
        repeat_(interval > 0.0),
        sequence_(created_num_.fetch_add(1)) {}
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Cycles in `seconds`: 0 for negative and NaN delays (run as soon as
  // possible), capped far in the future (about 2^62 cycles) so that adding
  // it to the current TSC cannot wrap.
  static uint64_t SecondsToCycles(double seconds);

  void Run() const { callback_(); }
  // Next expiry of a periodic timer: `base` + interval.
  void Restart(plinth::TimeCycle base);

  plinth::TimeCycle expiration() const { return expiration_; }
  double interval() const { return interval_; }
  bool repeat() const { return repeat_; }
  int64_t sequence() const { return sequence_; }

  // Source of sequence numbers, shared by all loops; the first timer gets 0.
  static std::atomic<int64_t> created_num_;

 private:
  const std::function<void()> callback_;
  plinth::TimeCycle expiration_;
  const double interval_;
  const bool repeat_;
  const int64_t sequence_;
};

// Handle of a timer. The sequence identifies it; the pointer is only a hint.
class TimerId {
 public:
  TimerId() = default;
  TimerId(Timer* timer, int64_t seq) : timer_(timer), sequence_(seq) {}

  Timer* timer() const { return timer_; }
  int64_t sequence() const { return sequence_; }
  bool valid() const { return sequence_ >= 0; }

 private:
  Timer* timer_ = nullptr;
  int64_t sequence_ = -1;
};

class TimerQueue {
 public:
  explicit TimerQueue(Loop* loop) : loop_(loop) {}
  // Deletes every timer still held.
  virtual ~TimerQueue();
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // Any thread. Builds the timer here, posts its insertion to the loop and
  // returns its handle at once. A loop that has ended refuses the insertion:
  // the timer is dropped and the handle is invalid.
  virtual TimerId AddTimer(const std::function<void()>& cb, const plinth::TimeCycle& when,
                           double interval) = 0;

  // Any thread. Posts the cancellation to the loop and returns at once.
  // Cancelling a timer that already fired (or is unknown) does nothing; a
  // cancelled timer that has not run yet never runs.
  void Cancel(const TimerId& id);

  // Loop thread. Number of live timers.
  size_t size() const { return active_timers_.size(); }

 protected:
  // Helper for subclasses' AddTimer: posts `timer` to the loop, where
  // InsertInLoop() runs.
  TimerId PostTimer(Timer* timer);
  // Loop thread: the subclass's insertion, which calls Insert().
  virtual void InsertInLoop(Timer* timer) = 0;
  // Loop thread: puts the timer in both tables; true when it is now the
  // earliest one.
  bool Insert(Timer* timer);

  // Loop thread: runs the timers due before `now` (at most `limit` of them),
  // in expiry order (equal expiries in insertion order), then re-inserts the
  // periodic ones relative to `now` and deletes the rest. A timer cancelled
  // by an earlier callback of the same pass does not run. Returns the number
  // of timers taken.
  size_t RunExpired(plinth::TimeCycle now, size_t limit = SIZE_MAX);

  // Loop thread: settles cancellations asked while callbacks ran.
  void CancelTimerInList();

  // Earliest expiry; only when !timers_.empty().
  plinth::TimeCycle Earliest() const { return plinth::TimeCycle(timers_.begin()->first); }
  bool empty() const { return timers_.empty(); }

  Loop* loop_;

 private:
  void CancelInLoop(const TimerId& id);
  // Removes `timer` from the expiry map, if it is there.
  void EraseFromExpiry(Timer* timer);

  // Expiry (TSC) -> timer; a new timer goes after those with the same expiry.
  std::multimap<uint64_t, Timer*> timers_;
  // Sequence -> timer, for every live timer.
  std::unordered_map<int64_t, Timer*> active_timers_;
  // Set while expired callbacks run.
  bool calling_ = false;
  // Sequences cancelled while callbacks ran.
  std::unordered_map<int64_t, Timer*> cancelled_timers_;
  // Timers of the current pass; reused to avoid allocating per pass.
  std::vector<Timer*> expired_;
  // The expiry nodes of the timers being run, reused to put repeating
  // timers back without allocating.
  std::vector<std::multimap<uint64_t, Timer*>::node_type> expired_nodes_;
};

}  // namespace tarn

#endif  // TARN_TIMER_QUEUE_H_
