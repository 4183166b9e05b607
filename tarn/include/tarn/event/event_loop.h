// The loop of an event worker: blocks in libevent until a socket, a timer or
// a wake-up is ready, and runs the tasks other threads queue for it.
//
// Queued tasks sit in a vector guarded by a one-byte compare-and-swap flag,
// held only to append or to swap the vector, never while tasks run; an
// eventfd wakes the loop. With busy poll the loop never sleeps: each pass
// runs the queued tasks and one non-blocking libevent pass.
#ifndef TARN_EVENT_EVENT_LOOP_H_
#define TARN_EVENT_EVENT_LOOP_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "tarn/event/libevent_driver.h"
#include "tarn/loop.h"

namespace tarn {

// Work an event loop finishes at the end of a pass (see RunAtPassEnd).
class PassEndWork {
 public:
  virtual void RunPassEnd() = 0;

 protected:
  ~PassEndWork() = default;
};

class EventLoop : public Loop {
 public:
  // The busy-poll flag is taken from the worker's option (false without a
  // worker).
  EventLoop(Worker* worker, const UserHandleFactory& create);
  // As above with the busy-poll flag given (a loop without a worker).
  EventLoop(Worker* worker, const UserHandleFactory& create, bool busy_poll);
  ~EventLoop() override;

  // Driver, wake-up eventfd and event, timer queue; 0 on success.
  int Init() override;
  // Runs until Stop(), then runs what is still queued and refuses anything
  // queued later. Returns 0, or -1 when libevent failed.
  int Start() override;
  // Any thread: the loop ends after its current pass.
  int Stop() override;
  int DoPendingTasks() override;
  bool QueueInLoop(LoopTask* task) override;
  void ExpectTaskWithin(uint32_t max_us) override;

  // Wakes a blocked loop (nothing with busy poll); -1 on a short write.
  int Wakeup();
  // The wake-up event: reads the eventfd and runs the queued tasks.
  int WakeupHandle();
  static void WakeupEventCbWrapper(int fd, short what, void* arg);

  // Loop thread: runs `work` once the current pass has run all its events,
  // tasks and timers. Connections use it so that every send of one pass
  // leaves in one system call. Outside a running pass, `work` waits for the
  // end of the next one (or for RunPassEnd). The loop holds a reference
  // until then; queuing costs no allocation once the list has grown.
  void RunAtPassEnd(std::shared_ptr<PassEndWork> work);
  // Loop thread: runs what RunAtPassEnd collected (also what that adds).
  // Start does this after every pass; a caller turning the driver by hand
  // does it itself.
  void RunPassEnd();

  LibeventDriver* driver() const { return driver_.get(); }
  bool busy_poll() const { return busy_poll_; }

 private:
  void LockTasks(bool* first_try);
  void UnlockTasks();
  // After the loop ended: runs the tasks left, then closes the queue.
  void DrainAndClose();
  // End of a pass: watches the queue for what ExpectTaskWithin asked.
  void AwaitExpectedTask();

  bool busy_poll_;
  std::unique_ptr<LibeventDriver> driver_;
  int wakeup_fd_ = -1;
  int wakeup_event_idx_ = -1;
  std::atomic<uint8_t> task_flag_{0};   // 0 free, 1 held
  std::vector<LoopTask*> tasks_;        // under task_flag_
  std::vector<LoopTask*> running_;      // loop thread: the batch being run
  bool closed_ = false;                 // under task_flag_: refuse new tasks
  std::atomic<bool> quit_{false};       // Stop() asked; checked every pass
  // A poster's wake-up is written or about to be, and the loop has not yet
  // read it: later posters need not write another.
  std::atomic<bool> wakeup_pending_{false};
  uint32_t expect_task_us_ = 0;  // loop thread: asked for by this pass
  uint32_t expect_backoff_ = 0;  // loop thread: requests to skip after a miss
  uint32_t expect_skip_ = 0;     // loop thread: requests still to skip
  std::vector<std::shared_ptr<PassEndWork>> pass_end_;          // loop thread
  std::vector<std::shared_ptr<PassEndWork>> pass_end_running_;  // loop thread
};

}  // namespace tarn

#endif  // TARN_EVENT_EVENT_LOOP_H_
