#include "tarn/event/event_loop.h"

#include <event2/event.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "tarn/base/logging.h"
#include "tarn/disk_io_util.h"
#include "tarn/event/aio_context.h"
#include "tarn/event/event_timer_queue.h"
#include "tarn/worker.h"

namespace tarn {

namespace {

// Passes of queued tasks run after the loop has ended, so that work those
// tasks post to their own loop still runs; a task that keeps re-posting
// itself is refused after that.
constexpr int kDrainPasses = 16;

inline void CpuRelax() { __builtin_ia32_pause(); }

constexpr int kSpinsBeforeYield = 128;
// The longest a loop watches its queue for an expected task, and the pause
// between two looks (a look takes the queue's flag, which posters need).
constexpr uint32_t kMaxExpectTaskUs = 200;
constexpr int kExpectSpinRelax = 16;
// After a watch in vain the loop skips 1 request, after two in a row 2, then
// 4 ... up to this many.
constexpr uint32_t kMaxExpectBackoff = 64;

// Gives the loop's disk I/O front a Linux AIO context. The machine-wide
// limit (fs.aio-max-nr) may refuse one: the loop then runs without AIO and
// its disk I/O front refuses descriptor I/O.
void AttachAioContext(EventLoop* loop) {
  AioContext* aio = new AioContext(loop);
  int ret = aio->Init();
  if (ret == 0 && loop->disk_io()->SetAioContext(aio) == 0) return;
  LOG_ERROR << "loop " << static_cast<const void*>(loop)
            << " runs without libaio, aio context init ret: " << ret;
  delete aio;
}

}  // namespace

EventLoop::EventLoop(Worker* worker, const UserHandleFactory& create)
    : EventLoop(worker, create, worker != nullptr && worker->option().busy_poll != 0) {}

EventLoop::EventLoop(Worker* worker, const UserHandleFactory& create, bool busy_poll)
    : Loop(worker, create), busy_poll_(busy_poll) {}

EventLoop::~EventLoop() {
  // The AIO context frees its event in the driver.
  DeleteDiskIO();
  if (wakeup_event_idx_ >= 0) {
    driver_->DelEvent(wakeup_event_idx_);
    driver_->FreeEvent(wakeup_event_idx_);
  }
  if (wakeup_fd_ >= 0) ::close(wakeup_fd_);
  delete timer_queue_;
  timer_queue_ = nullptr;
  delete user_handle_;
  user_handle_ = nullptr;
  driver_.reset();
  // A loop that never ran: release whoever waits on its tasks.
  for (LoopTask* task : tasks_) task->DestroySelf();
  tasks_.clear();
}

int EventLoop::Init() {
  int ret = Loop::Init();
  if (ret != 0) return ret;
  driver_.reset(new LibeventDriver(busy_poll_));
  if (driver_->Init() != 0) return -1;
  wakeup_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeup_fd_ < 0) {
    LOG_SYSERR << "Failed in eventfd";
    return -1;
  }
  wakeup_event_idx_ = driver_->CreateEvent(wakeup_fd_, EV_READ, WakeupEventCbWrapper, this);
  if (wakeup_event_idx_ < 0 || driver_->AddEvent(wakeup_event_idx_) != 0) return -1;
  LOG_DEBUG << "wakeup_fd: " << wakeup_fd_ << ", wakeup_event_idx: " << wakeup_event_idx_;
  auto* timers = new EventTimerQueue(this);
  timer_queue_ = timers;
  if (!timers->ok()) return -1;
  AttachAioContext(this);
  return 0;
}

int EventLoop::Start() {
  AssertInLoopThread();
  int ret = 0;
  // libevent clears its break flag when a run begins, so a break asked
  // between runs would be lost: quit_ is the authority, checked every pass.
  while (!quit_.load(std::memory_order_acquire)) {
    if (busy_poll_) DoPendingTasks();
    int r = driver_->Start();
    RunPassEnd();
    if (r < 0) {
      LOG_ERROR << "event_base_loop failed, loop: " << static_cast<const void*>(this);
      ret = -1;
      break;
    }
    if (r == 1 && !busy_poll_) {
      LOG_ERROR << "event loop has no events, loop: " << static_cast<const void*>(this);
      ret = -1;
      break;
    }
    if (expect_task_us_ != 0) AwaitExpectedTask();
  }
  DrainAndClose();
  return ret;
}

int EventLoop::Stop() {
  quit_.store(true, std::memory_order_release);
  if (IsInLoopThread()) return driver_ ? driver_->Stop() : 0;
  // Another thread: the wake-up handler sees quit_ and breaks the run.
  return Wakeup() < 0 ? -1 : 0;
}

void EventLoop::LockTasks(bool* first_try) {
  *first_try = true;
  uint8_t expected = 0;
  int spins = 0;
  while (!task_flag_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
    expected = 0;
    *first_try = false;
    // The flag is held only to append or swap the list, so a long wait means
    // its holder lost its CPU (more posters than cores): give the CPU up
    // instead of spinning through whole time slices.
    if (++spins < kSpinsBeforeYield) {
      CpuRelax();
    } else {
      sched_yield();
    }
  }
}

void EventLoop::UnlockTasks() { task_flag_.store(0, std::memory_order_seq_cst); }

int EventLoop::DoPendingTasks() {
  bool first_try;
  LockTasks(&first_try);
  running_.swap(tasks_);
  UnlockTasks();
  for (LoopTask* task : running_) {
    task->DoTask();
    task->DestroySelf();
  }
  running_.clear();
  return 0;
}

bool EventLoop::QueueInLoop(LoopTask* task) {
  bool first_try;
  LockTasks(&first_try);
  if (closed_) {
    UnlockTasks();
    return false;
  }
  bool was_empty = tasks_.empty();
  tasks_.push_back(task);
  UnlockTasks();
  // When the list already held tasks, the wake-up for them is on its way.
  if (!first_try && !was_empty) return true;
  // A wake-up written but not yet taken by the loop covers this task too:
  // the loop clears the mark only after reading the eventfd and before
  // taking the list, so either the exchange below sees the mark still set
  // and the coming drain (which synchronises with this exchange) finds the
  // task, or it sees it cleared and writes a wake-up of its own.
  if (busy_poll_ || !wakeup_pending_.exchange(true, std::memory_order_acq_rel)) Wakeup();
  return true;
}

void EventLoop::ExpectTaskWithin(uint32_t max_us) {
  AssertInLoopThread();
  if (busy_poll_ || max_us == 0) return;
  // Watches that found nothing make the loop skip the next requests, the
  // more the longer the misses last, so a wrong guess costs little CPU.
  if (expect_skip_ > 0) {
    --expect_skip_;
    return;
  }
  expect_task_us_ = std::max(expect_task_us_, std::min(max_us, kMaxExpectTaskUs));
}

void EventLoop::AwaitExpectedTask() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(expect_task_us_);
  expect_task_us_ = 0;
  // Posters that find the mark set write no wake-up. Already set, a wake-up
  // is on its way and the loop will not sleep anyway.
  if (wakeup_pending_.exchange(true, std::memory_order_acq_rel)) return;
  bool got = false;
  while (!got && !quit_.load(std::memory_order_relaxed)) {
    bool first_try;
    LockTasks(&first_try);
    got = !tasks_.empty();
    UnlockTasks();
    if (got || std::chrono::steady_clock::now() >= until) break;
    for (int i = 0; i < kExpectSpinRelax; ++i) CpuRelax();
  }
  if (got) {
    expect_backoff_ = 0;
  } else {
    expect_backoff_ = std::min(std::max(1u, expect_backoff_ * 2), kMaxExpectBackoff);
    expect_skip_ = expect_backoff_;
  }
  // Cleared before the queue is taken: a poster that still saw the mark has
  // its task in the list taken below, a later one writes a wake-up (which
  // then finds the queue empty or holding its task).
  wakeup_pending_.exchange(false, std::memory_order_acq_rel);
  {
    CycleScope scope(worker_);  // the watch itself counts as idle
    DoPendingTasks();
  }
  RunPassEnd();
}

void EventLoop::RunAtPassEnd(std::shared_ptr<PassEndWork> work) {
  pass_end_.push_back(std::move(work));
}

void EventLoop::RunPassEnd() {
  // What runs may queue more (a flush that closes a connection whose closed
  // callback sends elsewhere): keep going until nothing is left.
  while (!pass_end_.empty()) {
    pass_end_running_.swap(pass_end_);
    for (auto& work : pass_end_running_) work->RunPassEnd();
    pass_end_running_.clear();
  }
}

void EventLoop::DrainAndClose() {
  bool first_try;
  for (int pass = 0; pass < kDrainPasses; ++pass) {
    LockTasks(&first_try);
    if (tasks_.empty()) {
      closed_ = true;
      UnlockTasks();
      RunPassEnd();
      return;
    }
    UnlockTasks();
    DoPendingTasks();
    RunPassEnd();
  }
  LockTasks(&first_try);
  closed_ = true;
  running_.swap(tasks_);
  UnlockTasks();
  if (!running_.empty()) {
    LOG_ERROR << "loop " << static_cast<const void*>(this) << " has ended, "
              << running_.size() << " queued tasks refused";
  }
  for (LoopTask* task : running_) task->DestroySelf();
  running_.clear();
}

int EventLoop::Wakeup() {
  if (busy_poll_) return 0;
  uint64_t one = 1;
  ssize_t n = ::write(wakeup_fd_, &one, sizeof(one));
  if (n != sizeof(one)) {
    LOG_ERROR << "Loop::Wakeup() writes " << n << " bytes instead of 8";
    return -1;
  }
  return 0;
}

int EventLoop::WakeupHandle() {
  if (!busy_poll_) {
    uint64_t count = 0;
    ssize_t n = ::read(wakeup_fd_, &count, sizeof(count));
    if (n != sizeof(count)) {
      LOG_ERROR << "Loop::WakeupReadCb reads " << n << " bytes instead of 8";
      return -1;
    }
    // After the read: a poster that set the mark before this point has its
    // task in the list taken below; one that sets it later writes again.
    // Cleared before the read, a write landing in between would be consumed
    // with the mark left set, and later posters would never wake the loop.
    wakeup_pending_.exchange(false, std::memory_order_acq_rel);
  }
  DoPendingTasks();
  return 0;
}

void EventLoop::WakeupEventCbWrapper(int, short, void* arg) {
  EventLoop* loop = static_cast<EventLoop*>(arg);
  {
    CycleScope scope(loop->worker_);
    loop->WakeupHandle();
  }
  if (loop->quit_.load(std::memory_order_acquire)) loop->driver_->Stop();
}

}  // namespace tarn
