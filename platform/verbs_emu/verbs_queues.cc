// Queue entry points of the emulated verbs library: completion queues,
// shared receive queues, queue pairs with their state machine, and the
// posting and polling operations of the context's operation table.
#include <cerrno>
#include <cstring>

#include "fabric.h"
#include "verbs_ops.h"

using namespace verbs_emu::internal;
using verbs_emu::PortConfig;

namespace {

bool IsZeroGid(const ibv_gid& g) {
  static const uint8_t kZero[16] = {};
  return std::memcmp(g.raw, kZero, 16) == 0;
}

const ibv_device_attr& AttrOf(ibv_context* ctx) { return ContextOf(ctx)->device->config.attr; }

// A work request's scatter list: no more entries than the queue takes, and a
// list behind a positive count.
template <typename Wr>
bool BadSges(const Wr* wr, uint32_t max_sge) {
  return wr->num_sge < 0 || static_cast<uint32_t>(wr->num_sge) > max_sge ||
         (wr->num_sge > 0 && wr->sg_list == nullptr);
}

// ---- queue-pair state machine -------------------------------------------

constexpr int kPathOptional = IBV_QP_CUR_STATE | IBV_QP_ACCESS_FLAGS | IBV_QP_MIN_RNR_TIMER |
                              IBV_QP_ALT_PATH | IBV_QP_PATH_MIG_STATE;

// Required and optional attributes of a reliable-connected transition;
// false for a transition that does not exist.
bool TransitionMasks(ibv_qp_state from, ibv_qp_state to, int* required, int* optional) {
  *optional = 0;
  if (to == IBV_QPS_RESET || to == IBV_QPS_ERR) {
    *required = IBV_QP_STATE;
    return true;
  }
  if (from == IBV_QPS_RESET && to == IBV_QPS_INIT) {
    *required = IBV_QP_STATE | IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_ACCESS_FLAGS;
    return true;
  }
  if (from == IBV_QPS_INIT && to == IBV_QPS_INIT) {
    *required = IBV_QP_STATE;
    *optional = IBV_QP_PKEY_INDEX | IBV_QP_PORT | IBV_QP_ACCESS_FLAGS;
    return true;
  }
  if (from == IBV_QPS_INIT && to == IBV_QPS_RTR) {
    *required = IBV_QP_STATE | IBV_QP_AV | IBV_QP_PATH_MTU | IBV_QP_DEST_QPN | IBV_QP_RQ_PSN |
                IBV_QP_MAX_DEST_RD_ATOMIC | IBV_QP_MIN_RNR_TIMER;
    *optional = IBV_QP_ALT_PATH | IBV_QP_ACCESS_FLAGS | IBV_QP_PKEY_INDEX;
    return true;
  }
  if (from == IBV_QPS_RTR && to == IBV_QPS_RTS) {
    *required = IBV_QP_STATE | IBV_QP_TIMEOUT | IBV_QP_RETRY_CNT | IBV_QP_RNR_RETRY |
                IBV_QP_SQ_PSN | IBV_QP_MAX_QP_RD_ATOMIC;
    *optional = kPathOptional;
    return true;
  }
  if (from == IBV_QPS_RTS && to == IBV_QPS_RTS) {
    *required = IBV_QP_STATE;
    *optional = kPathOptional;
    return true;
  }
  return false;
}

int CheckAddress(const Qp* qp, const ibv_ah_attr& ah, uint8_t port_num) {
  const Device* dev = ContextOf(qp->qp.context)->device;
  if (ah.port_num != 0 && ah.port_num != port_num) return EINVAL;
  const PortConfig* port = PortOf(dev, port_num);
  if (port == nullptr || ah.sl > 15) return EINVAL;
  if (port->link_layer == IBV_LINK_LAYER_ETHERNET && !ah.is_global) return EINVAL;
  if (ah.is_global) {
    const std::vector<ibv_gid>& table = dev->gids[port_num - 1];
    if (ah.grh.sgid_index >= table.size() || IsZeroGid(table[ah.grh.sgid_index])) return EINVAL;
    if (IsZeroGid(ah.grh.dgid)) return EINVAL;
  } else if (ah.dlid == 0) {
    return EINVAL;
  }
  return 0;
}

// The attribute values a device would refuse.
int CheckValues(const Qp* qp, const ibv_qp_attr* a, int mask) {
  const Device* dev = ContextOf(qp->qp.context)->device;
  const ibv_device_attr& da = dev->config.attr;
  uint8_t port_num = (mask & IBV_QP_PORT) ? a->port_num : qp->attr.port_num;
  const PortConfig* port = PortOf(dev, port_num);
  if ((mask & IBV_QP_PORT) && port == nullptr) return EINVAL;
  if (mask & IBV_QP_PKEY_INDEX) {
    int pkeys = port != nullptr && port->link_layer == IBV_LINK_LAYER_INFINIBAND ? 128 : 1;
    if (a->pkey_index >= pkeys) return EINVAL;
  }
  const unsigned kAccess = IBV_ACCESS_LOCAL_WRITE | IBV_ACCESS_REMOTE_WRITE |
                           IBV_ACCESS_REMOTE_READ | IBV_ACCESS_REMOTE_ATOMIC | IBV_ACCESS_MW_BIND;
  if ((mask & IBV_QP_ACCESS_FLAGS) && (a->qp_access_flags & ~kAccess) != 0) return EINVAL;
  if (mask & IBV_QP_PATH_MTU) {
    if (port == nullptr || a->path_mtu < IBV_MTU_256 || a->path_mtu > port->max_mtu) return EINVAL;
  }
  if (mask & IBV_QP_AV) {
    int err = CheckAddress(qp, a->ah_attr, port_num);
    if (err != 0) return err;
  }
  if ((mask & IBV_QP_DEST_QPN) && a->dest_qp_num > 0xffffff) return EINVAL;
  if ((mask & IBV_QP_RQ_PSN) && a->rq_psn > 0xffffff) return EINVAL;
  if ((mask & IBV_QP_SQ_PSN) && a->sq_psn > 0xffffff) return EINVAL;
  if ((mask & IBV_QP_MAX_DEST_RD_ATOMIC) && a->max_dest_rd_atomic > da.max_qp_rd_atom) {
    return EINVAL;
  }
  if ((mask & IBV_QP_MAX_QP_RD_ATOMIC) && a->max_rd_atomic > da.max_qp_init_rd_atom) {
    return EINVAL;
  }
  if ((mask & IBV_QP_MIN_RNR_TIMER) && a->min_rnr_timer > 31) return EINVAL;
  if ((mask & IBV_QP_TIMEOUT) && a->timeout > 31) return EINVAL;
  if ((mask & IBV_QP_RETRY_CNT) && a->retry_cnt > 7) return EINVAL;
  if ((mask & IBV_QP_RNR_RETRY) && a->rnr_retry > 7) return EINVAL;
  return 0;
}

void ApplyAttributes(Qp* qp, const ibv_qp_attr* a, int mask) {
  ibv_qp_attr& q = qp->attr;
  if (mask & IBV_QP_PKEY_INDEX) q.pkey_index = a->pkey_index;
  if (mask & IBV_QP_PORT) q.port_num = a->port_num;
  if (mask & IBV_QP_ACCESS_FLAGS) q.qp_access_flags = a->qp_access_flags;
  if (mask & IBV_QP_AV) {
    q.ah_attr = a->ah_attr;
    if (q.ah_attr.port_num == 0) q.ah_attr.port_num = q.port_num;
  }
  if (mask & IBV_QP_PATH_MTU) q.path_mtu = a->path_mtu;
  if (mask & IBV_QP_DEST_QPN) q.dest_qp_num = a->dest_qp_num;
  if (mask & IBV_QP_RQ_PSN) q.rq_psn = a->rq_psn;
  if (mask & IBV_QP_SQ_PSN) q.sq_psn = a->sq_psn;
  if (mask & IBV_QP_MAX_DEST_RD_ATOMIC) q.max_dest_rd_atomic = a->max_dest_rd_atomic;
  if (mask & IBV_QP_MAX_QP_RD_ATOMIC) q.max_rd_atomic = a->max_rd_atomic;
  if (mask & IBV_QP_MIN_RNR_TIMER) q.min_rnr_timer = a->min_rnr_timer;
  if (mask & IBV_QP_TIMEOUT) q.timeout = a->timeout;
  if (mask & IBV_QP_RETRY_CNT) q.retry_cnt = a->retry_cnt;
  if (mask & IBV_QP_RNR_RETRY) q.rnr_retry = a->rnr_retry;
  if (mask & IBV_QP_ALT_PATH) {
    q.alt_ah_attr = a->alt_ah_attr;
    q.alt_port_num = a->alt_port_num;
    q.alt_pkey_index = a->alt_pkey_index;
    q.alt_timeout = a->alt_timeout;
  }
  if (mask & IBV_QP_PATH_MIG_STATE) q.path_mig_state = a->path_mig_state;
}

// Back to RESET: every work request is dropped without a completion and the
// attributes are forgotten.
void Reset(Qp* qp) {
  Fabric& f = fabric();
  f.busy.erase(qp);
  f.busy_count.store(static_cast<int>(f.busy.size()), std::memory_order_release);
  qp->sq.clear();
  qp->rq.clear();
  DiscardCompletions(qp);
  qp->sq_outstanding = 0;
  qp->rq_outstanding = 0;
  qp->last_wqe_reported = false;
  qp->attr = ibv_qp_attr{};
  qp->qp.state = IBV_QPS_RESET;
}

// ---- posting ---------------------------------------------------------------

RecvWqe MakeRecvWqe(const ibv_recv_wr* wr) {
  RecvWqe r;
  r.wr_id = wr->wr_id;
  r.sges.assign(wr->sg_list, wr->sg_list + wr->num_sge);
  return r;
}

// The three queues work requests are posted to.  Each says what it refuses
// (Check), how it takes a request it accepted (Post), and what the fabric
// does once the chain is in (Settle).

struct SendQueue {
  Qp* qp;

  int Check(const ibv_send_wr* wr) const {
    if (qp->qp.state != IBV_QPS_RTS && qp->qp.state != IBV_QPS_ERR) return EINVAL;
    if (BadSges(wr, qp->cap.max_send_sge)) return EINVAL;
    switch (wr->opcode) {
      case IBV_WR_RDMA_WRITE:
      case IBV_WR_RDMA_WRITE_WITH_IMM:
      case IBV_WR_SEND:
      case IBV_WR_SEND_WITH_IMM:
      case IBV_WR_RDMA_READ:
        break;
      default:
        return EINVAL;
    }
    const unsigned kFlags =
        IBV_SEND_FENCE | IBV_SEND_SIGNALED | IBV_SEND_SOLICITED | IBV_SEND_INLINE;
    if ((wr->send_flags & ~kFlags) != 0) return EINVAL;
    if (wr->send_flags & IBV_SEND_INLINE) {
      if (wr->opcode == IBV_WR_RDMA_READ) return EINVAL;
      uint64_t total = 0;
      for (int i = 0; i < wr->num_sge; ++i) total += wr->sg_list[i].length;
      if (total > qp->cap.max_inline_data) return EINVAL;
    }
    if (qp->sq_outstanding >= qp->cap.max_send_wr) return ENOMEM;
    return 0;
  }

  void Post(const ibv_send_wr* wr) const {
    SendWqe w = MakeWqe(wr);
    ++qp->sq_outstanding;
    if (qp->qp.state == IBV_QPS_ERR) {
      FlushSend(qp, w);  // a queue pair in error completes everything flushed
    } else {
      qp->sq.push_back(std::move(w));
      MarkBusy(qp);
    }
  }

  void Settle() const {
    if (fabric().busy.count(qp) != 0) AdvanceQp(qp, Clock::now());
  }

  SendWqe MakeWqe(const ibv_send_wr* wr) const {
    SendWqe w;
    w.wr_id = wr->wr_id;
    w.opcode = wr->opcode;
    w.signaled = qp->sq_sig_all != 0 || (wr->send_flags & IBV_SEND_SIGNALED) != 0;
    w.imm = wr->imm_data;
    w.remote_addr = wr->wr.rdma.remote_addr;
    w.rkey = wr->wr.rdma.rkey;
    w.sges.assign(wr->sg_list, wr->sg_list + wr->num_sge);
    if (wr->send_flags & IBV_SEND_INLINE) {
      // Inline data is read now; the buffers need no region.
      w.is_inline = true;
      for (const ibv_sge& s : w.sges) {
        const char* p = reinterpret_cast<const char*>(s.addr);
        w.inline_data.insert(w.inline_data.end(), p, p + s.length);
      }
    }
    return w;
  }
};

struct RecvQueue {
  Qp* qp;

  int Check(const ibv_recv_wr* wr) const {
    if (qp->srq != nullptr || qp->qp.state == IBV_QPS_RESET) return EINVAL;
    if (BadSges(wr, qp->cap.max_recv_sge)) return EINVAL;
    return qp->rq_outstanding >= qp->cap.max_recv_wr ? ENOMEM : 0;
  }

  void Post(const ibv_recv_wr* wr) const {
    ++qp->rq_outstanding;
    if (qp->qp.state == IBV_QPS_ERR) {
      FlushRecv(qp, MakeRecvWqe(wr));
    } else {
      qp->rq.push_back(MakeRecvWqe(wr));
    }
  }

  void Settle() const { Progress(Clock::now()); }  // a sender may have been waiting
};

struct SharedRecvQueue {
  Srq* srq;

  int Check(const ibv_recv_wr* wr) const {
    if (BadSges(wr, srq->max_sge)) return EINVAL;
    return srq->wqes.size() >= srq->max_wr ? ENOMEM : 0;
  }

  void Post(const ibv_recv_wr* wr) const { srq->wqes.push_back(MakeRecvWqe(wr)); }

  void Settle() const { Progress(Clock::now()); }
};

// Posts a chain of work requests.  An armed failure of `verb` refuses the
// whole chain; otherwise the first request the queue refuses is handed back in
// *bad_wr with its error, and nothing after it is posted.  What went in before
// it stays posted.
template <typename Queue, typename Wr>
int PostChain(const char* verb, const Queue& queue, Wr* wr, Wr** bad_wr) {
  int err;
  if (TakeFailure(verb, &err)) {
    *bad_wr = wr;
    return err;
  }
  std::lock_guard<std::mutex> lock(fabric().mu);
  int result = 0;
  for (; wr != nullptr; wr = wr->next) {
    result = queue.Check(wr);
    if (result != 0) {
      *bad_wr = wr;
      break;
    }
    queue.Post(wr);
  }
  queue.Settle();
  return result;
}

void ReleaseSlot(const Cq* cq, const CqEntry& e) {
  if (!e.send_slot && !e.recv_slot) return;
  Qp* qp = FindQpOn(cq->ctx->device, e.wc.qp_num);
  if (qp == nullptr) return;  // destroyed meanwhile
  if (e.send_slot && qp->sq_outstanding > 0) --qp->sq_outstanding;
  if (e.recv_slot && qp->rq_outstanding > 0) --qp->rq_outstanding;
}

}  // namespace

namespace verbs_emu {
namespace internal {

int EmuPollCq(ibv_cq* cq_, int num_entries, ibv_wc* wc) {
  int err;
  if (TakeFailure("ibv_poll_cq", &err)) return -err;
  if (num_entries < 0) return -EINVAL;
  Fabric& f = fabric();
  Cq* cq = CqOf(cq_);
  // Nothing queued and nothing in transit anywhere: no need for the lock.
  if (f.busy_count.load(std::memory_order_acquire) == 0 &&
      f.deferred_count.load(std::memory_order_acquire) == 0 &&
      cq->size.load(std::memory_order_acquire) == 0) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(f.mu);
  Progress(Clock::now());
  RevealDeferred(cq);
  int n = 0;
  while (n < num_entries && !cq->entries.empty()) {
    const CqEntry& e = cq->entries.front();
    wc[n++] = e.wc;
    ReleaseSlot(cq, e);
    cq->entries.pop_front();
  }
  cq->size.store(static_cast<int>(cq->entries.size()), std::memory_order_release);
  return n;
}

int EmuReqNotifyCq(ibv_cq*, int) {
  int err;
  if (TakeFailure("ibv_req_notify_cq", &err)) return err;
  return 0;  // no completion channels: nothing to arm
}

int EmuPostSend(ibv_qp* qp, ibv_send_wr* wr, ibv_send_wr** bad_wr) {
  return PostChain("ibv_post_send", SendQueue{QpOf(qp)}, wr, bad_wr);
}

int EmuPostRecv(ibv_qp* qp, ibv_recv_wr* wr, ibv_recv_wr** bad_wr) {
  return PostChain("ibv_post_recv", RecvQueue{QpOf(qp)}, wr, bad_wr);
}

int EmuPostSrqRecv(ibv_srq* srq, ibv_recv_wr* wr, ibv_recv_wr** bad_wr) {
  return PostChain("ibv_post_srq_recv", SharedRecvQueue{SrqOf(srq)}, wr, bad_wr);
}

void DestroyQpLocked(Qp* qp) {
  Fabric& f = fabric();
  f.busy.erase(qp);
  f.busy_count.store(static_cast<int>(f.busy.size()), std::memory_order_release);
  ContextOf(qp->qp.context)->device->qps.erase(qp->qp.qp_num);
  f.qp_set.erase(qp);
  // Adapters clean a destroyed queue pair out of its CQs: nothing of it
  // completes any more, whatever was queued.
  DiscardCompletions(qp);
  --qp->pd->users;
  --qp->send_cq->users;
  --qp->recv_cq->users;
  if (qp->srq != nullptr) --qp->srq->users;
  WithdrawEvents(ContextOf(qp->qp.context), &qp->qp);
  qp->sq.clear();
  qp->rq.clear();
  f.retired_qps.emplace_back(qp);
}

}  // namespace internal
}  // namespace verbs_emu

extern "C" {

ibv_cq* ibv_create_cq(ibv_context* context, int cqe, void* cq_context,
                      ibv_comp_channel* channel, int comp_vector) {
  int err;
  if (TakeFailure("ibv_create_cq", &err)) return FailNull<ibv_cq>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Context* ctx = ContextOf(context);
  if (f.contexts.count(ctx) == 0 || cqe < 1 || cqe > AttrOf(context).max_cqe ||
      comp_vector < 0 || comp_vector >= context->num_comp_vectors) {
    return FailNull<ibv_cq>(EINVAL);
  }
  if (channel != nullptr) return FailNull<ibv_cq>(EOPNOTSUPP);  // no completion channels
  auto* cq = new Cq;
  std::memset(&cq->cq, 0, sizeof(cq->cq));
  cq->ctx = ctx;
  cq->capacity = cqe;
  cq->cq.context = context;
  cq->cq.cq_context = cq_context;
  cq->cq.handle = f.next_handle++;
  cq->cq.cqe = cqe;
  f.cqs.insert(cq);
  return &cq->cq;
}

int ibv_destroy_cq(ibv_cq* cq_) {
  int err;
  if (TakeFailure("ibv_destroy_cq", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Cq* cq = CqOf(cq_);
  if (f.cqs.count(cq) == 0) return EINVAL;
  if (cq->users > 0) return EBUSY;
  WithdrawEvents(cq->ctx, &cq->cq);
  DropCqContents(cq);
  f.cqs.erase(cq);
  delete cq;
  return 0;
}

ibv_srq* ibv_create_srq(ibv_pd* pd_, ibv_srq_init_attr* init) {
  int err;
  if (TakeFailure("ibv_create_srq", &err)) return FailNull<ibv_srq>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Pd* pd = PdOf(pd_);
  if (f.pds.count(pd) == 0) return FailNull<ibv_srq>(EINVAL);
  const ibv_device_attr& da = AttrOf(pd_->context);
  const ibv_srq_attr& a = init->attr;
  if (a.max_wr < 1 || a.max_wr > static_cast<uint32_t>(da.max_srq_wr) ||
      a.max_sge > static_cast<uint32_t>(da.max_srq_sge) || a.srq_limit > a.max_wr) {
    return FailNull<ibv_srq>(EINVAL);
  }
  auto* srq = new Srq;
  std::memset(&srq->srq, 0, sizeof(srq->srq));
  srq->pd = pd;
  srq->max_wr = a.max_wr;
  srq->max_sge = a.max_sge;
  srq->srq.context = pd_->context;
  srq->srq.srq_context = init->srq_context;
  srq->srq.pd = pd_;
  srq->srq.handle = f.next_handle++;
  ++pd->users;
  f.srqs.insert(srq);
  return &srq->srq;
}

int ibv_destroy_srq(ibv_srq* srq_) {
  int err;
  if (TakeFailure("ibv_destroy_srq", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Srq* srq = SrqOf(srq_);
  if (f.srqs.count(srq) == 0) return EINVAL;
  if (srq->users > 0) return EBUSY;
  WithdrawEvents(ContextOf(srq->srq.context), &srq->srq);
  --srq->pd->users;
  f.srqs.erase(srq);
  delete srq;
  return 0;
}

int ibv_query_srq(ibv_srq* srq_, ibv_srq_attr* attr) {
  std::lock_guard<std::mutex> lock(fabric().mu);
  Srq* srq = SrqOf(srq_);
  attr->max_wr = srq->max_wr;
  attr->max_sge = srq->max_sge;
  attr->srq_limit = 0;
  return 0;
}

ibv_qp* ibv_create_qp(ibv_pd* pd_, ibv_qp_init_attr* init) {
  int err;
  if (TakeFailure("ibv_create_qp", &err)) return FailNull<ibv_qp>(err);
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Pd* pd = PdOf(pd_);
  if (f.pds.count(pd) == 0) return FailNull<ibv_qp>(EINVAL);
  if (init->qp_type != IBV_QPT_RC) return FailNull<ibv_qp>(EOPNOTSUPP);
  Cq* scq = CqOf(init->send_cq);
  Cq* rcq = CqOf(init->recv_cq);
  Srq* srq = init->srq == nullptr ? nullptr : SrqOf(init->srq);
  if (f.cqs.count(scq) == 0 || f.cqs.count(rcq) == 0 || scq->ctx != pd->ctx ||
      rcq->ctx != pd->ctx || (srq != nullptr && f.srqs.count(srq) == 0)) {
    return FailNull<ibv_qp>(EINVAL);
  }
  const ibv_device_attr& da = AttrOf(pd_->context);
  ibv_qp_cap cap = init->cap;
  if (srq != nullptr) cap.max_recv_wr = cap.max_recv_sge = 0;  // receives come from the SRQ
  if (cap.max_send_wr > static_cast<uint32_t>(da.max_qp_wr) ||
      cap.max_recv_wr > static_cast<uint32_t>(da.max_qp_wr) ||
      cap.max_send_sge > static_cast<uint32_t>(da.max_sge) ||
      cap.max_recv_sge > static_cast<uint32_t>(da.max_sge) || cap.max_inline_data > 256) {
    return FailNull<ibv_qp>(EINVAL);
  }
  if (static_cast<int>(f.qp_set.size()) >= da.max_qp) return FailNull<ibv_qp>(ENOMEM);
  init->cap = cap;  // what the device granted
  auto* qp = new Qp;
  std::memset(&qp->qp, 0, sizeof(qp->qp));
  qp->pd = pd;
  qp->send_cq = scq;
  qp->recv_cq = rcq;
  qp->srq = srq;
  qp->cap = cap;
  qp->sq_sig_all = init->sq_sig_all;
  qp->qp.context = pd_->context;
  qp->qp.qp_context = init->qp_context;
  qp->qp.pd = pd_;
  qp->qp.send_cq = init->send_cq;
  qp->qp.recv_cq = init->recv_cq;
  qp->qp.srq = init->srq;
  qp->qp.handle = f.next_handle++;
  Device* dev = ContextOf(pd_->context)->device;
  qp->qp.qp_num = dev->next_qp_num++ & 0xffffff;
  qp->qp.state = IBV_QPS_RESET;
  qp->qp.qp_type = IBV_QPT_RC;
  ++pd->users;
  ++scq->users;
  ++rcq->users;
  if (srq != nullptr) ++srq->users;
  dev->qps[qp->qp.qp_num] = qp;
  f.qp_set.insert(qp);
  return &qp->qp;
}

int ibv_modify_qp(ibv_qp* qp_, ibv_qp_attr* attr, int attr_mask) {
  int err;
  if (TakeFailure("ibv_modify_qp", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Qp* qp = QpOf(qp_);
  if (f.qp_set.count(qp) == 0 || attr == nullptr || (attr_mask & IBV_QP_STATE) == 0) {
    return EINVAL;
  }
  ibv_qp_state from = qp->qp.state;
  ibv_qp_state to = attr->qp_state;
  int required, optional;
  if (to > IBV_QPS_ERR || !TransitionMasks(from, to, &required, &optional)) return EINVAL;
  if ((attr_mask & required) != required || (attr_mask & ~(required | optional)) != 0) {
    return EINVAL;
  }
  if ((attr_mask & IBV_QP_CUR_STATE) && attr->cur_qp_state != from) return EINVAL;
  int bad = CheckValues(qp, attr, attr_mask);
  if (bad != 0) return bad;

  qp->modifies[to] = verbs_emu::ModifyRecord{attr_mask, *attr};
  if (to == IBV_QPS_RESET) {
    Reset(qp);
    return 0;
  }
  ApplyAttributes(qp, attr, attr_mask);
  if (to == IBV_QPS_ERR) {
    EnterError(qp);
  } else {
    qp->qp.state = to;
    qp->attr.qp_state = to;
  }
  Progress(Clock::now());  // a peer may have been waiting for this one
  return 0;
}

int ibv_query_qp(ibv_qp* qp_, ibv_qp_attr* attr, int, ibv_qp_init_attr* init) {
  int err;
  if (TakeFailure("ibv_query_qp", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Qp* qp = QpOf(qp_);
  if (f.qp_set.count(qp) == 0) return EINVAL;
  *attr = qp->attr;
  attr->qp_state = qp->qp.state;
  attr->cur_qp_state = qp->qp.state;
  attr->cap = qp->cap;
  if (init != nullptr) {
    std::memset(init, 0, sizeof(*init));
    init->qp_context = qp->qp.qp_context;
    init->send_cq = qp->qp.send_cq;
    init->recv_cq = qp->qp.recv_cq;
    init->srq = qp->qp.srq;
    init->cap = qp->cap;
    init->qp_type = IBV_QPT_RC;
    init->sq_sig_all = qp->sq_sig_all;
  }
  return 0;
}

int ibv_destroy_qp(ibv_qp* qp_) {
  int err;
  if (TakeFailure("ibv_destroy_qp", &err)) return err;
  Fabric& f = fabric();
  std::lock_guard<std::mutex> lock(f.mu);
  Qp* qp = QpOf(qp_);
  if (f.qp_set.count(qp) == 0) return EINVAL;
  DestroyQpLocked(qp);
  return 0;
}

}  // extern "C"
