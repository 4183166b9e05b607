// A unit of work queued on a loop by another thread (or by RunNextLoop).
//
// The loop runs every queued task as DoTask() followed by DestroySelf(). An
// async task deletes itself there; a sync task wakes its poster instead, and
// the poster, who waits on it, deletes it.
#ifndef TARN_LOOP_TASK_H_
#define TARN_LOOP_TASK_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace tarn {

class LoopTask {
 public:
  explicit LoopTask(const std::function<void()>& fn) : fn_(fn) {}
  virtual ~LoopTask() = default;
  LoopTask(const LoopTask&) = delete;
  LoopTask& operator=(const LoopTask&) = delete;

  // Runs the callable on the loop thread.
  virtual void DoTask() = 0;
  // Called after DoTask(), or instead of it when the loop refuses the task
  // because it has ended: frees or releases the task.
  virtual void DestroySelf() = 0;

  // Stamped with rdtsc() only when metrics are on; 0 otherwise.
  void set_enqueue_tsc(uint64_t tsc) { enqueue_tsc_ = tsc; }
  uint64_t enqueue_tsc() const { return enqueue_tsc_; }
  uint64_t dequeue_tsc() const { return dequeue_tsc_; }

 protected:
  std::function<void()> fn_;
  uint64_t enqueue_tsc_ = 0;
  uint64_t dequeue_tsc_ = 0;
};

// Fire-and-forget: deletes itself once run.
class LoopTaskAsync : public LoopTask {
 public:
  explicit LoopTaskAsync(const std::function<void()>& fn) : LoopTask(fn) {}

  // Records the queue wait in "tarn_loop_task_wait" when metrics are on.
  void DoTask() override;
  void DestroySelf() override { delete this; }
};

// The poster waits in Wait() until the loop has run the task (or refused it);
// the poster then deletes it.
class LoopTaskSync : public LoopTask {
 public:
  explicit LoopTaskSync(const std::function<void()>& fn) : LoopTask(fn) {}

  void DoTask() override {
    ran_ = true;
    fn_();
  }
  // Sets done and wakes the poster; does not delete.
  void DestroySelf() override;

  // Blocks until DestroySelf() has run; true when the callable ran.
  bool Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool done_ = false;
  bool ran_ = false;  // written on the loop thread before done_ is published
};

}  // namespace tarn

#endif  // TARN_LOOP_TASK_H_
