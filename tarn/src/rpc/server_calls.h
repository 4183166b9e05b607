// The calls an RpcServer serves: the controller pools of its workers, and
// what lets a call outlive the server.
//
// While the server holds its calls, everything happens as it always did:
// each pool belongs to its worker's loop thread, a call's completion is
// handed to its connection's loop (Post) and its controller goes back to
// its pool there (Give). When the server is deleted with calls still held,
// it lets go of them: first of each worker's pool, on that worker's loop
// (LetGoOfWorker), then of all of them at once (LetGo). From then on a call
// is "cut off": whatever ends it (its done, a user hold released, a send
// completion) ends it alone through End, under this object's lock, without
// the server, its protocols or its loops. When the server's own workers go
// with it (WorkersGoing, WorkersGone), the worker memory its cut-off calls
// hold is taken back just before (LetGoOfWorker); what a call gets of it
// later is not returned. The workers of an outside colony are watched
// (WatchWorkers): a cut-off call hands its worker memory back to its worker
// when it ends while that worker lives, and the memory of calls still held
// when a worker goes is taken back as it goes (WorkerGoing), after which no
// call touches that worker. This object is freed by the server when no call
// is held, else by the end of the last cut-off call (Release).
#ifndef TARN_SRC_RPC_SERVER_CALLS_H_
#define TARN_SRC_RPC_SERVER_CALLS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tarn/base/obj_pool.h"
#include "tarn/loop.h"
#include "tarn/worker_life.h"

namespace tarn {

class Connection;
class RpcController;
class WorkerColony;

class ServerCalls {
 public:
  using Pool = plinth::ObjPool<RpcController>;

  // How a cut-off call may hand worker memory back (WorkerAccess).
  enum class Access {
    kNone,       // not at all: the worker has gone (or is going elsewhere)
    kLoop,       // through the worker's loop (or after it, once it has ended)
    kAfterLoop,  // the worker is going on this thread: FreeAfterLoop
  };

  // `workers` pools of `per_worker` controllers.
  ServerCalls(uint32_t workers, int per_worker);

  ServerCalls(const ServerCalls&) = delete;
  ServerCalls& operator=(const ServerCalls&) = delete;

  uint32_t workers() const { return static_cast<uint32_t>(pools_.size()); }
  const std::shared_ptr<Pool>& pool(uint32_t i) const { return pools_[i]; }

  // Loop thread of worker i: a controller for a request on conn; null when
  // the pool is exhausted or the server has let go of it.
  RpcController* Take(uint32_t i, const std::shared_ptr<Connection>& conn);
  // Loop thread of ctrl's worker: ctrl back to its pool.
  void Give(RpcController* ctrl);

  // Any thread: runs task on the loop of ctrl's connection (at once when
  // already there). False, with nothing run, once the server has let go of
  // its calls, or when that loop has ended: the caller then ends the call
  // alone (End).
  template <typename F>
  bool Post(RpcController* ctrl, F&& task) {
    // The worker lives while its own thread runs this, and the task finds
    // out there whether the call is cut off. (Once the server has let go,
    // the loop thread may have ended; thread numbers are never given out
    // again, unlike std::thread ids, which a thread started next gets, and
    // kernel thread ids, which come round after pid_max of them.)
    if (!detached_.load() && OnLoopThread(ctrl)) {
      task();
      return true;
    }
    // Pairs with LetGo: either this sees the server gone, or LetGo waits
    // until the task is handed over (while the call's worker still lives).
    posting_.fetch_add(1);
    if (detached_.load()) {
      posting_.fetch_sub(1);
      return false;
    }
    if (LoopOf(ctrl)->RunNextLoop(std::forward<F>(task)) != 0) {
      // The loop has ended (an outside colony stopped before the server
      // goes): nothing will run the task, so the server lets go of that
      // worker's calls now and the caller ends this one in place.
      LetGoOfLoopEnded(ctrl);
      posting_.fetch_sub(1);
      return false;
    }
    posting_.fetch_sub(1);
    return true;
  }
  // Loop thread of ctrl's worker: whether ctrl is cut off.
  bool CutOff(const RpcController* ctrl) const;

  // A cut-off call's hold changes (tarn hold when `tarn`, else the user
  // hold); any thread. With both holds released the controller is
  // destroyed and its slot freed.
  void End(RpcController* ctrl, bool tarn, bool hold);

  // Loop thread of worker i (or any thread once that loop has ended): the
  // server lets go of pool i; its controllers in use are cut off. With
  // take_back, the worker memory they hold (RpcController::
  // ReleaseWorkerMemory) goes back to the worker now, which is about to go.
  void LetGoOfWorker(uint32_t i, bool take_back);
  // Any thread, once worker i's loop has ended (an outside colony stopped
  // before the server goes; it may be deleted next): the server lets go of
  // pool i, and no call of it touches that worker afterwards (the worker
  // memory they hold can no longer go back: it stays lent).
  void LetGoOfEndedWorker(uint32_t i);
  // After LetGoOfWorker for every worker: no call reaches a loop through
  // Post any more. Returns once every Post in progress has finished.
  void LetGo();
  // The server's own workers are going (their loops run their last tasks),
  // then gone: worker memory a cut-off call still holds is then handed
  // back only on its worker's own thread, then not at all.
  void WorkersGoing();
  void WorkersGone();
  // The outside colony of the server, before the server takes calls: from
  // now on this object learns when each of its workers goes (WorkerGoing).
  // Not under mutex_.
  void WatchWorkers(WorkerColony* colony);
  // How ctrl's worker memory may be handed to its worker from this thread:
  // through its loop from any thread while the workers stay, only on the
  // worker's own loop thread while the server's own workers are going, not
  // at all once they are gone. A watched worker (an outside colony's) takes
  // it until it goes, after its loop has ended too (it frees it when it is
  // destroyed); while it goes, only the thread destroying it hands it back.
  Access WorkerAccess(const RpcController* ctrl) const;
  // The server lets go of this object: freed now when no call is cut off,
  // else when the last one ends.
  void Release();

 private:
  struct Watch {
    std::shared_ptr<WorkerLife> life;
    uint64_t id = 0;
  };

  // Stops watching the workers (waits for a watcher that runs).
  ~ServerCalls();
  // The destructor of watched worker i, before its memory goes: the worker
  // memory of the calls cut off from its pool goes back now, and no call
  // touches that worker afterwards.
  void WorkerGoing(uint32_t i);
  static bool OnLoopThread(const RpcController* ctrl);
  static Loop* LoopOf(const RpcController* ctrl);
  // Post found ctrl's loop ended: LetGoOfEndedWorker of its pool.
  void LetGoOfLoopEnded(const RpcController* ctrl);
  uint32_t PoolOf(const RpcController* ctrl) const;

  std::vector<std::shared_ptr<Pool>> pools_;
  // Per pool, written and read on its worker's loop thread (and under
  // mutex_): the server has let go of it.
  std::vector<char> let_go_;
  // Per pool: its worker's loop thread (process-wide thread number, never
  // given to another thread), seen when the server let go of it.
  std::vector<uint32_t> loop_threads_;
  // Per pool, under mutex_: its worker's loop had ended when the server let
  // go of it.
  std::vector<char> loop_ended_;
  // Per pool: the watch of its worker (outside colonies only), whether
  // that worker has gone (under mutex_ when it changes), and while it goes
  // the thread destroying it (under mutex_).
  std::vector<Watch> watches_;
  std::unique_ptr<std::atomic<bool>[]> worker_gone_;
  std::vector<uint32_t> going_threads_;
  std::atomic<bool> detached_{false};
  // Post calls between their check of detached_ and their hand-over.
  std::atomic<int> posting_{0};
  std::atomic<bool> workers_going_{false};
  std::atomic<bool> workers_gone_{false};
  std::mutex mutex_;
  // Controllers cut off and not yet ended; under mutex_.
  int64_t cut_off_ = 0;
  bool released_ = false;
};

}  // namespace tarn

#endif  // TARN_SRC_RPC_SERVER_CALLS_H_
