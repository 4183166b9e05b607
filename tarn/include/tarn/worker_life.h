// How a worker tells those who keep its pointer that it is going.
//
// A worker's pointer outlives the worker in places that cannot own it: the
// calls an RPC server cut off, the server's handshake thread. Each of them
// asks the worker's life, while the worker is surely alive, to tell it when
// the worker goes (Watch), and from then on holds the life, never the
// worker, to learn it. The worker ends its life first thing in its
// destructor, while its loop, memory and device are still whole (though the
// loop runs nothing any more): every watcher runs once, there, on the
// destroying thread.
//
//   std::shared_ptr<WorkerLife> life = worker->life();   // worker alive
//   uint64_t id = life->Watch([this] { OnWorkerGone(); });
//   ...
//   life->Unwatch(id);   // before `this` goes; waits for a running watcher
//
// Watchers run under the life's lock: one must not call Watch or Unwatch
// of the same life, and whoever a watcher locks must not be locked around
// Watch or Unwatch. Any thread.
#ifndef TARN_WORKER_LIFE_H_
#define TARN_WORKER_LIFE_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace tarn {

class WorkerLife {
 public:
  WorkerLife() = default;
  WorkerLife(const WorkerLife&) = delete;
  WorkerLife& operator=(const WorkerLife&) = delete;

  // on_end runs once when the worker goes. 0, and on_end never runs, when
  // the worker has gone already; else an id for Unwatch.
  uint64_t Watch(std::function<void()> on_end);
  // From its return on, the watcher of `id` does not run (and is not
  // running). Nothing for 0 or a watcher that has run.
  void Unwatch(uint64_t id);
  // Whether the worker has gone (or is going: its watchers run).
  bool ended();

  // The worker's destructor: runs every watcher, in the order they came.
  void End();

 private:
  std::mutex mutex_;
  bool ended_ = false;
  uint64_t next_id_ = 1;
  std::vector<std::pair<uint64_t, std::function<void()>>> watchers_;
};

}  // namespace tarn

#endif  // TARN_WORKER_LIFE_H_
