// The loop of one worker thread, and the one way for any thread to get work
// done on that worker.
//
// A loop is bound to the thread that constructs it. RunInLoop() called on
// that thread runs the function at once; from any other thread it queues a
// task (fire-and-forget, or synchronous with the caller waiting) and wakes
// the loop. The loop also owns the worker's timer queue and holds the
// per-loop user object.
//
// Posting a callable that fits the task's inline buffer (a lambda capturing
// a few pointers, or a std::function object) allocates nothing while the
// loop's task pool has a free task; bigger callables are boxed on the heap.
//
// Once a loop has ended (its Start() returned), it runs whatever was still
// queued and refuses anything queued later: RunInLoop() then returns -1
// without running the function, so a synchronous caller never blocks on a
// loop that will not run again.
//
// Subclasses (EventLoop, the polling loop) supply the task queue, the
// wake-up and the running of the loop.
#ifndef TARN_LOOP_H_
#define TARN_LOOP_H_

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarn/base/time_cycle.h"
#include "tarn/loop_task.h"
#include "tarn/timer_queue.h"
#include "tarn/types.h"

namespace tarn {

class Worker;
class DiskIOUtil;

class Loop {
 public:
  // Callables that take the template overloads below: anything callable
  // but std::function<void()> itself (which takes its own) and nullptr.
  template <typename F>
  using EnableIfTaskCallable =
      std::enable_if_t<!std::is_same_v<std::decay_t<F>, std::function<void()>> &&
                       std::is_invocable_r_v<void, std::decay_t<F>&>>;

  using UserHandleFactory = std::function<UserHandle*(Loop*)>;

  // Records the calling thread as the loop's thread.
  Loop(Worker* worker, const UserHandleFactory& create);
  virtual ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Subclasses create the timer queue and call this base part, which
  // creates the loop's disk I/O front; 0 on success.
  virtual int Init();
  // Runs the loop on the calling (worker) thread until Stop(); then settles
  // the tasks still queued (see above).
  virtual int Start() = 0;
  // Asks the loop to end after its current pass; any thread.
  virtual int Stop() = 0;
  // Loop thread: runs the queued tasks in the order they were posted.
  virtual int DoPendingTasks() = 0;
  // Any thread: stores `task` for the loop thread and wakes the loop. false
  // when the loop has ended and refuses it; the task is then untouched and
  // the caller disposes of it.
  virtual bool QueueInLoop(LoopTask* task) = 0;

  // Makes the user handle when a factory was given. Called by the worker
  // once the loop is initialised.
  void CreateUserHandle();

  // On the loop thread: runs fn now. Elsewhere: queues it; with async false
  // waits until it has run. 0 when fn ran or was queued, -1 when the loop
  // has ended and refused it (fn does not run).
  int RunInLoop(const std::function<void()>& fn, bool async);
  // Always queues fn, also on the loop thread: it runs on a later pass,
  // never inside the caller. 0 queued, -1 refused.
  int RunNextLoop(const std::function<void()>& fn);

  // The same for any other callable (a lambda): it goes into the task as it
  // is, without first becoming a std::function.
  template <typename F, typename = EnableIfTaskCallable<F>>
  int RunInLoop(F&& fn, bool async) {
    if (IsInLoopThread()) {
      fn();
      return 0;
    }
    if (async) return RunNextLoop(std::forward<F>(fn));
    // The poster waits until the task has run: the task can borrow fn.
    LoopTaskSync task;
    task.set_fn([&fn] { fn(); });
    return RunSync(&task);
  }
  template <typename F, typename = EnableIfTaskCallable<F>>
  int RunNextLoop(F&& fn) {
    LoopTaskAsync* task = TakeTask();
    task->set_fn(std::forward<F>(fn));
    return PostAsync(task);
  }

  // Timers; any thread. Negative delays count as 0 (run as soon as
  // possible). RunEvery repeats every `seconds` when `seconds` > 0. An
  // invalid TimerId comes back when the loop has ended or is not inited.
  TimerId RunAt(plinth::TimeCycle when, const std::function<void()>& fn);
  TimerId RunAfter(double seconds, const std::function<void()>& fn);
  TimerId RunEvery(double seconds, const std::function<void()>& fn);
  void CancelTimer(const TimerId& id);

  // Loop thread: a task from another thread is expected within `max_us`
  // microseconds (a host that has just been handed its last I/O back posts
  // the next one at once). A loop that would go to sleep at the end of this
  // pass first watches its queue for that long, and posters meanwhile skip
  // the wake-up: the task then runs without a sleep and a wake-up, which
  // cost more than the wait itself. Sockets and timers wait meanwhile, so
  // ask only when none of them is expected sooner. A watch that finds
  // nothing makes the loop ignore the next requests for a while (longer
  // after each further miss). Loops that never sleep ignore it.
  virtual void ExpectTaskWithin(uint32_t max_us) { (void)max_us; }

  // Ends the process (FATAL) when called off the loop thread.
  void AssertInLoopThread() const;
  bool IsInLoopThread() const;

  // Async tasks free in this loop's pool now.
  uint32_t free_task_count() const { return task_pool_.free_count(); }

  Worker* worker() const { return worker_; }
  TimerQueue* timer_queue() const { return timer_queue_; }
  // The loop's disk I/O front (null before Init).
  DiskIOUtil* disk_io() const { return disk_io_; }
  UserHandle* user_handle() const { return user_handle_; }
  uint32_t tid() const { return tid_; }
  uint32_t tno() const { return tno_; }

 protected:
  // A free task of the pool, or a new one when every pooled task is out.
  LoopTaskAsync* TakeTask();
  // Stamps and queues an async task; on refusal releases it and returns -1.
  int PostAsync(LoopTaskAsync* task);
  // Queues a sync task and waits for it; 0 when it ran.
  int RunSync(LoopTaskSync* task);

  // TSC stamp for a task being queued: rdtsc() with metrics on, else 0.
  static uint64_t EnqueueStamp();
  // False, logged, before Init made the timer queue.
  bool HasTimerQueue() const;
  // Deletes the disk I/O front with its back ends. The base destructor does
  // it; a subclass whose back end needs its own parts (the event loop's AIO
  // context uses its libevent driver) does it first.
  void DeleteDiskIO();

  Worker* worker_;
  uint32_t tid_;  // kernel thread id of the loop's thread
  uint32_t tno_;  // process-wide thread number of the loop's thread
  UserHandle* user_handle_ = nullptr;
  UserHandleFactory create_user_handle_;
  TimerQueue* timer_queue_ = nullptr;  // made by the subclass's Init
  DiskIOUtil* disk_io_ = nullptr;      // made by Init
  // For subclasses that queue under a spin lock (the polling loop).
  pthread_spinlock_t spin_;
  std::vector<LoopTask*> pending_tasks_;
  // The loop's async tasks; the subclass and base destructors release
  // queued tasks into it before it goes with the other members.
  LoopTaskPool task_pool_;
};

}  // namespace tarn

#endif  // TARN_LOOP_H_
