// The loop of a polling worker. It never blocks and has no wake-up: the
// worker's pass loop calls DoExpiredTasks() and DoPendingTasks() on every
// pass.
//
// Task hand-off. When the SPDK environment is up at Init, every producing
// thread gets a single-producer ring of its own (rings are handed out in the
// order threads first post, one per thread number below kMaxThreadNum), so
// posting takes no lock. A pass takes at most kRingBatch tasks from each ring.
// A thread without a ring (thread number kMaxThreadNum or above), and every
// thread when the environment is down, appends to a vector under the loop's
// spin lock; a pass takes that whole vector. A producer whose ring is full
// spills to an overflow list of its own ring and keeps spilling until the
// loop has drained it, so each producer's tasks still run in posting order.
//
// Once the worker's pass loop has ended, DrainAndClose() runs what is still
// queued and closes the loop: later posts are refused (RunInLoop returns -1),
// so nobody waits on a loop that will not run again.
#ifndef TARN_POLLING_POLLING_LOOP_H_
#define TARN_POLLING_POLLING_LOOP_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarn/loop.h"

struct spdk_ring;

namespace tarn {

class PollingTimerQueue;

class PollingLoop final : public Loop {
 public:
  // Thread numbers that may own a ring: 0 .. kMaxThreadNum - 1.
  static constexpr uint32_t kMaxThreadNum = 36;
  // Entries of each ring.
  static constexpr size_t kRingSize = 16384;
  // Tasks taken from one ring per pass.
  static constexpr size_t kRingBatch = 24;

  PollingLoop(Worker* worker, const UserHandleFactory& create);
  // Releases tasks nobody ran (their posters are woken), frees the rings,
  // the timer queue and the user handle.
  ~PollingLoop() override;

  // Timer queue; with the SPDK environment up, the rings. 0, or -1 when a
  // ring cannot be created.
  int Init() override;
  // The worker's pass loop drives this loop: both do nothing.
  int Start() override { return 0; }
  int Stop() override { return 0; }
  // Loop thread: runs queued tasks (see above); returns how many ran.
  int DoPendingTasks() override;
  // Any thread. false once the loop is closed.
  bool QueueInLoop(LoopTask* task) override;
  // Loop thread: at most one due timer; 1 when one ran.
  int DoExpiredTasks();

  // Loop thread, after the last pass: runs what is still queued (and what
  // that queues) for a bounded number of passes, then refuses new posts and
  // releases whatever is left unrun.
  void DrainAndClose();

  bool uses_rings() const { return use_rings_; }
  // Rings handed out so far; any thread.
  uint32_t active_ring_count() const { return active_rings_.load(std::memory_order_acquire); }

 private:
  // One producer's ring. Only that producer enqueues; only the loop thread
  // dequeues. `overflow` is guarded by the loop's spin lock.
  struct alignas(64) RingSlot {
    spdk_ring* ring = nullptr;
    // Tasks in `overflow` not yet run; while above 0 the producer bypasses
    // its ring.
    std::atomic<uint32_t> spilled{0};
    // Set by the producer around a ring post, so that closing can wait for
    // a post that has already passed the closed check.
    std::atomic<bool> posting{false};
    std::vector<LoopTask*> overflow;
  };

  // The ring slot of the calling thread, handing one out on its first post;
  // null when its thread number has none.
  RingSlot* SlotOfCaller();
  bool PostToRing(RingSlot* slot, LoopTask* task);
  bool PostToSpill(RingSlot* slot, LoopTask* task);
  bool PostToVector(LoopTask* task);
  int DrainRing(RingSlot* slot);
  int DrainVector();
  static int RunTasks(LoopTask* const* tasks, size_t n);
  void ReleaseUnrun();

  PollingTimerQueue* polling_timers_ = nullptr;
  bool use_rings_ = false;  // fixed by Init
  // Ring index of each thread number; kMaxThreadNum: none yet. An entry is
  // written and read only by the thread of that number.
  uint32_t ring_of_[kMaxThreadNum];
  std::atomic<uint32_t> active_rings_{0};  // written under spin_
  RingSlot slots_[kMaxThreadNum];
  // pending_tasks_ (base, under spin_) holds at least one task.
  std::atomic<bool> vector_pending_{false};
  std::atomic<bool> closed_{false};  // written under spin_
  // Loop thread: the batch being run, reused by every pass.
  std::vector<LoopTask*> running_;
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLING_LOOP_H_
