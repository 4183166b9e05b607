#include "rpc/server_calls.h"

#include <thread>

#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"

namespace tarn {

ServerCalls::ServerCalls(uint32_t workers, int per_worker)
    : let_go_(workers, 0), loop_threads_(workers, UINT32_MAX), loop_ended_(workers, 0) {
  pools_.reserve(workers);
  for (uint32_t i = 0; i < workers; ++i) pools_.push_back(std::make_shared<Pool>(per_worker));
}

RpcController* ServerCalls::Take(uint32_t i, const std::shared_ptr<Connection>& conn) {
  if (let_go_[i]) return nullptr;
  RpcController* ctrl = pools_[i]->Malloc(conn);
  if (ctrl != nullptr) {
    ctrl->calls_ = this;
    ctrl->loop_thread_ = plinth::CurrentThread::tno();
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
  const uint32_t i = ctrl->conn()->worker()->index();
  return i < let_go_.size() && let_go_[i];
}

uint32_t ServerCalls::PoolOf(const RpcController* ctrl) const {
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

bool ServerCalls::MayTouchWorker(const RpcController* ctrl) const {
  // An outside colony whose loop has ended outlives the server (stopped,
  // then the server deleted, then the colony): its workers are there until
  // the server lets go of this object. Called under mutex_ then.
  if (loop_ended_[PoolOf(ctrl)]) return !released_;
  if (!workers_going_.load(std::memory_order_acquire)) return true;
  if (workers_gone_.load(std::memory_order_acquire)) return false;
  // The loop threads still run, so their ids are still theirs.
  return loop_threads_[PoolOf(ctrl)] == plinth::CurrentThread::tno();
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
