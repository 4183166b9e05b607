#include "tarn/polling/rdma_queue_pair.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "tarn/base/logging.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_message.h"

namespace tarn {

namespace {

constexpr int kInitMask = IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_ACCESS_FLAGS;
constexpr int kRtrMask = IBV_QP_STATE | IBV_QP_AV | IBV_QP_PATH_MTU | IBV_QP_DEST_QPN |
                         IBV_QP_RQ_PSN | IBV_QP_MAX_DEST_RD_ATOMIC | IBV_QP_MIN_RNR_TIMER;
constexpr int kRtsMask = IBV_QP_STATE | IBV_QP_TIMEOUT | IBV_QP_RETRY_CNT | IBV_QP_RNR_RETRY |
                         IBV_QP_SQ_PSN | IBV_QP_MAX_QP_RD_ATOMIC;
static_assert(kInitMask == 0x39, "INIT mask");
static_assert(kRtrMask == 0x129181, "RTR mask");
static_assert(kRtsMask == 0x12e01, "RTS mask");

constexpr uint8_t kHopLimit = 64;
constexpr uint8_t kMinRnrTimer = 12;

// modify_qp answers a positive errno; keep errno in step so the system-error
// line names the cause.
int Modify(ibv_qp* qp, ibv_qp_attr* attr, int mask) {
  const int ret = ibv_modify_qp(qp, attr, mask);
  if (ret != 0) errno = ret;
  return ret;
}

}  // namespace

RdmaQueuePair::RdmaQueuePair(ibv_qp* qp, RdmaHandle* handle)
    : qp_(qp),
      handle_(handle),
      generation_(NextRdmaGeneration()),
      handle_generation_(handle->generation()),
      qp_num_(qp != nullptr ? qp->qp_num : 0) {
  const WorkerOption::RdmaOption& option = handle_->worker()->option().rdma_option;
  max_msg_size_ = option.max_send_data_size + option.max_send_meta_size;
  if (qp_ == nullptr) {
    init_status_ = EINVAL;
    return;
  }
  ibv_qp_attr attr{};
  ibv_qp_init_attr init_attr{};
  const int ret = ibv_query_qp(qp_, &attr, IBV_QP_CAP, &init_attr);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "ibv_query_qp failed, qp_num: " << qp_num_;
    init_status_ = ret;
    return;
  }
  max_send_wr_ = attr.cap.max_send_wr;
  max_send_sge_ = attr.cap.max_send_sge;
  init_status_ = ModifyToInit();
}

int RdmaQueuePair::ModifyToInit() {
  ibv_qp_attr attr{};
  attr.qp_state = IBV_QPS_INIT;
  attr.pkey_index = 0;
  attr.port_num = handle_->port_id();
  attr.qp_access_flags = IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE |
                         IBV_ACCESS_REMOTE_READ | IBV_ACCESS_REMOTE_ATOMIC;
  const int ret = Modify(qp_, &attr, kInitMask);
  if (ret != 0) LOG_SYSERR << "Failed to modify qp to INIT. err: " << ret;
  return ret;
}

int RdmaQueuePair::ModifyToRtr() {
  ibv_qp_attr attr{};
  attr.qp_state = IBV_QPS_RTR;
  attr.path_mtu = IBV_MTU_1024;
  attr.dest_qp_num = peer_qp_num_;
  attr.rq_psn = 0;
  attr.max_dest_rd_atomic = 1;
  attr.min_rnr_timer = kMinRnrTimer;
  attr.ah_attr.is_global = 1;
  attr.ah_attr.grh.dgid = peer_gid_;
  attr.ah_attr.grh.sgid_index = handle_->gid_index();
  attr.ah_attr.grh.hop_limit = kHopLimit;
  attr.ah_attr.grh.traffic_class = handle_->traffic_class();
  attr.ah_attr.grh.flow_label = 0;
  attr.ah_attr.dlid = peer_lid_;
  attr.ah_attr.sl = 0;
  attr.ah_attr.src_path_bits = 0;
  attr.ah_attr.static_rate = 0;
  attr.ah_attr.port_num = handle_->port_id();
  const int ret = Modify(qp_, &attr, kRtrMask);
  if (ret != 0) LOG_SYSERR << "Failed to modify qp to RTR. err: " << ret;
  return ret;
}

int RdmaQueuePair::ModifyToRts() {
  const WorkerOption::RdmaOption& option = handle_->worker()->option().rdma_option;
  ibv_qp_attr attr{};
  attr.qp_state = IBV_QPS_RTS;
  attr.timeout = static_cast<uint8_t>(option.timeout);
  attr.retry_cnt = static_cast<uint8_t>(option.retry_cnt);
  attr.rnr_retry = option.rnr_retry;
  attr.sq_psn = 0;
  attr.max_rd_atomic = 1;
  const int ret = Modify(qp_, &attr, kRtsMask);
  if (ret != 0) LOG_SYSERR << "Failed to modify qp to RTS. err: " << ret;
  return ret;
}

int RdmaQueuePair::ModifyQpToRts() {
  if (qp_ == nullptr) {
    LOG_ERROR << "ModifyQpToRts on a destroyed qp, qp_num: " << qp_num_;
    return EINVAL;
  }
  int ret = ModifyToRtr();
  if (ret != 0) return ret;
  ret = ModifyToRts();
  if (ret != 0) return ret;
  state_ = kReady;
  if (plinth::Logger::logLevel() <= plinth::Logger::INFO) {
    ibv_qp_attr attr{};
    ibv_qp_init_attr init_attr{};
    if (ibv_query_qp(qp_, &attr, IBV_QP_STATE | IBV_QP_TIMEOUT | IBV_QP_RETRY_CNT |
                                     IBV_QP_RNR_RETRY, &init_attr) == 0) {
      LOG_INFO << "QP Ready, local_qp_num: " << qp_num_ << ", peer_qp_num: " << peer_qp_num_
               << ", qp attr: [timeout: " << static_cast<int>(attr.timeout)
               << ", retry_cnt: " << static_cast<int>(attr.retry_cnt)
               << ", rnr_retry: " << static_cast<int>(attr.rnr_retry)
               << ", state: " << static_cast<int>(attr.qp_state) << "]";
    }
  }
  return 0;
}

void RdmaQueuePair::Shutdown() {
  if (state_ == kShutdown) {
    LOG_INFO << "qp already destroyed, qp_num: " << qp_num_;
    return;
  }
  state_ = kShutdown;
  LOG_INFO << "Before RdmaQueuePair::Shutdown qp_num: " << qp_num_ << ", state: " << state_;
  if (qp_ == nullptr) return;
  ibv_qp_attr attr{};
  attr.qp_state = IBV_QPS_ERR;
  if (Modify(qp_, &attr, IBV_QP_STATE) != 0) {
    LOG_SYSERR << "failed to transition to ERROR state, qp_num: " << qp_num_
               << ", state: " << state_;
    return;
  }
  in_error_ = true;
  LOG_INFO << "After RdmaQueuePair::Shutdown qp_num: " << qp_num_ << ", state: " << state_;
}

RdmaQueuePair::~RdmaQueuePair() {
  // Requests still listed belong to a context that keeps them in its own
  // table: they only leave this list.
  posted_recvs_.Clear();
}

void RdmaQueuePair::UnlistRecv(RdmaPostRecvWorkRequest* request) {
  if (!request->hook.linked()) return;
  auto* list = static_cast<const RecvList*>(request->hook.list);
  const_cast<RecvList*>(list)->Remove(request);
}

int RdmaQueuePair::DestroyQp(bool notify_sends) {
  if (qp_ == nullptr) return 0;
  LOG_INFO << "destroy qp: " << qp_num_;
  const int ret = ibv_destroy_qp(qp_);
  if (ret != 0) {
    // Still the device's: what it holds (sends, receives) stays listed
    // until its flushes come or a later destroy succeeds.
    errno = ret;
    LOG_SYSERR << "ibv_destroy_qp failed, qp_num: " << qp_num_;
    destroy_failed_ = true;
    return ret;
  }
  Forget(notify_sends);
  return 0;
}

void RdmaQueuePair::DestroyQpForGood(bool notify_sends) {
  if (qp_ == nullptr) return;
  if (DestroyQp(notify_sends) == 0 || DestroyQp(notify_sends) == 0) return;
  LOG_ERROR << "qp left to its device, qp_num: " << qp_num_;
  Forget(notify_sends);
}

void RdmaQueuePair::Forget(bool notify_sends) {
  qp_ = nullptr;
  destroy_failed_ = false;
  // Nothing of this queue pair completes any more, whatever the device does
  // with what it still had queued: its sends end here.
  RdmaHandle* handle = handle_;
  CompleteOutstanding(handle, notify_sends);
  // May drop the last reference to this object: nothing after it.
  handle->ForgetQueuePair(this);
}

void RdmaQueuePair::TrackSend(RdmaWorkRequest* request) {
  request->qp_generation = generation_;
  outstanding_.PushBack(request);
}

RdmaWorkRequest* RdmaQueuePair::ClaimSend(uint64_t wr_id) {
  // A destroyed queue pair has nothing outstanding (and its context may be
  // gone).
  if (qp_ == nullptr || wr_id == kKeepAliveWrId || wr_id == kLastWqeWrId) return nullptr;
  auto* request = reinterpret_cast<RdmaWorkRequest*>(wr_id);
  // A slot given back (or taken again by another send) no longer names a
  // send of this queue pair.
  if (!handle_->work_request_pool().InUse(request) || request->qp_generation != generation_) {
    return nullptr;
  }
  outstanding_.Remove(request);
  request->qp_generation = 0;
  return request;
}

void RdmaQueuePair::CompleteOutstanding(RdmaHandle* handle, bool notify) {
  if (!outstanding_.empty()) {
    LOG_INFO << "qp destroyed with sends outstanding, qp_num: " << qp_num_
             << ", sends: " << outstanding_.size();
  }
  // One at a time, oldest first: a callback may post elsewhere.
  while (RdmaWorkRequest* request = outstanding_.PopFront()) {
    request->qp_generation = 0;
    SendCallback callback = std::move(request->callback);
    handle->DeleteWorkRequest(request);
    if (notify) callback(-1);
  }
}

void RdmaQueuePair::AbandonSends() {
  if (outstanding_.empty()) return;
  LOG_INFO << "sends of a qp in ERROR completed before the device reports them, qp_num: "
           << qp_num_ << ", sends: " << outstanding_.size();
  // Taken out first: a callback may post elsewhere, or close more.
  std::vector<SendCallback> callbacks;
  callbacks.reserve(outstanding_.size());
  for (RdmaWorkRequest* request = outstanding_.front(); request != nullptr;
       request = decltype(outstanding_)::next(request)) {
    if (request->callback) callbacks.push_back(std::move(request->callback));
  }
  for (SendCallback& callback : callbacks) callback(-1);
}

uint16_t RdmaQueuePair::lid() const { return handle_->port_attr().lid; }

ibv_gid RdmaQueuePair::gid() const { return handle_->gid(); }

uint32_t RdmaQueuePair::send_depth() const {
  if (max_send_wr_ <= kReservedSendWrs) return 0;
  return std::min(kSendDepth, max_send_wr_ - kReservedSendWrs);
}

}  // namespace tarn
