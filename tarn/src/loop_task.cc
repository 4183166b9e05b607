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
