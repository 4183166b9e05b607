#include "rpc/server_calls.h"

#include <thread>

#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"

namespace tarn {

ServerCalls::ServerCalls(uint32_t workers, int per_worker)
    : let_go_(workers, 0),
      loop_threads_(workers, UINT32_MAX),
      loop_ended_(workers, 0),
      watches_(workers),
      worker_gone_(new std::atomic<bool>[workers]),
      going_threads_(workers, UINT32_MAX) {
  pools_.reserve(workers);
  for (uint32_t i = 0; i < workers; ++i) {
    pools_.push_back(std::make_shared<Pool>(per_worker));
    worker_gone_[i].store(false);
  }
}

ServerCalls::~ServerCalls() {
  for (Watch& w : watches_) {
    if (w.life != nullptr) w.life->Unwatch(w.id);
  }
}

void ServerCalls::WatchWorkers(WorkerColony* colony) {
  const std::vector<Worker*>& all = colony->GetAllWorkers();
  for (uint32_t i = 0; i < workers() && i < all.size(); ++i) {
    Worker* worker = all[i];
    if (worker == nullptr || watches_[i].life != nullptr) continue;
    Watch& w = watches_[i];
    w.life = worker->life();
    w.id = w.life->Watch([this, i] { WorkerGoing(i); });
    // Gone already: nothing of it may be touched.
    if (w.id == 0) worker_gone_[i].store(true);
  }
}

void ServerCalls::WorkerGoing(uint32_t i) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Calls the server still holds are the server's: an outside colony goes
  // only after the server.
  if (let_go_[i]) {
    going_threads_[i] = plinth::CurrentThread::tno();
    pools_[i]->ForEachInUse([](RpcController* ctrl) { ctrl->ReleaseWorkerMemory(); });
    going_threads_[i] = UINT32_MAX;
  }
  worker_gone_[i].store(true, std::memory_order_release);
}

RpcController* ServerCalls::Take(uint32_t i, const std::shared_ptr<Connection>& conn) {
  if (let_go_[i]) return nullptr;
  RpcController* ctrl = pools_[i]->Malloc(conn);
  if (ctrl != nullptr) {
    ctrl->calls_ = this;
    ctrl->loop_thread_ = plinth::CurrentThread::tno();
    ctrl->pool_index_ = i;
  }
  return ctrl;
}

void ServerCalls::Give(RpcController* ctrl) {
  const uint32_t i = ctrl->conn()->worker()->index();
  if (i >= pools_.size()) {
    LOG_ERROR << "no controller pool for worker index: " << i;
    return;
  }
  if (!let_go_[i]) {
    pools_[i]->Free(ctrl);
    return;
  }
  bool free_self = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pools_[i]->Free(ctrl);
    free_self = --cut_off_ == 0 && released_;
  }
  if (free_self) delete this;
}

bool ServerCalls::OnLoopThread(const RpcController* ctrl) {
  return ctrl->loop_thread_ == plinth::CurrentThread::tno();
}

Loop* ServerCalls::LoopOf(const RpcController* ctrl) { return ctrl->conn()->worker()->loop(); }

void ServerCalls::LetGoOfLoopEnded(const RpcController* ctrl) {
  LOG_INFO << "loop has ended, rpc call ends without its server, ptr: "
           << static_cast<const void*>(ctrl);
  // By the pool that holds it: the ended loop's worker is not touched.
  LetGoOfEndedWorker(PoolOf(ctrl));
}

bool ServerCalls::CutOff(const RpcController* ctrl) const {
  // By the pool, not the worker: a cut-off call's worker may have gone.
  return let_go_[PoolOf(ctrl)] != 0;
}

uint32_t ServerCalls::PoolOf(const RpcController* ctrl) const {
  if (ctrl->pool_index_ < pools_.size()) return ctrl->pool_index_;
  for (uint32_t i = 0; i < pools_.size(); ++i) {
    if (pools_[i]->Owns(ctrl)) return i;
  }
  LOG_FATAL << "rpc controller of no pool, ptr: " << static_cast<const void*>(ctrl);
  return 0;
}

void ServerCalls::End(RpcController* ctrl, bool tarn, bool hold) {
  bool free_self = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool& flag = tarn ? ctrl->tarn_hold_ : ctrl->user_hold_;
    if (flag == hold) return;
    flag = hold;
    if (hold) return;
    if (tarn) {
      if (ctrl->conn()->transport() == kTcp) ctrl->ReleaseRequestFrame();
      ctrl->ReleaseSecondFrame();
    }
    if (ctrl->tarn_hold_ || ctrl->user_hold_) return;
    pools_[PoolOf(ctrl)]->Free(ctrl);
    free_self = --cut_off_ == 0 && released_;
  }
  if (free_self) delete this;
}

void ServerCalls::LetGoOfWorker(uint32_t i, bool take_back) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (let_go_[i]) return;
  let_go_[i] = 1;
  cut_off_ += pools_[i]->capacity() - pools_[i]->left();
  if (!take_back) return;
  loop_threads_[i] = plinth::CurrentThread::tno();
  pools_[i]->ForEachInUse([](RpcController* ctrl) { ctrl->ReleaseWorkerMemory(); });
}

void ServerCalls::LetGoOfEndedWorker(uint32_t i) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (let_go_[i]) return;
  let_go_[i] = 1;
  cut_off_ += pools_[i]->capacity() - pools_[i]->left();
  loop_ended_[i] = 1;
}

ServerCalls::Access ServerCalls::WorkerAccess(const RpcController* ctrl) const {
  const uint32_t i = PoolOf(ctrl);
  // A watched worker (an outside colony's) is there until it says it goes;
  // it says so under mutex_, which a cut-off call ends under.
  if (watches_[i].life != nullptr) {
    if (going_threads_[i] != UINT32_MAX) {
      return going_threads_[i] == plinth::CurrentThread::tno() ? Access::kAfterLoop
                                                                : Access::kNone;
    }
    return worker_gone_[i].load(std::memory_order_acquire) ? Access::kNone : Access::kLoop;
  }
  if (loop_ended_[i]) return released_ ? Access::kNone : Access::kLoop;
  if (!workers_going_.load(std::memory_order_acquire)) return Access::kLoop;
  if (workers_gone_.load(std::memory_order_acquire)) return Access::kNone;
  // The loop threads still run, so their ids are still theirs.
  return loop_threads_[i] == plinth::CurrentThread::tno() ? Access::kLoop : Access::kNone;
}

void ServerCalls::LetGo() {
  detached_.store(true);
  while (posting_.load() != 0) std::this_thread::yield();
}

void ServerCalls::WorkersGoing() {
  std::lock_guard<std::mutex> lock(mutex_);
  workers_going_.store(true, std::memory_order_release);
}

void ServerCalls::WorkersGone() {
  std::lock_guard<std::mutex> lock(mutex_);
  workers_gone_.store(true, std::memory_order_release);
}

void ServerCalls::Release() {
  bool free_now = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    free_now = cut_off_ == 0;
  }
  if (free_now) delete this;
}

}  // namespace tarn
