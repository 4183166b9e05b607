#include "tarn/loop_task.h"

#include "loop_metrics.h"
#include "tarn/base/time_cycle.h"
#include "tarn/types.h"

namespace tarn {

void LoopTaskAsync::DoTask() {
  if (g_enable_metrics && enqueue_tsc_ != 0) {
    dequeue_tsc_ = plinth::rdtsc();
    // Stamped on the posting thread's core: a reading behind it is no wait.
    const uint64_t waited = dequeue_tsc_ > enqueue_tsc_ ? dequeue_tsc_ - enqueue_tsc_ : 0;
    RecordLoopTaskWait(waited / plinth::TimeCycle::tsc_rate_mhz_);
  }
  fn_();
}

void LoopTaskAsync::DestroySelf() {
  fn_.Reset();
  if (pool_ == nullptr) {
    delete this;
    return;
  }
  enqueue_tsc_ = 0;
  dequeue_tsc_ = 0;
  pool_->Give(this);
}

namespace {

constexpr uint64_t Pack(uint64_t tag, uint32_t index) { return tag << 32 | index; }
constexpr uint32_t IndexOf(uint64_t head) { return static_cast<uint32_t>(head); }
constexpr uint64_t TagOf(uint64_t head) { return head >> 32; }

}  // namespace

LoopTaskPool::LoopTaskPool()
    : tasks_(new LoopTaskAsync[kCapacity]), next_(new std::atomic<uint32_t>[kCapacity]) {
  for (uint32_t i = 0; i < kCapacity; ++i) {
    tasks_[i].pool_ = this;
    tasks_[i].pool_index_ = i;
    next_[i].store(i + 1 < kCapacity ? i + 1 : kNil, std::memory_order_relaxed);
  }
  head_.store(Pack(0, 0), std::memory_order_relaxed);
}

LoopTaskPool::~LoopTaskPool() = default;

LoopTaskAsync* LoopTaskPool::Take() {
  uint64_t head = head_.load(std::memory_order_acquire);
  for (;;) {
    const uint32_t index = IndexOf(head);
    if (index == kNil) return nullptr;
    // Read before the exchange: if another thread takes this task (and
    // maybe gives it back) meanwhile, the tag has moved and the exchange
    // fails, so a stale successor is never installed.
    const uint32_t next = next_[index].load(std::memory_order_relaxed);
    if (head_.compare_exchange_weak(head, Pack(TagOf(head) + 1, next), std::memory_order_acquire,
                                    std::memory_order_acquire)) {
      return &tasks_[index];
    }
  }
}

void LoopTaskPool::Give(LoopTaskAsync* task) {
  const uint32_t index = task->pool_index_;
  uint64_t head = head_.load(std::memory_order_relaxed);
  for (;;) {
    next_[index].store(IndexOf(head), std::memory_order_relaxed);
    if (head_.compare_exchange_weak(head, Pack(TagOf(head) + 1, index), std::memory_order_release,
                                    std::memory_order_relaxed)) {
      return;
    }
  }
}

uint32_t LoopTaskPool::free_count() const {
  uint32_t n = 0;
  for (uint32_t i = IndexOf(head_.load(std::memory_order_acquire)); i != kNil && n < kCapacity;
       i = next_[i].load(std::memory_order_relaxed)) {
    ++n;
  }
  return n;
}

void LoopTaskSync::DestroySelf() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  cond_.notify_all();
}

bool LoopTaskSync::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return done_; });
  return ran_;
}

}  // namespace tarn
