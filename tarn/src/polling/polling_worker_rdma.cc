// The RDMA half of the polling worker: the completion poller, receive
// posting, the connection table, keepalive and receive refill, device events
// and ClearRdma.
//
// Receive accounting. With a shared receive queue every receive completion is
// replaced before its message is handled; without one, every receive handled
// on a live connection is replaced on its queue pair. A replacement that
// cannot be posted adds to a deficit (the worker's, or the queue pair's) that
// the keepalive round pays back.
//
// Teardown of a queue pair: its connection is closed (queue pair in ERROR),
// the device flushes what was outstanding, and once no receive can complete
// any more the connection posts the marker; the marker's completion is the
// last one, and only then is the queue pair destroyed. A connection removed
// from the table before that point waits in `retiring_` until its marker
// comes back. The receives it completed are taken off the receive completion
// queue before it is destroyed, with those of the other queue pairs queued
// ahead of them (handled in order, or set aside inside a callback).
#include <infiniband/verbs.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <vector>

#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/memory_pool.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_connection.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_message.h"
#include "tarn/polling/rdma_queue_pair.h"

namespace tarn {

namespace {

// Passes between reads of the device's event descriptor, and between
// keepalive rounds (both powers of two).
constexpr uint32_t kEventPassMask = 1024 - 1;
constexpr uint32_t kKeepAlivePassMask = (1u << 25) - 1;
// How long a queue pair the device refused to destroy waits for the next
// try.
constexpr double kDestroyRetrySeconds = 1.0;

const char* EventText(ibv_event_type type) {
  const char* text = ibv_event_type_str(type);
  return text != nullptr ? text : "(null)";
}

}  // namespace

std::shared_ptr<RdmaConnection> PollingWorker::FindConnection(uint32_t qp_num) const {
  auto it = connections_.find(qp_num);
  if (it != connections_.end()) return it->second;
  it = retiring_.find(qp_num);
  if (it != retiring_.end()) return it->second;
  return nullptr;
}

// ---- receive posting ----

uint32_t PollingWorker::RecvBufferSize() const {
  const WorkerOption::RdmaOption& rdma = option_.rdma_option;
  return rdma.max_send_data_size + rdma.max_send_meta_size;
}

int PollingWorker::PostSrqRecvWr(int n, bool count_failure) {
  if (rdma_handle_ == nullptr || rdma_handle_->srq() == nullptr) return 0;
  return PostRecvs(nullptr, n, count_failure);
}

int PollingWorker::PostQpRecvWr(const std::shared_ptr<RdmaQueuePair>& qp, int n,
                                bool count_failure) {
  if (rdma_handle_ == nullptr || rdma_handle_->srq() != nullptr || qp == nullptr ||
      qp->qp() == nullptr) {
    return 0;
  }
  TrackRecvQp(qp);
  return PostRecvs(qp.get(), n, count_failure);
}

int PollingWorker::PrepareRecvs(int n) {
  MrManager* mr = rdma_handle_->mr_manager();
  const uint32_t size = RecvBufferSize();
  for (int i = 0; i < n; ++i) {
    char* buffer = static_cast<char*>(Malloc(size));
    if (buffer == nullptr) {
      LOG_ERROR << "Malloc post recv buffer failed!";
      return i;
    }
    uint32_t lkey = 0;
    const int ret = mr->GetKeyByRange(buffer, size, &lkey, nullptr);
    if (ret != 0) {
      LOG_ERROR << "Get Mr key failed for buffer: " << static_cast<void*>(buffer)
                << ", ret: " << ret;
      Free(buffer);
      return i;
    }
    RdmaPostRecvWorkRequest* request = rdma_handle_->NewPostRecvWorkRequest(buffer);
    if (request == nullptr) {
      LOG_ERROR << "NewPostRecvWorkRequest malloc failed";
      Free(buffer);
      return i;
    }
    ibv_sge* sge = &recv_sges_[2 * static_cast<size_t>(i)];
    sge[0].addr = reinterpret_cast<uint64_t>(request->header);
    sge[0].length = sizeof(RdmaMessageHeader);
    sge[0].lkey = rdma_handle_->header_lkey();
    sge[1].addr = reinterpret_cast<uint64_t>(buffer);
    sge[1].length = size;
    sge[1].lkey = lkey;
    ibv_recv_wr& wr = recv_wrs_[i];
    wr.wr_id = reinterpret_cast<uint64_t>(request);
    wr.next = static_cast<size_t>(i) + 1 < recv_wrs_.size() ? &recv_wrs_[i + 1] : nullptr;
    wr.sg_list = sge;
    wr.num_sge = 2;
  }
  return n;
}

void PollingWorker::ReleaseRecvs(int from, int to) {
  for (int i = from; i < to; ++i) {
    auto* request = reinterpret_cast<RdmaPostRecvWorkRequest*>(recv_wrs_[i].wr_id);
    void* buffer = request->buffer;
    rdma_handle_->DeletePostRecvWorkRequest(request);
    Free(buffer);
  }
}

// Posts what could be prepared, gives back what the device refused, and
// books the shortfall: a replacement that failed raises the deficit, a
// refill lowers it by what it posted.
int PollingWorker::PostRecvs(RdmaQueuePair* qp, int n, bool count_failure) {
  if (n <= 0) return 1;
  n = std::min(n, static_cast<int>(recv_wrs_.size()));
  const int prepared = PrepareRecvs(n);
  int posted = 0;
  if (qp != nullptr) {
    for (int i = 0; i < prepared; ++i) {
      reinterpret_cast<RdmaPostRecvWorkRequest*>(recv_wrs_[i].wr_id)->qp_generation =
          qp->generation();
    }
  }
  if (prepared > 0) {
    recv_wrs_[prepared - 1].next = nullptr;
    ibv_recv_wr* bad = nullptr;
    const int ret = qp != nullptr ? ibv_post_recv(qp->qp(), recv_wrs_.data(), &bad)
                                  : ibv_post_srq_recv(rdma_handle_->srq(), recv_wrs_.data(), &bad);
    posted = prepared;
    if (ret != 0) {
      errno = ret;
      LOG_SYSERR << (qp != nullptr ? "ibv_post_recv failed" : "ibv_post_srq_recv failed");
      posted = bad != nullptr ? static_cast<int>(bad - recv_wrs_.data()) : 0;
      posted = std::max(0, std::min(posted, prepared));
      ReleaseRecvs(posted, prepared);
    }
  }
  int32_t& deficit = qp != nullptr ? qp->recv_deficit : srq_deficit_;
  if (qp != nullptr) {
    qp->posted_recv_count += posted;
    for (int i = 0; i < posted; ++i) {
      qp->ListRecv(reinterpret_cast<RdmaPostRecvWorkRequest*>(recv_wrs_[i].wr_id));
    }
  }
  if (count_failure) {
    deficit += n - posted;
  } else {
    deficit = std::max(0, deficit - posted);
  }
  return posted == n ? 1 : 0;
}

// ---- the poller ----

int PollingWorker::RdmaProcess() {
  RdmaHandle* handle = rdma_handle_;
  if (handle == nullptr) return 0;
  // completions_ holds one poll's batch while it is handled: a poll from
  // inside a callback would overwrite what is still to be handled.
  if (dispatch_depth_ > 0) {
    LOG_ERROR << "rdma poll from inside a completion callback refused, worker: " << name_;
    return 0;
  }
  BeginDispatch();
  int sent = ibv_poll_cq(handle->send_cq(), static_cast<int>(kPollBatch), completions_);
  if (sent < 0) {
    errno = -sent;
    LOG_SYSERR << "ibv_poll_cq error: " << sent;
    EndDispatch();
    return -1;
  }
  if (sent > 0) TxWcHandle(completions_, sent);
  int received = 0;
  // A callback of the send batch may have set receives aside: they come
  // before anything polled now.
  if (rdma_handle_ == handle) HandleEarlyReceives();
  // A callback of the send batch may have dropped the device.
  if (rdma_handle_ == handle) {
    received = ibv_poll_cq(handle->recv_cq(), static_cast<int>(kPollBatch), completions_);
  }
  if (received < 0) {
    errno = -received;
    LOG_SYSERR << "ibv_poll_cq error: " << received;
    EndDispatch();
    return -1;
  }
  if (received > 0) RxWcHandle(completions_, received);
  EndDispatch();
  if (rdma_handle_ == nullptr) return 1;
  if ((pass_count_ & kEventPassMask) != 0) return sent > 0 || received > 0 ? 1 : 0;
  if ((pass_count_ & kKeepAlivePassMask) == 0) {
    DoKeepAlive();
    if (srq_deficit_ != 0) PostSrqRecvWr(srq_deficit_, false);
  }
  return HandleAsyncEvent();
}

int PollingWorker::HandleAsyncEvent() {
  ibv_async_event event;
  if (ibv_get_async_event(rdma_handle_->context(), &event) != 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 1;
    LOG_SYSERR << "ibv_get_async_event() failed";
    return -1;
  }
  const ibv_event_type type = event.event_type;
  const ibv_context* context = rdma_handle_->context();
  const uint32_t qp_num = type == IBV_EVENT_QP_LAST_WQE_REACHED && event.element.qp != nullptr
                              ? event.element.qp->qp_num
                              : 0;
  ibv_ack_async_event(&event);
  LOG_INFO << "get async event, event_type: " << static_cast<int>(type);
  switch (type) {
    case IBV_EVENT_QP_LAST_WQE_REACHED:
      LOG_INFO << "IBV_EVENT_QP_LAST_WQE_REACHED, qp_num: " << qp_num;
      // The device's workers share its event descriptor: whoever read the
      // event tells the worker whose table holds the queue pair. Numbers
      // are unique per device only, so the device context goes along: a
      // worker on another device may hold a live queue pair of the same
      // number. Under the table mutex: a worker being destroyed leaves the
      // table before its loop goes.
      RdmaHandle::ForEachWorker(
          [context, qp_num](PollingWorker* worker) { worker->PostLastWqe(context, qp_num); });
      break;
    case IBV_EVENT_DEVICE_FATAL:
    case IBV_EVENT_GID_CHANGE:
      LOG_ERROR << "get async event: " << static_cast<int>(type) << " : " << EventText(type)
                << ". suggested to restart service";
      // Each worker names its own context, so that the drop spares one
      // opened again meanwhile.
      RdmaHandle::ForEachWorker([](PollingWorker* worker) {
        worker->loop()->RunInLoop(
            [worker] {
              if (worker->rdma_handle() == nullptr) return;
              const uint64_t generation = worker->rdma_handle()->generation();
              worker->loop()->RunAfter(1.0,
                                       [worker, generation] { worker->ClearRdmaOf(generation); });
            },
            true);
      });
      break;
    default:
      break;
  }
  return 1;
}

void PollingWorker::TxWcHandle(ibv_wc* wc, int n) {
  BeginDispatch();
  for (int i = 0; i < n; ++i) {
    const ibv_wc& c = wc[i];
    std::shared_ptr<RdmaConnection> conn = FindConnection(c.qp_num);
    if (conn == nullptr) {
      LOG_ERROR << "Can't find connect with qp_num: " << c.qp_num;
      DropOrphanTxWc(c);
      continue;
    }
    bool destroy = false;
    const int ret = conn->HandleTxWc(c, &destroy);
    if (ret != 0) LOG_ERROR << "HandleTxWc error, ret: " << ret;
    // Nothing of the queue pair completes after its marker; it goes once
    // this dispatch is over.
    if (destroy) drained_.push_back(std::move(conn));
  }
  EndDispatch();
}

void PollingWorker::RxWcHandle(ibv_wc* wc, int n) {
  const bool srq = rdma_handle_->srq() != nullptr;
  BeginDispatch();
  for (int i = 0; i < n; ++i) {
    const ibv_wc& c = wc[i];
    if (i + 1 < n) __builtin_prefetch(reinterpret_cast<const void*>(wc[i + 1].wr_id));
    // The shared queue lost one receive whoever it belonged to.
    if (srq) PostSrqRecvWr(1, true);
    std::shared_ptr<RdmaConnection> conn = FindConnection(c.qp_num);
    if (conn == nullptr) {
      LOG_ERROR << "Can't find connect with qp_num: " << c.qp_num;
      DropOrphanRxWc(c);
      continue;
    }
    const int ret = conn->HandleRxWc(c);
    if (ret != 0) LOG_ERROR << "HandleRxWc error, ret: " << ret;
    if (srq) continue;
    const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
    // The queue pair is already known to have receives of its own.
    if (ret == 0 && !conn->IsClosed() && qp->qp() != nullptr) PostRecvs(qp.get(), 1, true);
    if (--qp->posted_recv_count > 0) continue;
    qp->posted_recv_count = 0;
    if (conn->IsClosed()) {
      conn->PostLastWqe();
    } else {
      // Live, but its replacements could not be posted: refill it rather
      // than let the peer run into receiver-not-ready.
      LOG_WARN << "no receive posted on a live connection, qp_num: " << c.qp_num
               << ", deficit: " << qp->recv_deficit;
      std::weak_ptr<RdmaConnection> weak = conn;
      loop_->RunNextLoop([this, weak] { RefillQueuePair(weak.lock()); });
    }
  }
  EndDispatch();
}

// The marker completes after every work request of its queue pair, but the
// receives the queue pair took complete on the worker's one receive queue,
// behind those of every other queue pair, which this pass may not have
// polled down to them yet. Handled here rather than discarded with the
// queue pair, each one gives its buffer back (and on the shared queue has
// its replacement posted); the other queue pairs' receives taken meanwhile
// are handled too, in the order they completed. Runs only where no
// completion is being handled (the end of a dispatch, or a task).
void PollingWorker::TakeReceivesBeforeDestroy() {
  if (rdma_handle_ == nullptr) return;
  ibv_wc wc[kPollBatch];
  HandleEarlyReceives();
  for (uint64_t left = ReceivesQueuedAtMost(); left > 0 && rdma_handle_ != nullptr;) {
    const int n = ibv_poll_cq(rdma_handle_->recv_cq(), static_cast<int>(kPollBatch), wc);
    if (n <= 0) break;
    left -= std::min<uint64_t>(left, static_cast<uint64_t>(n));
    RxWcHandle(wc, n);
    HandleEarlyReceives();
  }
}

// Every receive completion now in the queue names a receive still posted,
// and there are no more of them than the queue holds: past that many, what
// was queued when this began has all been taken, and what comes later
// (a queue pair of the worker's kept busy) is left to the poller.
uint64_t PollingWorker::ReceivesQueuedAtMost() const {
  const int capacity = rdma_handle_->recv_cq()->cqe;
  const uint64_t posted = rdma_handle_->posted_buffers().size();
  return capacity > 0 ? std::min<uint64_t>(posted, static_cast<uint64_t>(capacity)) : posted;
}

void PollingWorker::SetReceivesAside() {
  if (rdma_handle_ == nullptr) return;
  ibv_wc wc[kPollBatch];
  // Whichever queue pair they belong to: the completions of the one being
  // destroyed may lie behind those of all the others.
  for (uint64_t left = ReceivesQueuedAtMost(); left > 0;) {
    const int n = ibv_poll_cq(rdma_handle_->recv_cq(), static_cast<int>(kPollBatch), wc);
    if (n <= 0) return;
    left -= std::min<uint64_t>(left, static_cast<uint64_t>(n));
    early_rx_.insert(early_rx_.end(), wc, wc + n);
  }
}

void PollingWorker::HandleEarlyReceives() {
  while (!early_rx_.empty() && rdma_handle_ != nullptr) {
    std::vector<ibv_wc> early;
    early.swap(early_rx_);
    // In batches: the handling prefetches within one.
    for (size_t i = 0; i < early.size() && rdma_handle_ != nullptr; i += kPollBatch) {
      const size_t n = std::min<size_t>(kPollBatch, early.size() - i);
      RxWcHandle(early.data() + i, static_cast<int>(n));
      // Set aside again meanwhile: those come after the rest of these.
      if (!early_rx_.empty() && i + n < early.size()) {
        early_rx_.insert(early_rx_.begin(), early.begin() + static_cast<std::ptrdiff_t>(i + n),
                         early.end());
        break;
      }
    }
  }
}

void PollingWorker::EndDispatch() {
  if (dispatch_depth_ > 1) {
    --dispatch_depth_;
    return;
  }
  // Still counted as handling completions: a callback run from here must
  // not poll either. Every completion polled so far has been handled.
  HandleEarlyReceives();
  while (!drained_.empty() && rdma_handle_ != nullptr) {
    std::vector<std::shared_ptr<RdmaConnection>> batch;
    batch.swap(drained_);
    TakeReceivesBeforeDestroy();
    for (const auto& conn : batch) DestroyQueuePairOf(conn);
  }
  drained_.clear();
  dispatch_depth_ = 0;
}

void PollingWorker::DestroyQueuePairOf(const std::shared_ptr<RdmaConnection>& conn) {
  const std::shared_ptr<RdmaQueuePair> qp = conn->queue_pair();
  if (qp == nullptr || rdma_handle_ == nullptr) return;
  const uint32_t qp_num = qp->qp_num();
  if (qp->DestroyQp() == 0) {
    recv_qps_.erase(qp_num);
    if (rdma_handle_->srq() == nullptr) ReleaseQpRecvs(qp.get());
  } else {
    // The device keeps it, and what it holds: each receive comes back as a
    // flush to its connection, which stays findable (retiring) meanwhile,
    // and is given back then, or by the next try if that comes first.
    RetryDestroyLater(conn);
  }
  if (FindConnection(qp_num) == conn) DelConnection(qp_num);
}

void PollingWorker::DestroyOrphanQp(const std::shared_ptr<RdmaQueuePair>& qp) {
  loop_->AssertInLoopThread();
  if (rdma_handle_ == nullptr || qp == nullptr || qp->qp() == nullptr) return;
  if (qp->DestroyQp() != 0) {
    // The device keeps it. In ERROR its receives come back as flushes
    // (given back as orphans); it is tried again later, while the context
    // is still this one (a drop destroys it with the rest).
    if (!qp->in_error()) qp->Shutdown();
    std::weak_ptr<RdmaQueuePair> weak = qp;
    const uint64_t generation = rdma_handle_->generation();
    loop_->RunAfter(kDestroyRetrySeconds, [this, weak, generation] {
      std::shared_ptr<RdmaQueuePair> orphan = weak.lock();
      if (orphan == nullptr || rdma_handle_ == nullptr ||
          rdma_handle_->generation() != generation) {
        return;
      }
      DestroyOrphanQp(orphan);
    });
    return;
  }
  recv_qps_.erase(qp->qp_num());
  ReleaseQpRecvs(qp.get());
}

void PollingWorker::RetryDestroyLater(const std::shared_ptr<RdmaConnection>& conn) {
  std::weak_ptr<RdmaConnection> weak = conn;
  // The context keeps the queue pair; the connection may be let go
  // meanwhile (one no table holds).
  std::weak_ptr<RdmaQueuePair> weak_qp = conn->queue_pair();
  const uint64_t generation = rdma_handle_->generation();
  loop_->RunAfter(kDestroyRetrySeconds, [this, weak, weak_qp, generation] {
    if (rdma_handle_ == nullptr || rdma_handle_->generation() != generation) return;
    std::shared_ptr<RdmaConnection> conn = weak.lock();
    if (conn == nullptr) {
      std::shared_ptr<RdmaQueuePair> orphan = weak_qp.lock();
      if (orphan != nullptr) DestroyOrphanQp(orphan);
      return;
    }
    const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
    if (qp == nullptr || qp->qp() == nullptr) return;
    BeginDispatch();
    drained_.push_back(conn);
    EndDispatch();
  });
}

// Destroyed before its own receives all completed (it was not let drain):
// the device discards their flushes, so nothing else gives them back.
void PollingWorker::ReleaseQpRecvs(RdmaQueuePair* qp) {
  RdmaQueuePair::RecvList& mine = qp->posted_recvs();
  if (mine.empty()) return;
  LOG_INFO << "receives of a destroyed qp given back, qp_num: " << qp->qp_num()
           << ", count: " << mine.size();
  while (RdmaPostRecvWorkRequest* request = mine.front()) {
    void* buffer = request->buffer;
    rdma_handle_->DeletePostRecvWorkRequest(request);  // leaves the list
    Free(buffer);
  }
  qp->posted_recv_count = 0;
}

void PollingWorker::RefillQueuePair(const std::shared_ptr<RdmaConnection>& conn) {
  if (conn == nullptr || conn->IsClosed() || rdma_handle_ == nullptr) return;
  const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
  if (qp != nullptr && qp->recv_deficit > 0) PostQpRecvWr(qp, qp->recv_deficit, false);
}

// A send of a queue pair that has left the table: its callback still hears
// of the failure and its request goes back to the pool, unless the send was
// already completed (its queue pair destroyed meanwhile).
void PollingWorker::DropOrphanTxWc(const ibv_wc& wc) {
  RdmaWorkRequest* request = ClaimOrphanSend(wc);
  if (request == nullptr) return;
  SendCallback callback = std::move(request->callback);
  rdma_handle_->DeleteWorkRequest(request);
  callback(-1);
}

RdmaWorkRequest* PollingWorker::ClaimOrphanSend(const ibv_wc& wc) {
  if (wc.wr_id == kKeepAliveWrId || wc.wr_id == kLastWqeWrId) return nullptr;
  std::shared_ptr<RdmaQueuePair> qp = rdma_handle_->FindQueuePair(wc.qp_num);
  RdmaWorkRequest* request = qp != nullptr ? qp->ClaimSend(wc.wr_id) : nullptr;
  if (request == nullptr) {
    LOG_DEBUG << "completion of a send no longer outstanding, qp_num: " << wc.qp_num;
  }
  return request;
}

// A receive of a queue pair that has no connection here (yet, or any
// more): the buffer goes back, and the queue pair's own count stays true so
// that its teardown is not left waiting for a receive that already came.
void PollingWorker::DropOrphanRxWc(const ibv_wc& wc) {
  auto* request = reinterpret_cast<RdmaPostRecvWorkRequest*>(wc.wr_id);
  void* buffer = request->buffer;
  rdma_handle_->DeletePostRecvWorkRequest(request);
  Free(buffer);
  if (rdma_handle_->srq() != nullptr) return;
  auto it = recv_qps_.find(wc.qp_num);
  if (it == recv_qps_.end()) return;
  std::shared_ptr<RdmaQueuePair> qp = it->second.lock();
  if (qp == nullptr || qp->qp() == nullptr) {
    recv_qps_.erase(it);
    return;
  }
  --qp->posted_recv_count;
  // A receive that completed well came from a live queue pair, which keeps
  // its depth; a flushed one must not be replaced (it would flush again).
  if (wc.status == IBV_WC_SUCCESS && qp->state() != RdmaQueuePair::kShutdown) {
    PostQpRecvWr(qp, 1, true);
  }
}

void PollingWorker::TrackRecvQp(const std::shared_ptr<RdmaQueuePair>& qp) {
  if (recv_qps_.size() > 2 * (connections_.size() + retiring_.size()) + 64) {
    for (auto it = recv_qps_.begin(); it != recv_qps_.end();) {
      std::shared_ptr<RdmaQueuePair> live = it->second.lock();
      it = live == nullptr || live->qp() == nullptr ? recv_qps_.erase(it) : std::next(it);
    }
  }
  recv_qps_[qp->qp_num()] = qp;
}

void PollingWorker::DoKeepAlive() {
  for (auto& entry : connections_) {
    RdmaConnection* conn = entry.second.get();
    const int ret = conn->DoKeepAlive();
    if (ret != 0) LOG_ERROR << "DoKeepAlive error, ret: " << ret;
    const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
    if (qp != nullptr && qp->recv_deficit > 0 && !conn->IsClosed()) {
      PostQpRecvWr(qp, qp->recv_deficit, false);
    }
  }
}

// ---- the connection table ----

void PollingWorker::SubmitConnection(const std::shared_ptr<RdmaConnection>& conn) {
  if (loop_->RunInLoop([this, conn] { AddConnection(conn); }, false) != 0) {
    LOG_ERROR << "SubmitConnection refused by a stopped worker, qp_num: " << conn->GetQpNum();
  }
}

void PollingWorker::AddConnection(const std::shared_ptr<RdmaConnection>& conn) {
  loop_->AssertInLoopThread();
  const uint32_t qp_num = conn->GetQpNum();
  LOG_INFO << "AddConnection sucessfully worker_name: " << name_ << ", qp_num: " << qp_num
           << ", total_conn: " << connections_.size() << ", ref: " << conn.use_count()
           << ", qpair: " << static_cast<const void*>(conn->queue_pair().get())
           << ", peer addr: " << conn->peer_addr().ToString();
  connections_[qp_num] = conn;
  PrintQpairs();
}

void PollingWorker::DelConnection(uint32_t qp_num) {
  if (!loop_->IsInLoopThread()) {
    loop_->RunInLoop([this, qp_num] { DelConnection(qp_num); }, false);
    return;
  }
  std::shared_ptr<RdmaConnection> conn;
  auto it = connections_.find(qp_num);
  if (it != connections_.end()) {
    conn = it->second;
    connections_.erase(it);
  } else {
    it = retiring_.find(qp_num);
    if (it == retiring_.end()) {
      LOG_ERROR << "Not exist qp, qp_num: " << qp_num;
      return;
    }
    conn = it->second;
    retiring_.erase(it);
  }
  RetireConnection(conn);
  LOG_INFO << "delete connection, qp_num: " << qp_num;
  PrintQpairs();
}

void PollingWorker::DestroyConnectionNow(const std::shared_ptr<RdmaConnection>& conn) {
  loop_->AssertInLoopThread();
  conn->ForceCloseInLoop();
  const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
  if (qp == nullptr || qp->qp() == nullptr) return;
  if (dispatch_depth_ > 0) {
    // The batch being handled may still name it: settle its sends now, the
    // queue pair goes at the end of the dispatch.
    if (qp->outstanding_sends() > 0) {
      SettleSendsNow(conn);
    } else {
      drained_.push_back(conn);
    }
    return;
  }
  BeginDispatch();
  drained_.push_back(conn);
  EndDispatch();
}

void PollingWorker::SettleSendsNow(const std::shared_ptr<RdmaConnection>& conn) {
  loop_->AssertInLoopThread();
  const std::shared_ptr<RdmaQueuePair> qp = conn->queue_pair();
  if (qp == nullptr || qp->qp() == nullptr || qp->outstanding_sends() == 0) return;
  if (!qp->in_error()) {
    LOG_WARN << "qp not in ERROR, destroyed to settle its sends, qp_num: " << qp->qp_num();
  }
  if (dispatch_depth_ == 0) {
    // Nothing polled is pending: the receives it completed are taken
    // (delivered, the shared queue refilled) before the destroy, which
    // discards them, ends the device's hold on the sends' buffers and
    // completes the sends.
    BeginDispatch();
    drained_.push_back(conn);
    EndDispatch();
  } else {
    // Inside completion handling nothing may be handled. Without a shared
    // queue the queue pair goes at once, so the device lets go of the
    // sends' buffers before their owners hear. With one, in ERROR (the
    // device sends nothing more) it goes once the batch is handled and the
    // receives it completed are taken; what the device may still read
    // stays with the requests meanwhile. Not in ERROR, only destroying it
    // stops the device. Destroyed at once, it first has the receives it
    // completed set aside (the destroy would discard them): they are
    // handled, and its own not completed given back from its list, once
    // the batch is.
    if (!qp->in_error() || rdma_handle_->srq() == nullptr) {
      SetReceivesAside();
      qp->DestroyQp();
    }
    drained_.push_back(conn);
  }
  // Still there (in ERROR, or the device refused the destroy): the owner
  // hears now all the same, the requests stay until the device reports
  // them.
  if (qp->qp() != nullptr) qp->AbandonSends();
}

// A connection leaving the table: kept until its queue pair has drained
// when that has not happened yet (already findable while its closed callback
// runs), and closed (its users hear of it).
void PollingWorker::RetireConnection(const std::shared_ptr<RdmaConnection>& conn) {
  const std::shared_ptr<RdmaQueuePair>& qp = conn->queue_pair();
  if (qp != nullptr && qp->qp() != nullptr) retiring_[qp->qp_num()] = conn;
  conn->ForceCloseInLoop();
  conn->set_state(kDisconnected);
}

void PollingWorker::SetConnectionPeerReady(uint32_t qp_num) {
  loop_->RunInLoop([this, qp_num] { SetConnectionPeerReadyInLoop(qp_num); }, true);
}

void PollingWorker::SetConnectionPeerReadyInLoop(uint32_t qp_num) {
  auto it = connections_.find(qp_num);
  if (it == connections_.end()) {
    LOG_ERROR << "Not exist qp, qp_num: " << qp_num;
    return;
  }
  std::shared_ptr<RdmaConnection> conn = it->second;
  conn->ConnectionEstablished();
  LOG_INFO << "SetConnectionPeerReady, qp_num: " << qp_num;
  PrintQpairs();
}

void PollingWorker::UpdateConnectionWithQueuePair(const std::shared_ptr<RdmaQueuePair>& qp,
                                                  bool from_disconnect, const SockAddress& addr) {
  loop_->RunInLoop([this, qp, from_disconnect,
                    addr] { UpdateConnectionWithQueuePairInLoop(qp, from_disconnect, addr); },
                   true);
}

void PollingWorker::UpdateConnectionWithQueuePairInLoop(const std::shared_ptr<RdmaQueuePair>& qp,
                                                        bool from_disconnect,
                                                        const SockAddress& addr) {
  const uint32_t qp_num = qp->qp_num();
  LOG_INFO << "UpdateConnectionWithQueuePair to " << name_ << ", qp_num: " << qp_num
           << ", from_disconnect: " << (from_disconnect ? "1" : "0")
           << ", queue_pair: " << static_cast<const void*>(qp.get());
  auto it = connections_.find(qp_num);
  // The same queue pair, not only the same number (numbers come back).
  if (it == connections_.end() || it->second->queue_pair() != qp) {
    LOG_ERROR << "Can't find connect with qp_num: " << qp_num << ", Maybe it has been destroyed";
    return;
  }
  std::shared_ptr<RdmaConnection> conn = it->second;
  if (!from_disconnect) {
    conn->set_local_addr(addr);
    SetConnectionPeerReadyInLoop(qp_num);
    return;
  }
  switch (conn->state()) {
    case kConnecting:
      LOG_INFO << "rdma connection state is still kConnecting, "
               << "force close it, qp_num: " << qp_num;
      // Not destroyed here: the queue pair goes once its flushes are in.
      connections_.erase(it);
      RetireConnection(conn);
      PrintQpairs();
      break;
    case kConnected:
      LOG_INFO << "rdma connection has connected, "
               << "close tcp connection for rdma is normal";
      break;
    default:
      LOG_INFO << "rdma connection has disconnected";
      break;
  }
}

void PollingWorker::PostLastWqe(uint32_t qp_num) {
  loop_->RunInLoop(
      [this, qp_num] {
        std::shared_ptr<RdmaConnection> conn = FindConnection(qp_num);
        if (conn != nullptr) conn->PostLastWqe();
      },
      true);
}

void PollingWorker::PostLastWqe(const ibv_context* context, uint32_t qp_num) {
  loop_->RunInLoop(
      [this, context, qp_num] {
        // The number is only this device's: another device's event is not
        // ours, whatever our table holds under that number.
        if (rdma_handle_ == nullptr || rdma_handle_->context() != context) return;
        std::shared_ptr<RdmaConnection> conn = FindConnection(qp_num);
        if (conn != nullptr) conn->PostLastWqe();
      },
      true);
}

void PollingWorker::PrintQpairs() {
  if (plinth::Logger::logLevel() > plinth::Logger::INFO) return;
  std::string text;
  for (const auto& entry : connections_) text += std::to_string(entry.first) + " ";
  LOG_INFO << "qpairs in rdma worker: " << text << ", total_size: " << connections_.size();
}

// ---- dropping the device ----

void PollingWorker::ClearRdma() {
  if (rdma_handle_ == nullptr) {
    LOG_WARN << "Begin ClearRdma name: " << name_;
    return;
  }
  ClearRdmaOf(rdma_handle_->generation());
}

void PollingWorker::ClearRdmaOf(uint64_t generation) {
  // Deferred from inside completion handling, and from the callbacks the
  // drop itself runs (it counts as completion handling): the context it
  // was asked for may be gone by then, and another opened in its place.
  if (dispatch_depth_ > 0) {
    loop_->RunNextLoop([this, generation] { ClearRdmaOf(generation); });
    return;
  }
  LOG_WARN << "Begin ClearRdma name: " << name_;
  if (rdma_handle_ == nullptr || rdma_handle_->generation() != generation) return;
  LOG_WARN << "Do ClearRdma name: " << name_;
  BeginDispatch();
  ReleaseRdmaState(true);
  EndDispatch();
}

// Closes every connection (users hear of it: held sends -4, the closed
// callback), hands the completions the device flushed to their owners
// (callbacks -1, buffers back), destroys the queue pairs, gives back the
// receive buffers still posted and only then deletes the device context.
// From the destructor (`notify` false) the loop is gone: nobody is told, and
// buffers go straight back to the pools.
void PollingWorker::ReleaseRdmaState(bool notify) {
  std::vector<std::shared_ptr<RdmaConnection>> all;
  for (auto& entry : connections_) all.push_back(entry.second);
  for (auto& entry : retiring_) all.push_back(entry.second);
  if (notify) {
    for (auto& conn : all) conn->ForceCloseInLoop();
  } else {
    for (auto& conn : all) {
      if (conn->queue_pair() != nullptr) conn->queue_pair()->Shutdown();
      conn->set_state(kDisconnected);
    }
  }
  DrainForClear(notify);
  // Every queue pair of the context, a handshake's too: one left behind
  // would keep the completion queues and the shared receive queue busy. The
  // device may still deliver flushes later (or never): the sends still
  // outstanding complete here, once.
  rdma_handle_->DestroyQueuePairs(notify);
  connections_.clear();
  retiring_.clear();
  recv_qps_.clear();
  drained_.clear();
  early_rx_.clear();  // handled by the drain; none polled since
  all.clear();
  if (rdma_poller_ != nullptr && rdma_poller_->index >= 0) UnregisterPoller(rdma_poller_.get());
  rdma_poller_.reset();
  // Receives still posted: their buffers back to the worker, their requests
  // and headers back to the pools.
  std::vector<RdmaPostRecvWorkRequest*> posted;
  posted.reserve(rdma_handle_->posted_buffers().size());
  for (const auto& entry : rdma_handle_->posted_buffers()) posted.push_back(entry.second);
  for (RdmaPostRecvWorkRequest* request : posted) {
    void* buffer = request->buffer;
    rdma_handle_->DeletePostRecvWorkRequest(request);
    FreeBuffer(buffer);
  }
  delete rdma_handle_;
  rdma_handle_ = nullptr;
  srq_deficit_ = 0;
  std::fill(recv_sges_.begin(), recv_sges_.end(), ibv_sge{});
  std::fill(recv_wrs_.begin(), recv_wrs_.end(), ibv_recv_wr{});
  std::fill(completions_, completions_ + kPollBatch, ibv_wc{});
}

// What the device has completed so far, without reposting: the connections
// are closed and the queues about to go. Flushes the device has not written
// yet are not waited for: destroying the queue pairs settles their sends.
// Without `notify` the requests are only given back (callbacks destroyed
// uncalled).
void PollingWorker::DrainForClear(bool notify) {
  for (;;) {
    const int sent =
        ibv_poll_cq(rdma_handle_->send_cq(), static_cast<int>(kPollBatch), completions_);
    for (int i = 0; i < sent; ++i) {
      const ibv_wc& c = completions_[i];
      std::shared_ptr<RdmaConnection> conn = notify ? FindConnection(c.qp_num) : nullptr;
      bool last = false;
      if (conn != nullptr) {
        conn->HandleTxWc(c, &last);
      } else if (notify) {
        DropOrphanTxWc(c);
      } else if (RdmaWorkRequest* request = ClaimOrphanSend(c)) {
        rdma_handle_->DeleteWorkRequest(request);
      }
    }
    auto take = [this, notify](const ibv_wc& c) {
      std::shared_ptr<RdmaConnection> conn = notify ? FindConnection(c.qp_num) : nullptr;
      if (conn != nullptr) {
        conn->HandleRxWc(c);
      } else if (notify) {
        DropOrphanRxWc(c);
      } else {
        auto* request = reinterpret_cast<RdmaPostRecvWorkRequest*>(c.wr_id);
        void* buffer = request->buffer;
        rdma_handle_->DeletePostRecvWorkRequest(request);
        FreeBuffer(buffer);
      }
    };
    // Receives set aside (by a callback) come before those polled now.
    bool early = false;
    while (!early_rx_.empty()) {
      std::vector<ibv_wc> aside;
      aside.swap(early_rx_);
      for (const ibv_wc& c : aside) take(c);
      early = true;
    }
    const int received =
        ibv_poll_cq(rdma_handle_->recv_cq(), static_cast<int>(kPollBatch), completions_);
    for (int i = 0; i < received; ++i) take(completions_[i]);
    if (sent <= 0 && received <= 0 && !early && early_rx_.empty()) return;
  }
}

void PollingWorker::FreeBuffer(void* ptr) {
  if (loop_ != nullptr) {
    Free(ptr);
    return;
  }
  for (MemoryPool* pool : mem_pools_) {
    if (pool->Free(ptr) == 0) return;
  }
  LOG_ERROR << "receive buffer of no pool of this worker, ptr: " << ptr;
}

}  // namespace tarn
