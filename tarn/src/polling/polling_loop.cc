#include "tarn/polling/polling_loop.h"

#include <sched.h>

#include <algorithm>

#include "spdk/env.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/polling/polling_timer_queue.h"
#include "tarn/polling/spdk_rte.h"

namespace tarn {

namespace {

// Passes of queued tasks run after the worker's last pass before the loop
// closes, so that work those tasks post to their own loop still runs.
constexpr int kDrainPasses = 16;
constexpr int kSpinsBeforeYield = 128;

class SpinGuard {
 public:
  explicit SpinGuard(pthread_spinlock_t* lock) : lock_(lock) { pthread_spin_lock(lock_); }
  ~SpinGuard() { pthread_spin_unlock(lock_); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  pthread_spinlock_t* lock_;
};

}  // namespace

PollingLoop::PollingLoop(Worker* worker, const UserHandleFactory& create)
    : Loop(worker, create) {
  std::fill(ring_of_, ring_of_ + kMaxThreadNum, kMaxThreadNum);
}

PollingLoop::~PollingLoop() {
  ReleaseUnrun();
  for (RingSlot& slot : slots_) {
    spdk_ring_free(slot.ring);
    slot.ring = nullptr;
  }
  delete timer_queue_;
  timer_queue_ = nullptr;
  polling_timers_ = nullptr;
  delete user_handle_;
  user_handle_ = nullptr;
}

int PollingLoop::Init() {
  int ret = Loop::Init();
  if (ret != 0) return ret;
  polling_timers_ = new PollingTimerQueue(this);
  timer_queue_ = polling_timers_;
  if (!g_spdk_env_inited.load()) return 0;
  for (RingSlot& slot : slots_) {
    slot.ring = spdk_ring_create(SPDK_RING_TYPE_SP_SC, kRingSize, SPDK_ENV_SOCKET_ID_ANY);
    if (slot.ring == nullptr) {
      LOG_ERROR << "spdk_ring_create error";
      return -1;
    }
  }
  use_rings_ = true;
  LOG_INFO << "will use spdk ring for RunInLoop.";
  return 0;
}

int PollingLoop::DoExpiredTasks() {
  return polling_timers_ == nullptr ? 0 : polling_timers_->DoExpiredTasks();
}

// ---- posting (any thread) ----

bool PollingLoop::QueueInLoop(LoopTask* task) {
  if (use_rings_) {
    RingSlot* slot = SlotOfCaller();
    if (slot != nullptr) return PostToRing(slot, task);
  }
  return PostToVector(task);
}

PollingLoop::RingSlot* PollingLoop::SlotOfCaller() {
  uint32_t tno = plinth::CurrentThread::tno();
  if (tno >= kMaxThreadNum) return nullptr;
  uint32_t index = ring_of_[tno];
  if (index != kMaxThreadNum) return &slots_[index];
  {
    SpinGuard guard(&spin_);
    index = active_rings_.load(std::memory_order_relaxed);
    active_rings_.store(index + 1, std::memory_order_release);
  }
  ring_of_[tno] = index;
  LOG_INFO << "thread " << tno << " will use thread " << tno_ << " ring " << index
           << ", active ring count: " << index + 1;
  return &slots_[index];
}

bool PollingLoop::PostToRing(RingSlot* slot, LoopTask* task) {
  // Announce the post before looking at closed_; DrainAndClose sets closed_
  // before looking at `posting`, so one of the two sees the other.
  slot->posting.store(true, std::memory_order_seq_cst);
  if (closed_.load(std::memory_order_seq_cst)) {
    slot->posting.store(false, std::memory_order_release);
    return false;
  }
  bool posted = false;
  if (slot->spilled.load(std::memory_order_acquire) == 0) {
    void* obj = task;
    posted = spdk_ring_enqueue(slot->ring, &obj, 1, nullptr) == 1;
  }
  slot->posting.store(false, std::memory_order_release);
  return posted || PostToSpill(slot, task);
}

bool PollingLoop::PostToSpill(RingSlot* slot, LoopTask* task) {
  SpinGuard guard(&spin_);
  if (closed_.load(std::memory_order_relaxed)) return false;
  slot->overflow.push_back(task);
  slot->spilled.fetch_add(1, std::memory_order_release);
  return true;
}

bool PollingLoop::PostToVector(LoopTask* task) {
  SpinGuard guard(&spin_);
  if (closed_.load(std::memory_order_relaxed)) return false;
  pending_tasks_.push_back(task);
  vector_pending_.store(true, std::memory_order_release);
  return true;
}

// ---- running (loop thread) ----

int PollingLoop::RunTasks(LoopTask* const* tasks, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    tasks[i]->DoTask();
    tasks[i]->DestroySelf();
  }
  return static_cast<int>(n);
}

int PollingLoop::DoPendingTasks() {
  int ran = 0;
  if (use_rings_) {
    uint32_t rings = active_rings_.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < rings; ++i) ran += DrainRing(&slots_[i]);
  }
  return ran + DrainVector();
}

int PollingLoop::DrainRing(RingSlot* slot) {
  // Read before dequeuing: a producer stops using its ring once it has
  // spilled, so every ring entry older than the spill is visible by now.
  uint32_t spilled = slot->spilled.load(std::memory_order_acquire);
  void* batch[kRingBatch];
  size_t got = spdk_ring_dequeue(slot->ring, batch, kRingBatch);
  for (size_t i = 0; i < got; ++i) {
    LoopTask* task = static_cast<LoopTask*>(batch[i]);
    task->DoTask();
    task->DestroySelf();
  }
  int ran = static_cast<int>(got);
  if (spilled == 0 || got == kRingBatch) return ran;
  // The ring is empty: the spilled tasks are next in this producer's order.
  {
    SpinGuard guard(&spin_);
    running_.swap(slot->overflow);
  }
  ran += RunTasks(running_.data(), running_.size());
  slot->spilled.fetch_sub(static_cast<uint32_t>(running_.size()), std::memory_order_release);
  running_.clear();
  return ran;
}

int PollingLoop::DrainVector() {
  if (!vector_pending_.load(std::memory_order_acquire)) return 0;
  {
    SpinGuard guard(&spin_);
    running_.swap(pending_tasks_);
    vector_pending_.store(false, std::memory_order_relaxed);
  }
  int ran = RunTasks(running_.data(), running_.size());
  running_.clear();
  return ran;
}

void PollingLoop::DrainAndClose() {
  AssertInLoopThread();
  for (int pass = 0; pass < kDrainPasses; ++pass) {
    if (DoPendingTasks() == 0) break;
  }
  uint32_t rings;
  {
    SpinGuard guard(&spin_);
    if (closed_.load(std::memory_order_relaxed)) return;
    closed_.store(true, std::memory_order_seq_cst);
    rings = active_rings_.load(std::memory_order_relaxed);
  }
  // A post that passed the closed check before the store above finishes
  // its enqueue; wait for it so that the drain below sees the task.
  for (uint32_t i = 0; i < rings; ++i) {
    int spins = 0;
    while (slots_[i].posting.load(std::memory_order_seq_cst)) {
      if (++spins < kSpinsBeforeYield) {
        __builtin_ia32_pause();
      } else {
        sched_yield();
      }
    }
  }
  // Every task accepted before the close runs; nothing new can arrive, and
  // what these tasks post now is refused.
  while (DoPendingTasks() > 0) {
  }
}

void PollingLoop::ReleaseUnrun() {
  for (RingSlot& slot : slots_) {
    if (slot.ring != nullptr) {
      void* obj;
      while (spdk_ring_dequeue(slot.ring, &obj, 1) == 1) static_cast<LoopTask*>(obj)->DestroySelf();
    }
    for (LoopTask* task : slot.overflow) task->DestroySelf();
    slot.overflow.clear();
  }
  // The base releases pending_tasks_.
}

}  // namespace tarn
