#include "tarn/rpc/rpc_controller.h"

#include <google/protobuf/message.h>
#include <google/protobuf/stubs/callback.h>

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "rpc/server_calls.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/connection.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"

namespace tarn {

RpcController::RpcController(const std::shared_ptr<Connection>& conn) : conn_(conn) {}

RpcController::~RpcController() { ReleaseResources(); }

void RpcController::ReleaseResources() {
  if (destroy_hook_) {
    destroy_hook_();
    destroy_hook_ = nullptr;
  }
  FreeOnWorker(request_frame_);
  request_frame_ = nullptr;
  FreeOnWorker(second_frame_);
  second_frame_ = nullptr;
  FreeAttachments(&request_attachments_);
  FreeAttachments(&response_attachments_);
  if (owns_request_) delete request_;
  if (owns_response_) delete response_;
  request_ = nullptr;
  response_ = nullptr;
  owns_request_ = owns_response_ = false;
}

void RpcController::ResetFields() {
  conn_.reset();
  request_attachment_bytes_ = 0;
  response_attachment_bytes_ = 0;
  uuid_.clear();
  seq_no_ = 0;
  method_ = nullptr;
  done_ = nullptr;
  rpc_server_ = nullptr;
  calls_ = nullptr;
  loop_thread_ = UINT32_MAX;
  pool_index_ = UINT32_MAX;
  timeout_ms_ = kDefaultTimeoutMs;
  failed_ = false;
  error_text_.clear();
  error_code_ = 0;
  user_data_ = nullptr;
  tarn_hold_ = false;
  user_hold_ = false;
  begin_ = 0;
  end_ = 0;
  sync_cond_ = nullptr;
  sync_waiting_ = false;
  call_sent_ = false;
  call_hook_ = plinth::ListHook<RpcController>();
  call_chain_ = nullptr;
}

namespace {

// The calling thread's recycled client controllers; deleted with the thread.
struct ControllerPool {
  std::vector<RpcController*> free;
  ~ControllerPool() {
    for (RpcController* c : free) delete c;
  }
};
thread_local ControllerPool tl_controllers;

}  // namespace

RpcController* RpcController::Acquire(const std::shared_ptr<Connection>& conn) {
  std::vector<RpcController*>& free = tl_controllers.free;
  if (free.empty()) return new RpcController(conn);
  RpcController* ctrl = free.back();
  free.pop_back();
  ctrl->conn_ = conn;
  return ctrl;
}

void RpcController::Recycle(RpcController* ctrl) {
  if (ctrl == nullptr) return;
  if (ctrl->call_hook_.linked()) {
    LOG_FATAL << "rpc controller recycled while its call is still queued or in flight, "
              << "seq_no: " << ctrl->seq_no_;
    return;
  }
  std::vector<RpcController*>& free = tl_controllers.free;
  if (free.size() >= kPooledPerThread) {
    delete ctrl;
    return;
  }
  ctrl->ReleaseResources();
  ctrl->ResetFields();
  if (free.capacity() == 0) free.reserve(kPooledPerThread);
  free.push_back(ctrl);
}

size_t RpcController::PooledOnThisThread() { return tl_controllers.free.size(); }

void RpcController::Reset() { LOG_FATAL << "RpcController Reset not support"; }

void RpcController::StartCancel() { LOG_FATAL << "RpcController StartCancel not support"; }

bool RpcController::IsCanceled() const {
  LOG_FATAL << "RpcController IsCanceled not support";
  return false;
}

void RpcController::NotifyOnCancel(google::protobuf::Closure*) {
  LOG_FATAL << "RpcController NotifyOnCancel not support";
}

void RpcController::SetFailed(const std::string& reason) {
  failed_ = true;
  error_text_ = reason;
}

void* RpcController::Malloc(uint32_t len) { return conn_->worker()->Malloc(len); }

void RpcController::Free(void* p) { conn_->worker()->Free(p); }

uint32_t RpcController::GetMaxAttachmentSize() const { return conn_->max_send_data_size(); }

uint32_t RpcController::GetMaxAttachmentCnt() const {
  // One entry carries the frame's main part, one the transport's header.
  const uint32_t sge = conn_->max_send_sge();
  return sge > 2 ? sge - 2 : 0;
}

void RpcController::AppendRequestAttachment(void* data, uint32_t len, bool owned) {
  AttachmentEntry entry;
  entry.data = data;
  entry.len = len;
  entry.owned = owned;
  AppendRequestAttachment(entry);
}

void RpcController::AppendResponseAttachment(void* data, uint32_t len, bool owned) {
  AttachmentEntry entry;
  entry.data = data;
  entry.len = len;
  entry.owned = owned;
  AppendResponseAttachment(entry);
}

void RpcController::AppendRequestAttachment(const AttachmentEntry& entry) {
  request_attachments_.push_back(entry);
  request_attachment_bytes_ += entry.len;
}

void RpcController::AppendResponseAttachment(const AttachmentEntry& entry) {
  response_attachments_.push_back(entry);
  response_attachment_bytes_ += entry.len;
}

const std::string& RpcController::uuid() {
  if (!uuid_.empty()) return uuid_;
  const std::string local = conn_->local_addr().ToString();
  const std::string peer = conn_->peer_addr().ToString();
  const uint32_t my_qp = conn_->my_qp_num();
  const uint32_t peer_qp = conn_->peer_qp_num();
  char tail[32];
  snprintf(tail, sizeof(tail), "%" PRIu64, seq_no_);
  char qp[2][16];
  if (rpc_server_ == nullptr) {
    snprintf(qp[0], sizeof(qp[0]), "%u", my_qp);
    snprintf(qp[1], sizeof(qp[1]), "%u", peer_qp);
    uuid_ = local + ":" + qp[0] + "-" + peer + ":" + qp[1] + "-" + tail;
  } else {
    snprintf(qp[0], sizeof(qp[0]), "%u", peer_qp);
    snprintf(qp[1], sizeof(qp[1]), "%u", my_qp);
    uuid_ = peer + ":" + qp[0] + "-" + local + ":" + qp[1] + "-" + tail;
  }
  return uuid_;
}

void RpcController::Begin() { begin_ = plinth::rdtsc(); }

void RpcController::End() { end_ = plinth::rdtsc(); }

uint64_t RpcController::LatencyUs() const {
  if (begin_ >= end_) return 0;
  return (end_ - begin_) / plinth::TimeCycle::tsc_rate_mhz_;
}

uint64_t RpcController::LatencyNs() const {
  if (begin_ >= end_) return 0;
  return (end_ - begin_) * 1000 / plinth::TimeCycle::tsc_rate_mhz_;
}

void RpcController::CallDone(bool failed, int code, const std::string& text) {
  failed_ = failed;
  error_code_ = code;
  error_text_ = text;
  End();
  google::protobuf::Closure* done = done_;
  if (done == nullptr) {
    LOG_ERROR << "rpc call done without a closure, rpc uuid: " << uuid();
    return;
  }
  // Nothing of this controller is touched once the closure may have run:
  // the caller deletes it there (or, for a synchronous call, right after).
  if (!failed) {
    done->Run();
    return;
  }
  Loop* loop = conn_->worker()->loop();
  if (code == kRpcConnectError) {
    loop->RunAfter(0.1, [done] { done->Run(); });
  } else if (loop->RunNextLoop([done] { done->Run(); }) != 0) {
    LOG_ERROR << "loop has ended, rpc closure dropped, rpc uuid: " << uuid();
  }
}

void RpcController::set_request(const google::protobuf::Message* m, bool owns) {
  if (owns_request_ && request_ != m) delete request_;
  request_ = m;
  owns_request_ = owns;
}

void RpcController::set_response(google::protobuf::Message* m, bool owns) {
  if (owns_response_ && response_ != m) delete response_;
  response_ = m;
  owns_response_ = owns;
}

void RpcController::ReleaseWorkerMemory() {
  ReleaseRequestFrame();
  // The entries stay (a service may still look at them); only their memory
  // goes back, once.
  auto release = [this](std::vector<AttachmentEntry>* entries) {
    for (AttachmentEntry& e : *entries) {
      if (!e.owned) continue;
      FreeOnWorker(e.data);
      e.owned = false;
    }
  };
  release(&request_attachments_);
  // Once the answer has left, the response is the framework's alone.
  if (!tarn_hold_) release(&response_attachments_);
}

void RpcController::ReleaseRequestFrame() {
  FreeOnWorker(request_frame_);
  request_frame_ = nullptr;
}

void RpcController::ReleaseSecondFrame() {
  FreeOnWorker(second_frame_);
  second_frame_ = nullptr;
}

void RpcController::set_tarn_hold(bool hold) {
  if (calls_ != nullptr && calls_->CutOff(this)) {
    calls_->End(this, true, hold);
    return;
  }
  if (hold == tarn_hold_) return;
  tarn_hold_ = hold;
  if (hold) return;
  // Over RDMA the request attachments point into the receive buffer, which
  // therefore stays until the controller goes.
  if (conn_->transport() == kTcp) ReleaseRequestFrame();
  ReleaseSecondFrame();
  if (!user_hold_) DestroyMyself();
}

void RpcController::set_user_hold(bool hold) {
  auto apply = [this, hold] {
    if (calls_ != nullptr && calls_->CutOff(this)) {
      calls_->End(this, false, hold);
      return;
    }
    if (hold == user_hold_) return;
    user_hold_ = hold;
    if (!user_hold_ && !tarn_hold_) DestroyMyself();
  };
  if (calls_ == nullptr) {
    conn_->worker()->loop()->RunInLoop(apply, true);
  } else if (!calls_->Post(this, std::move(apply))) {
    // Cut off from a server that has gone: its loop may have gone too.
    calls_->End(this, false, hold);
  }
}

void RpcController::DestroyMyself() {
  if (calls_ != nullptr) {
    calls_->Give(this);
    return;
  }
  if (rpc_server_ == nullptr) {
    LOG_ERROR << "rpc server is null";
    return;
  }
  rpc_server_->DestroyRpcController(this);
}

void RpcController::DoSyncCall(std::function<void()> fn, RpcController* ctrl, Worker* worker) {
  Loop* loop = worker->loop();
  if (loop->IsInLoopThread()) {
    LOG_FATAL << "DoSyncCall on the loop thread of its worker would wait forever";
    return;
  }
  std::condition_variable cond;
  {
    std::lock_guard<std::mutex> lock(ctrl->sync_mutex_);
    ctrl->sync_waiting_ = true;
    ctrl->sync_cond_ = &cond;
  }
  ctrl->done_ = google::protobuf::NewCallback(ctrl, &RpcController::EndWaitting);
  if (loop->RunInLoop(fn, true) != 0) {
    // The loop will never run the call: report it instead of waiting.
    delete ctrl->done_;
    ctrl->done_ = nullptr;
    ctrl->sync_cond_ = nullptr;
    ctrl->sync_waiting_ = false;
    ctrl->failed_ = true;
    ctrl->error_code_ = kRpcSendError;
    ctrl->error_text_ = "conn send data error";
    return;
  }
  std::unique_lock<std::mutex> lock(ctrl->sync_mutex_);
  cond.wait(lock, [ctrl] { return !ctrl->sync_waiting_; });
  ctrl->sync_cond_ = nullptr;
}

void RpcController::EndWaitting() {
  std::lock_guard<std::mutex> lock(sync_mutex_);
  sync_waiting_ = false;
  if (sync_cond_ != nullptr) sync_cond_->notify_one();
}

void RpcController::FreeOnWorker(void* p) {
  if (p == nullptr) return;
  // A call cut off from its server may outlive the server's workers: then
  // what it still holds of their memory went back as they went.
  if (calls_ != nullptr) {
    switch (calls_->WorkerAccess(this)) {
      case ServerCalls::Access::kNone:
        return;
      case ServerCalls::Access::kAfterLoop:
        conn_->worker()->FreeAfterLoop(p);
        return;
      case ServerCalls::Access::kLoop:
        break;
    }
  }
  Worker* worker = conn_->worker();
  Loop* loop = worker->loop();
  if (loop->IsInLoopThread()) {
    worker->Free(p);
  } else if (loop->RunInLoop([worker, p] { worker->Free(p); }, true) != 0) {
    // The loop has ended: the worker takes it back when it goes.
    worker->FreeAfterLoop(p);
  }
}

void RpcController::FreeAttachments(std::vector<AttachmentEntry>* entries) {
  for (AttachmentEntry& e : *entries) {
    if (e.owned) FreeOnWorker(e.data);
  }
  entries->clear();
}

}  // namespace tarn
