// A unit of work queued on a loop by another thread (or by RunNextLoop).
//
// The loop runs every queued task as DoTask() followed by DestroySelf(). An
// async task goes back to the pool it came from (or is deleted when it was
// made outside one); a sync task wakes its poster instead, and the poster,
// who waits on it, owns it.
//
// The callable lives in the task itself when it fits TaskFunction's inline
// buffer (a lambda capturing a few pointers, or a std::function): posting
// such a task from a loop's pool allocates nothing.
#ifndef TARN_LOOP_TASK_H_
#define TARN_LOOP_TASK_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

namespace tarn {

// A callable without arguments or result, kept in a fixed inline buffer when
// it fits and on the heap otherwise. Not copyable: it is built in place in
// the task that runs it. Calling an empty one, or one holding an empty
// std::function, throws std::bad_function_call.
class TaskFunction {
 public:
  // Big enough for a std::function, or a lambda capturing four pointers.
  static constexpr size_t kInlineBytes = 48;

  TaskFunction() = default;
  ~TaskFunction() { Reset(); }
  TaskFunction(const TaskFunction&) = delete;
  TaskFunction& operator=(const TaskFunction&) = delete;

  template <typename F>
  void Emplace(F&& fn) {
    using T = std::decay_t<F>;
    Reset();
    if constexpr (FitsInline<T>()) {
      ::new (static_cast<void*>(storage_)) T(std::forward<F>(fn));
      ops_ = &kInlineOps<T>;
    } else {
      T* boxed = new T(std::forward<F>(fn));
      ::new (static_cast<void*>(storage_)) T*(boxed);
      ops_ = &kHeapOps<T>;
    }
  }

  void operator()() {
    if (ops_ == nullptr) throw std::bad_function_call();
    ops_->invoke(storage_);
  }
  // Destroys the callable (and frees it when it was on the heap).
  void Reset() {
    if (ops_ == nullptr) return;
    const Ops* ops = ops_;
    ops_ = nullptr;
    ops->destroy(storage_);
  }
  bool empty() const { return ops_ == nullptr; }
  // True when the callable lives in the inline buffer.
  bool is_inline() const { return ops_ != nullptr && ops_->is_inline; }

  template <typename T>
  static constexpr bool FitsInline() {
    return sizeof(T) <= kInlineBytes && alignof(T) <= alignof(std::max_align_t);
  }

 private:
  struct Ops {
    void (*invoke)(void*);
    void (*destroy)(void*);
    bool is_inline;
  };
  template <typename T>
  static constexpr Ops kInlineOps = {
      [](void* p) { (*static_cast<T*>(p))(); },
      [](void* p) { static_cast<T*>(p)->~T(); },
      true,
  };
  template <typename T>
  static constexpr Ops kHeapOps = {
      [](void* p) { (**static_cast<T**>(p))(); },
      [](void* p) { delete *static_cast<T**>(p); },
      false,
  };

  alignas(std::max_align_t) unsigned char storage_[kInlineBytes];
  const Ops* ops_ = nullptr;
};

class LoopTask {
 public:
  LoopTask() = default;
  virtual ~LoopTask() = default;
  LoopTask(const LoopTask&) = delete;
  LoopTask& operator=(const LoopTask&) = delete;

  // Runs the callable on the loop thread.
  virtual void DoTask() = 0;
  // Called after DoTask(), or instead of it when the loop refuses the task
  // because it has ended: frees or releases the task.
  virtual void DestroySelf() = 0;

  template <typename F>
  void set_fn(F&& fn) {
    fn_.Emplace(std::forward<F>(fn));
  }
  const TaskFunction& fn() const { return fn_; }

  // Stamped with rdtsc() only when metrics are on; 0 otherwise.
  void set_enqueue_tsc(uint64_t tsc) { enqueue_tsc_ = tsc; }
  uint64_t enqueue_tsc() const { return enqueue_tsc_; }
  uint64_t dequeue_tsc() const { return dequeue_tsc_; }

 protected:
  TaskFunction fn_;
  uint64_t enqueue_tsc_ = 0;
  uint64_t dequeue_tsc_ = 0;
};

class LoopTaskPool;

// Fire-and-forget: goes back to its pool (or is deleted) once run.
class LoopTaskAsync : public LoopTask {
 public:
  LoopTaskAsync() = default;
  explicit LoopTaskAsync(const std::function<void()>& fn) { set_fn(fn); }

  // Records the queue wait in "tarn_loop_task_wait" when metrics are on.
  void DoTask() override;
  // Destroys the callable, then returns the task to its pool or deletes it.
  void DestroySelf() override;

 private:
  friend class LoopTaskPool;
  LoopTaskPool* pool_ = nullptr;  // null: made with new, deleted when done
  uint32_t pool_index_ = 0;
};

// The async tasks of one loop: a fixed number made once, handed out and
// taken back from any thread without a lock (a stack of indexes whose head
// carries a tag against reuse races). When every task is out, Take() gives
// null and the poster makes one with new instead.
class LoopTaskPool {
 public:
  // Tasks queued at once on one loop without a heap allocation; more are
  // made on the heap. 1024 tasks of 112 bytes: 112 KiB per loop.
  static constexpr uint32_t kCapacity = 1024;

  LoopTaskPool();
  ~LoopTaskPool();
  LoopTaskPool(const LoopTaskPool&) = delete;
  LoopTaskPool& operator=(const LoopTaskPool&) = delete;

  // Any thread: a task with an empty callable, or null when none is free.
  LoopTaskAsync* Take();
  // Any thread: a task of this pool whose callable has been destroyed.
  void Give(LoopTaskAsync* task);
  // Tasks in the pool: walks the free stack, so it is exact only while no
  // thread takes or gives (for tests and reports).
  uint32_t free_count() const;

 private:
  static constexpr uint32_t kNil = 0xFFFFFFFFu;

  std::unique_ptr<LoopTaskAsync[]> tasks_;
  std::unique_ptr<std::atomic<uint32_t>[]> next_;
  // tag << 32 | index of the top task (kNil: empty). Written by the posting
  // threads and the loop thread: on a cache line of its own, away from the
  // loop's other fields (the alignment rounds the pool's size up to whole
  // lines, so nothing after it shares this one).
  alignas(64) std::atomic<uint64_t> head_;
};

// The poster waits in Wait() until the loop has run the task (or refused it).
// It lives on the poster's stack: nothing is freed by the loop.
class LoopTaskSync : public LoopTask {
 public:
  LoopTaskSync() = default;
  explicit LoopTaskSync(const std::function<void()>& fn) { set_fn(fn); }

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
