#include "tarn/loop.h"

#include <cmath>

#include "loop_metrics.h"
#include "tarn/base/current_thread.h"
#include "tarn/disk_io_util.h"
#include "tarn/base/logging.h"

namespace tarn {

Loop::Loop(Worker* worker, const UserHandleFactory& create)
    : worker_(worker),
      tid_(static_cast<uint32_t>(plinth::CurrentThread::tid())),
      tno_(plinth::CurrentThread::tno()),
      create_user_handle_(create) {
  pthread_spin_init(&spin_, PTHREAD_PROCESS_PRIVATE);
  LOG_INFO << "Loop created " << static_cast<const void*>(this) << " in thread id: " << tid_
           << ", thread no: " << tno_;
  if (g_enable_metrics) EnsureLoopTaskWaitMetric();
}

Loop::~Loop() {
  DeleteDiskIO();
  // Tasks nobody ran: release their posters rather than leave them waiting.
  for (LoopTask* task : pending_tasks_) task->DestroySelf();
  std::vector<LoopTask*>().swap(pending_tasks_);
  pthread_spin_destroy(&spin_);
}

int Loop::Init() {
  if (disk_io_ == nullptr) disk_io_ = new DiskIOUtil(this);
  return 0;
}

void Loop::DeleteDiskIO() {
  delete disk_io_;
  disk_io_ = nullptr;
}

void Loop::CreateUserHandle() {
  if (create_user_handle_) user_handle_ = create_user_handle_(this);
}

uint64_t Loop::EnqueueStamp() { return g_enable_metrics ? plinth::rdtsc() : 0; }

int Loop::RunInLoop(const std::function<void()>& fn, bool async) {
  if (IsInLoopThread()) {
    fn();
    return 0;
  }
  if (async) return RunNextLoop(fn);
  // The poster waits until the task has run: it can lend fn itself.
  LoopTaskSync task;
  task.set_fn([&fn] { fn(); });
  return RunSync(&task);
}

int Loop::RunNextLoop(const std::function<void()>& fn) {
  LoopTaskAsync* task = TakeTask();
  task->set_fn(fn);
  return PostAsync(task);
}

LoopTaskAsync* Loop::TakeTask() {
  LoopTaskAsync* task = task_pool_.Take();
  return task != nullptr ? task : new LoopTaskAsync;
}

int Loop::PostAsync(LoopTaskAsync* task) {
  task->set_enqueue_tsc(EnqueueStamp());
  if (!QueueInLoop(task)) {
    LOG_ERROR << "loop " << static_cast<const void*>(this) << " has ended, task refused";
    task->DestroySelf();
    return -1;
  }
  return 0;
}

int Loop::RunSync(LoopTaskSync* task) {
  task->set_enqueue_tsc(EnqueueStamp());
  if (!QueueInLoop(task)) {
    LOG_ERROR << "loop " << static_cast<const void*>(this)
              << " has ended, synchronous task refused";
    return -1;
  }
  return task->Wait() ? 0 : -1;
}

bool Loop::HasTimerQueue() const {
  if (timer_queue_ != nullptr) return true;
  LOG_ERROR << "loop " << static_cast<const void*>(this) << " has no timer queue (not inited)";
  return false;
}

TimerId Loop::RunAt(plinth::TimeCycle when, const std::function<void()>& fn) {
  if (!HasTimerQueue()) return TimerId();
  return timer_queue_->AddTimer(fn, when, 0.0);
}

TimerId Loop::RunAfter(double seconds, const std::function<void()>& fn) {
  if (!HasTimerQueue()) return TimerId();
  plinth::TimeCycle when(plinth::rdtsc() + Timer::SecondsToCycles(seconds));
  return timer_queue_->AddTimer(fn, when, 0.0);
}

TimerId Loop::RunEvery(double seconds, const std::function<void()>& fn) {
  if (!HasTimerQueue()) return TimerId();
  plinth::TimeCycle when(plinth::rdtsc() + Timer::SecondsToCycles(seconds));
  return timer_queue_->AddTimer(fn, when, std::isnan(seconds) ? 0.0 : seconds);
}

void Loop::CancelTimer(const TimerId& id) {
  if (HasTimerQueue()) timer_queue_->Cancel(id);
}

bool Loop::IsInLoopThread() const {
  return static_cast<uint32_t>(plinth::CurrentThread::tid()) == tid_;
}

void Loop::AssertInLoopThread() const {
  if (!IsInLoopThread()) {
    LOG_FATAL << "AssertInThread error, please check core file, this"
              << " was created in thread id: " << tid_
              << ", current thread id: " << plinth::CurrentThread::tid();
  }
}

}  // namespace tarn
