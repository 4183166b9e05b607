#include "tarn/polling/rdma_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_message.h"
#include "tarn/polling/rdma_queue_pair.h"

namespace tarn {

namespace {

const char* WcStatusText(ibv_wc_status status) {
  const char* text = ibv_wc_status_str(status);
  return text != nullptr ? text : "(null)";
}

int Fail(SendCompleteCallback* done, int code) {
  if (*done) (*done)(code);
  return code;
}

// A zero-length signalled RDMA write: the keepalive and the marker.
int PostEmptyWrite(ibv_qp* qp, uint64_t wr_id) {
  ibv_send_wr wr{};
  ibv_send_wr* bad = nullptr;
  wr.wr_id = wr_id;
  wr.opcode = IBV_WR_RDMA_WRITE;
  wr.send_flags = IBV_SEND_SIGNALED;
  wr.num_sge = 0;
  wr.wr.rdma.remote_addr = 0;
  wr.wr.rdma.rkey = 0;
  return ibv_post_send(qp, &wr, &bad);
}

}  // namespace

RdmaConnection::RdmaConnection(PollingWorker* worker, const std::string& name, int64_t id,
                               const SockAddress& peer, const WorkerOption::RdmaOption& option)
    : Connection(name, id, peer, kRdma), worker_(worker) {
  const WorkerOption::RdmaOption& posted = worker_->option().rdma_option;
  recv_buffer_size_ = posted.max_send_data_size + posted.max_send_meta_size;
  uint32_t sge = kMaxSendSge;
  RdmaHandle* handle = worker_->rdma_handle();
  if (handle != nullptr && handle->device_attr().max_sge > 0) {
    sge = std::min(sge, static_cast<uint32_t>(handle->device_attr().max_sge));
  }
  max_send_sge_ = sge;
  max_send_data_size_ = option.max_send_data_size;
  max_send_meta_size_ = option.max_send_meta_size;
  max_send_size_ = option.max_send_data_size + option.max_send_meta_size;
  max_depth_ = kMaxDepth;
  std::memset(send_list_, 0, sizeof(send_list_));
}

RdmaConnection::~RdmaConnection() = default;

void RdmaConnection::set_queue_pair(const std::shared_ptr<RdmaQueuePair>& qp) {
  qp_ = qp;
  if (qp_ == nullptr) return;
  if (qp_->max_send_sge() > 0 && qp_->max_send_sge() < max_send_sge_) {
    max_send_sge_ = qp_->max_send_sge();
  }
  max_depth_ = std::min(max_depth_, qp_->send_depth());
}

uint32_t RdmaConnection::GetQpNum() const { return qp_ != nullptr ? qp_->qp_num() : 0; }

Worker* RdmaConnection::worker() { return worker_; }

uint32_t RdmaConnection::my_qp_num() { return GetQpNum(); }

uint32_t RdmaConnection::peer_qp_num() { return qp_ != nullptr ? qp_->peer_qp_num() : 0; }

bool RdmaConnection::IsClosed() {
  if (state() == kDisconnected) return true;
  if (qp_ == nullptr) return false;
  return qp_->state() == RdmaQueuePair::kShutdown;
}

// ---- sending ----

int RdmaConnection::SendSgeZeroCopy(SgEntry* sges, uint32_t count, SendCompleteCallback done) {
  if (max_send_sge_ == 0 || count > max_send_sge_ - 1 || (count > 0 && sges == nullptr)) {
    LOG_ERROR << "not support such many sges, sge_len: " << count
              << ", max_send_sge: " << max_send_sge_;
    return Fail(&done, -3);
  }
  const int st = state();
  if (st == kDisconnected) {
    if (done) {
      LOG_WARN << "conn disconnected, calling callback, sge: " << static_cast<const void*>(sges)
               << ", sge_len: " << count;
    }
    return Fail(&done, -2);
  }
  if (st != kConnected) {
    LOG_DEBUG << "conn connecting, buffering sge: " << static_cast<const void*>(sges)
              << ", sge_len: " << count;
    return Hold(sges, count, std::move(done));
  }
  // Earlier sends still waiting go first; the queue pair keeps room for the
  // keepalive and the marker beyond max_depth.
  if (!pending_.empty() || in_flight_ >= max_depth_) return Hold(sges, count, std::move(done));
  return PostSend(sges, count, std::move(done));
}

int RdmaConnection::Hold(const SgEntry* sges, uint32_t count, SendCompleteCallback done) {
  pending_.emplace_back();
  PendingSge& held = pending_.back();
  std::copy(sges, sges + count, held.sges);
  held.count = count;
  held.done = std::move(done);
  return 0;
}

int RdmaConnection::PostSend(const SgEntry* sges, uint32_t count, SendCompleteCallback done) {
  RdmaHandle* handle = worker_->rdma_handle();
  if (handle == nullptr || qp_ == nullptr || qp_->qp() == nullptr) {
    LOG_ERROR << "send without a queue pair, peer_address: " << peer_addr_.ToString();
    return Fail(&done, -1);
  }
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) total += sges[i].len;
  if (total > max_send_size_) {
    LOG_ERROR << "message larger than the peer's receive buffer, size: " << total
              << ", max_send_size: " << max_send_size_
              << ", peer_address: " << peer_addr_.ToString();
    return Fail(&done, -1);
  }
  uint32_t data_sges = count;
  void* copy = nullptr;
  if (!FillSendList(sges, count)) {
    copy = CopyToRegistered(sges, count, total);
    if (copy == nullptr) return Fail(&done, -1);
    data_sges = 1;
  }
  RdmaMessageHeader* header = handle->NewMessage(total, RdmaMessageHeader::kData);
  if (header == nullptr) {
    LOG_ERROR << "NewMessage malloc failed";
    if (copy != nullptr) worker_->Free(copy);
    return Fail(&done, -5);
  }
  // The callback moves into the request only once the request exists, so
  // every failure above and below still holds it.
  RdmaWorkRequest* request = handle->NewWorkRequest(header, SendCallback());
  if (request == nullptr) {
    LOG_ERROR << "NewWorkRequest malloc failed";
    handle->DeleteMessage(header);
    if (copy != nullptr) worker_->Free(copy);
    return Fail(&done, -5);
  }
  // The copy goes back with the request: the device reads it until the
  // completion is handled, whenever the callback runs.
  request->copy = copy;
  if (done) request->callback = std::move(done);
  send_list_[0].addr = reinterpret_cast<uint64_t>(header);
  send_list_[0].length = sizeof(RdmaMessageHeader);
  send_list_[0].lkey = handle->header_lkey();

  ibv_send_wr wr{};
  ibv_send_wr* bad = nullptr;
  wr.wr_id = reinterpret_cast<uint64_t>(request);
  wr.sg_list = send_list_;
  wr.num_sge = static_cast<int>(data_sges + 1);
  wr.opcode = IBV_WR_SEND;
  wr.send_flags = IBV_SEND_SIGNALED;
  const int ret = ibv_post_send(qp_->qp(), &wr, &bad);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "ibv_post_send failed, err: " << ret;
    LOG_ERROR << "ibv_post_send failed, peer_address: " << peer_addr_.ToString();
    SendCallback callback = std::move(request->callback);
    handle->DeleteWorkRequest(request);
    callback(-1);
    return -1;
  }
  ++in_flight_;
  // Listed until its completion is handled, or its queue pair destroyed.
  qp_->TrackSend(request);
  LOG_TRACE << "ibv_post_send success, wr_id: " << static_cast<const void*>(request)
            << ", msg len: " << total + sizeof(RdmaMessageHeader)
            << ", msg type: " << RdmaMessageHeader::kData;
  return 0;
}

bool RdmaConnection::FillSendList(const SgEntry* sges, uint32_t count) {
  MrManager* mr = worker_->rdma_handle()->mr_manager();
  for (uint32_t i = 0; i < count; ++i) {
    const SgEntry& entry = sges[i];
    ibv_sge& sge = send_list_[i + 1];
    sge.addr = entry.addr;
    sge.length = static_cast<uint32_t>(entry.len);
    if (entry.has_keys || entry.len == 0) {
      sge.lkey = entry.has_keys ? entry.lkey : 0;
      continue;
    }
    // Quietly: a buffer outside every region (or running past its region)
    // has a way out, the copy.
    uint32_t lkey = 0;
    if (mr->GetKeyByRange(reinterpret_cast<const void*>(entry.addr), entry.len, &lkey, nullptr) !=
        0) {
      return false;
    }
    sge.lkey = lkey;
  }
  return true;
}

void* RdmaConnection::CopyToRegistered(const SgEntry* sges, uint32_t count, uint64_t total) {
  const size_t size = total > 0 ? static_cast<size_t>(total) : 1;
  char* copy = static_cast<char*>(worker_->Malloc(size));
  if (copy == nullptr) {
    LOG_ERROR << "no worker memory to copy an unregistered send into, size: " << total
              << ", peer_address: " << peer_addr_.ToString();
    return nullptr;
  }
  MrManager* mr = worker_->rdma_handle()->mr_manager();
  uint32_t lkey = 0;
  if (mr->GetKeyByRange(copy, size, &lkey, nullptr) != 0) {
    LOG_ERROR << "worker memory for an unregistered send is not registered either, size: " << total
              << ", peer_address: " << peer_addr_.ToString();
    worker_->Free(copy);
    return nullptr;
  }
  uint64_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (sges[i].len == 0) continue;
    std::memcpy(copy + off, reinterpret_cast<const void*>(sges[i].addr), sges[i].len);
    off += sges[i].len;
  }
  LOG_DEBUG << "send buffer outside registered memory copied, size: " << total;
  send_list_[1].addr = reinterpret_cast<uint64_t>(copy);
  send_list_[1].length = static_cast<uint32_t>(total);
  send_list_[1].lkey = lkey;
  return copy;
}

void RdmaConnection::DrainPending() {
  if (draining_) return;
  draining_ = true;
  while (!pending_.empty() && state() == kConnected && in_flight_ < max_depth_) {
    // A copy: a callback run by the post may close the connection, which
    // empties the list under our feet.
    PendingSge held = std::move(pending_.front());
    pending_.pop_front();
    PostSend(held.sges, held.count, std::move(held.done));
  }
  draining_ = false;
}

void RdmaConnection::FailPending(int code) {
  std::deque<PendingSge> held;
  held.swap(pending_);
  for (PendingSge& send : held) {
    if (send.done) send.done(code);
  }
}

// ---- state changes ----

void RdmaConnection::ConnectionEstablished() {
  const int st = state();
  if (st == kDisconnected || IsClosed()) {
    LOG_WARN << "connection closed before it was established, qp_num: " << GetQpNum()
             << ", peer addr: " << peer_addr_.ToString();
    FailPending(-4);
    return;
  }
  if (st == kConnected) {
    LOG_WARN << "connection already established, qp_num: " << GetQpNum();
    return;
  }
  set_state(kConnected);
  const uint32_t peer_size = qp_ != nullptr ? qp_->peer_max_recv_size() : 0;
  if (peer_size != 0) {
    max_send_size_ = peer_size;
    if (max_send_meta_size_ < peer_size) max_send_data_size_ = peer_size - max_send_meta_size_;
  }
  LOG_INFO << "qp_num: " << GetQpNum() << ", max_send_size: " << max_send_size_
           << ", max_send_data_size: " << max_send_data_size_
           << ", max_send_meta_size: " << max_send_meta_size_;
  std::shared_ptr<Connection> self = weak_from_this().lock();
  if (self != nullptr && !callbacks_cut_) RunConnectionSuccessCb(self);
  LOG_INFO << "Send Buffering data, size: " << pending_.size()
           << ", peer addr: " << peer_addr_.ToString();
  DrainPending();
}

void RdmaConnection::ForceClose() {
  std::shared_ptr<Connection> self = weak_from_this().lock();
  Loop* loop = worker_->loop();
  if (self == nullptr || loop == nullptr) {
    // Not shared (never handed out): only its own thread can hold it.
    ForceCloseInLoop();
    return;
  }
  loop->RunInLoop([self] { static_cast<RdmaConnection*>(self.get())->ForceCloseInLoop(); }, true);
}

void RdmaConnection::ForceCloseInLoop() {
  if (IsClosed()) return;
  std::shared_ptr<Connection> self = weak_from_this().lock();  // alive through the callbacks
  if (qp_ != nullptr) qp_->Shutdown();
  set_state(kDisconnected);
  FailPending(-4);
  if (self != nullptr && !callbacks_cut_) RunConnectionClosedCb(self);
  // Without a shared receive queue the marker follows the last own receive
  // to complete; when none is outstanding, nothing would ever trigger it.
  if (qp_ != nullptr && qp_->qp() != nullptr && !worker_->option().rdma_option.use_srq &&
      qp_->posted_recv_count <= 0) {
    PostLastWqe();
  }
}

bool RdmaConnection::PostLastWqe() {
  if (last_wqe_posted_) return true;
  // The users hear of the end before the queue pair goes away.
  if (!IsClosed()) ForceCloseInLoop();
  if (last_wqe_posted_) return true;
  set_state(kDisconnected);
  if (qp_ == nullptr || qp_->qp() == nullptr) {
    LOG_WARN << "PostLastWqe without a queue pair, qp_num: " << GetQpNum();
    return false;
  }
  const int ret = PostEmptyWrite(qp_->qp(), kLastWqeWrId);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "ibv_post_send failed, err: " << ret;
    return false;
  }
  last_wqe_posted_ = true;
  LOG_INFO << "PostLastWqe for qp, qp_num: " << GetQpNum();
  return true;
}

int RdmaConnection::DoKeepAlive() {
  if (state() != kConnected || qp_ == nullptr || qp_->qp() == nullptr) return 0;
  if (keepalive_in_flight_) return 0;  // its room on the queue pair is taken
  const int ret = PostEmptyWrite(qp_->qp(), kKeepAliveWrId);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "ibv_post_send failed";
    return ret;
  }
  keepalive_in_flight_ = true;
  return 0;
}

// ---- completions ----

void RdmaConnection::LogWcError(const ibv_wc& wc, const char* extra) const {
  LOG_ERROR << "WC ERROR wrid: " << wc.wr_id << ", err: " << static_cast<int>(wc.status)
            << ", err_str: " << WcStatusText(wc.status) << (extra != nullptr ? extra : "")
            << ", opcode: " << static_cast<int>(wc.opcode)
            << ", my addr: " << local_addr_.ToString() << ", my qp_num: " << wc.qp_num
            << ", peer addr: " << peer_addr_.ToString()
            << ", peer qp_num: " << (qp_ != nullptr ? qp_->peer_qp_num() : 0);
}

int RdmaConnection::HandleTxWc(const ibv_wc& wc, bool* is_last_wqe) {
  if (wc.wr_id == kLastWqeWrId) {
    LOG_INFO << "LAST_WQE, WC ERROR wrid: " << wc.wr_id << ", err: " << static_cast<int>(wc.status)
             << ", err_str: " << WcStatusText(wc.status)
             << ", opcode: " << static_cast<int>(wc.opcode)
             << ", my addr: " << local_addr_.ToString() << ", my qp_num: " << wc.qp_num
             << ", peer addr: " << peer_addr_.ToString()
             << ", peer qp_num: " << (qp_ != nullptr ? qp_->peer_qp_num() : 0);
    *is_last_wqe = true;
    return 0;
  }
  *is_last_wqe = false;
  if (wc.wr_id == kKeepAliveWrId) {
    keepalive_in_flight_ = false;
    if (wc.status != IBV_WC_SUCCESS) {
      LogWcError(wc, nullptr);
      ForceCloseInLoop();
    }
    return 0;
  }
  RdmaWorkRequest* request = qp_ != nullptr ? qp_->ClaimSend(wc.wr_id) : nullptr;
  if (request == nullptr) {
    // Completed already: its queue pair was destroyed before the device
    // reported it.
    LOG_DEBUG << "completion of a send no longer outstanding, qp_num: " << wc.qp_num;
    return 0;
  }
  if (in_flight_ > 0) --in_flight_;
  int result = 0;
  int code = 0;
  if (wc.status != IBV_WC_SUCCESS) {
    if (request->header != nullptr) {
      std::string extra = ", msg type: " + std::to_string(request->header->type) +
                          ", msg len: " + std::to_string(request->header->length);
      LogWcError(wc, extra.c_str());
    } else {
      LogWcError(wc, nullptr);
    }
    ForceCloseInLoop();
    result = static_cast<int>(wc.status);
    code = -1;
  } else if (wc.opcode != IBV_WC_SEND) {
    LOG_ERROR << "Not Support Yet, op: " << static_cast<int>(wc.opcode);
  }
  SendCallback callback = std::move(request->callback);
  worker_->rdma_handle()->DeleteWorkRequest(request);
  callback(code);
  if (code == 0) DrainPending();
  return result;
}

int RdmaConnection::HandleRxWc(const ibv_wc& wc) {
  RdmaPostRecvWorkRequest* request = reinterpret_cast<RdmaPostRecvWorkRequest*>(wc.wr_id);
  RdmaHandle* handle = worker_->rdma_handle();
  void* buffer = request->buffer;
  const RdmaMessageHeader header = *request->header;
  handle->DeletePostRecvWorkRequest(request);

  if (wc.status != IBV_WC_SUCCESS) {
    LOG_ERROR << "WC ERROR wrid: " << wc.wr_id << ", err: " << static_cast<int>(wc.status)
              << ", err_str: " << WcStatusText(wc.status) << ", wc byte len: " << wc.byte_len
              << ", opcode: " << static_cast<int>(wc.opcode)
              << ", my addr: " << local_addr_.ToString() << ", my qp_num: " << wc.qp_num
              << ", peer addr: " << peer_addr_.ToString()
              << ", peer qp_num: " << (qp_ != nullptr ? qp_->peer_qp_num() : 0);
    ForceCloseInLoop();
    worker_->Free(buffer);
    return static_cast<int>(wc.status);
  }
  if (wc.byte_len < sizeof(RdmaMessageHeader)) {
    LOG_ERROR << "message shorter than its header, byte len: " << wc.byte_len
              << ", peer addr: " << peer_addr_.ToString();
    worker_->Free(buffer);
    ForceCloseInLoop();
    return -1;
  }
  if (header.type != RdmaMessageHeader::kData) {
    LOG_ERROR << "OnRecv Unexpected message type: " << header.type
              << ", peer addr: " << peer_addr_.ToString();
    worker_->Free(buffer);
    return 0;
  }
  const uint32_t received = wc.byte_len - static_cast<uint32_t>(sizeof(RdmaMessageHeader));
  if (header.length > received || header.length > recv_buffer_size_) {
    LOG_ERROR << "message length error, header len: " << header.length << ", received: " << received
              << ", buffer size: " << recv_buffer_size_ << ", peer addr: " << peer_addr_.ToString();
    worker_->Free(buffer);
    ForceCloseInLoop();
    return -1;
  }
  // Delivered even on a connection closed here: the peer sent it before the
  // close, and its reader (an answer to a call still waiting, say) may still
  // take it. Not once the owner has let go: its reader may be gone.
  if (callbacks_cut_) {
    LOG_DEBUG << "message for an owner that let go, freed, len: " << header.length;
    worker_->Free(buffer);
    return 0;
  }
  current_msg_ = buffer;
  current_len_ = header.length;
  message_taken_ = false;
  std::shared_ptr<Connection> self = weak_from_this().lock();
  if (self != nullptr) RunMessageReadCb(self);
  if (!message_taken_) {
    LOG_DEBUG << "message not taken by any reader, freed, len: " << current_len_;
    worker_->Free(buffer);
  }
  current_msg_ = nullptr;
  current_len_ = 0;
  message_taken_ = false;
  return 0;
}

int RdmaConnection::ReceiveDataZeroCopy(void** data, uint32_t* len) {
  if (current_msg_ == nullptr) return -1;
  *data = current_msg_;
  *len = current_len_;
  message_taken_ = true;
  return static_cast<int>(current_len_);
}

}  // namespace tarn
