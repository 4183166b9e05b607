// Reliable-connected transport between the fabric's queue pairs: execution
// of send work requests in order, delivery into the responder's receives,
// receiver-not-ready waits, retry timeouts and the move to ERROR that flushes
// every outstanding work request.  Everything here runs under fabric().mu.
#include <cstring>

#include "fabric.h"

namespace verbs_emu {
namespace internal {
namespace {

enum class Step { kDone, kBlocked, kFailed };

// The receiver-not-ready timer encodings of min_rnr_timer, in milliseconds.
constexpr double kRnrTimerMs[32] = {
    655.36, 0.01,  0.02,  0.03,  0.04,  0.06,   0.08,   0.12,
    0.16,   0.24,  0.32,  0.48,  0.64,  0.96,   1.28,   1.92,
    2.56,   3.84,  5.12,  7.68,  10.24, 15.36,  20.48,  30.72,
    40.96,  61.44, 81.92, 122.88, 163.84, 245.76, 327.68, 491.52};

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// 4.096 us * 2^timeout per attempt, retry_cnt retries after the first.
Clock::duration RetryTimeout(const Qp* qp) {
  double attempt = 4.096e-6 * static_cast<double>(1ULL << (qp->attr.timeout & 31));
  return Seconds(attempt * (qp->attr.retry_cnt + 1) * fabric().time_scale);
}

Clock::duration RnrWait(const Qp* requester, const Qp* responder) {
  double ms = kRnrTimerMs[responder->attr.min_rnr_timer & 31];
  return Seconds(ms / 1000.0 * requester->attr.rnr_retry * fabric().rnr_time_scale);
}

bool Inside(const Mr* mr, uint64_t addr, uint64_t len) {
  uint64_t start = reinterpret_cast<uint64_t>(mr->mr.addr);
  return addr >= start && len <= mr->mr.length && addr - start <= mr->mr.length - len;
}

// A local buffer: the lkey names a region of the queue pair's protection
// domain that holds the whole entry and allows `access`.
bool LocalOk(const Qp* qp, const ibv_sge& s, int access) {
  if (s.length == 0) return true;
  auto it = fabric().lkeys.find(s.lkey);
  if (it == fabric().lkeys.end()) return false;
  const Mr* mr = it->second;
  return mr->pd == qp->pd && Inside(mr, s.addr, s.length) && (mr->access & access) == access;
}

// A remote buffer of the responder, named by rkey.
bool RemoteOk(const Qp* responder, uint32_t rkey, uint64_t addr, uint64_t len, int access) {
  if (len == 0) return true;
  if ((responder->attr.qp_access_flags & access) != static_cast<unsigned>(access)) return false;
  auto it = fabric().rkeys.find(rkey);
  if (it == fabric().rkeys.end()) return false;
  const Mr* mr = it->second;
  return mr->pd == responder->pd && Inside(mr, addr, len) && (mr->access & access) == access;
}

struct Seg {
  char* p;
  uint64_t n;
};

std::vector<Seg> SegsOf(const std::vector<ibv_sge>& sges) {
  std::vector<Seg> out;
  for (const ibv_sge& s : sges) {
    if (s.length > 0) out.push_back({reinterpret_cast<char*>(s.addr), s.length});
  }
  return out;
}

std::vector<Seg> SourceOf(SendWqe& w) {
  if (w.is_inline) {
    if (w.inline_data.empty()) return {};
    return {{w.inline_data.data(), w.inline_data.size()}};
  }
  return SegsOf(w.sges);
}

// Copies min(total of src, total of dst) bytes, segment by segment.
void Copy(const std::vector<Seg>& src, const std::vector<Seg>& dst) {
  size_t si = 0, di = 0;
  uint64_t so = 0, dof = 0;
  while (si < src.size() && di < dst.size()) {
    uint64_t n = std::min(src[si].n - so, dst[di].n - dof);
    std::memmove(dst[di].p + dof, src[si].p + so, n);
    so += n;
    dof += n;
    if (so == src[si].n) ++si, so = 0;
    if (dof == dst[di].n) ++di, dof = 0;
  }
}

uint64_t Total(const SendWqe& w) {
  if (w.is_inline) return w.inline_data.size();
  uint64_t t = 0;
  for (const ibv_sge& s : w.sges) t += s.length;
  return t;
}

// Whether `dev`'s port answers to the address vector: its GID table holds
// the destination GID, or (without a global route) its LID is the
// destination LID.
bool Answers(const Device* dev, uint8_t port_num, const ibv_ah_attr& ah) {
  const PortConfig* port = PortOf(dev, port_num);
  if (port == nullptr) return false;
  if (!ah.is_global) return port->lid == ah.dlid;
  for (const ibv_gid& g : dev->gids[port_num - 1]) {
    if (std::memcmp(g.raw, ah.grh.dgid.raw, 16) == 0) return true;
  }
  return false;
}

// The connected responder when it can be reached right now: both ports up,
// the destination queue pair in RTR or RTS on the device the address vector
// leads to, and connected back to this one (its number and its address
// vector both lead here). Queue-pair numbers are per device, so the number
// alone does not find it.
Qp* FindPeer(const Qp* qp) {
  const Device* dev = ContextOf(qp->qp.context)->device;
  const PortConfig* port = PortOf(dev, qp->attr.port_num);
  if (port == nullptr || port->state != IBV_PORT_ACTIVE) return nullptr;
  for (auto& candidate : fabric().devices) {
    Qp* peer = FindQpOn(candidate.get(), qp->attr.dest_qp_num);
    if (peer == nullptr) continue;
    if (peer->qp.state != IBV_QPS_RTR && peer->qp.state != IBV_QPS_RTS) continue;
    if (peer->attr.dest_qp_num != qp->qp.qp_num) continue;
    const PortConfig* pport = PortOf(candidate.get(), peer->attr.port_num);
    if (pport == nullptr || pport->state != IBV_PORT_ACTIVE) continue;
    if (!Answers(candidate.get(), peer->attr.port_num, qp->attr.ah_attr)) continue;
    if (!Answers(dev, qp->attr.port_num, peer->attr.ah_attr)) continue;
    return peer;
  }
  return nullptr;
}

CqEntry Completion(const Qp* qp, uint64_t wr_id, ibv_wc_status status, ibv_wc_opcode op) {
  CqEntry e;
  std::memset(&e.wc, 0, sizeof(e.wc));
  e.wc.wr_id = wr_id;
  e.wc.status = status;
  e.wc.opcode = op;
  e.wc.qp_num = qp->qp.qp_num;
  e.wc.vendor_err = status == IBV_WC_SUCCESS ? 0 : 0x100 + status;
  return e;
}

// Consumes one receive of the responder for a SEND or a WRITE with
// immediate.  On a receive-side error the responder completes the receive
// in error and *broken is set, so that the caller moves it to ERROR once the
// requester's own completion is queued.
Step Receive(Qp* qp, SendWqe& w, Qp* peer, uint64_t len, ibv_wc_status* status, Qp** broken) {
  std::deque<RecvWqe>& rq = peer->srq != nullptr ? peer->srq->wqes : peer->rq;
  RecvWqe r = std::move(rq.front());
  rq.pop_front();
  bool is_send = w.opcode == IBV_WR_SEND || w.opcode == IBV_WR_SEND_WITH_IMM;
  CqEntry e = Completion(peer, r.wr_id, IBV_WC_SUCCESS,
                         is_send ? IBV_WC_RECV : IBV_WC_RECV_RDMA_WITH_IMM);
  e.recv_slot = peer->srq == nullptr;
  e.wc.src_qp = qp->qp.qp_num;
  uint64_t room = 0;
  bool prot_ok = true;
  for (const ibv_sge& s : r.sges) {
    room += s.length;
    if (is_send && !LocalOk(peer, s, IBV_ACCESS_LOCAL_WRITE)) prot_ok = false;
  }
  if (!prot_ok || (is_send && len > room)) {
    e.wc.status = prot_ok ? IBV_WC_LOC_LEN_ERR : IBV_WC_LOC_PROT_ERR;
    e.wc.vendor_err = 0x100 + e.wc.status;
    PushCqe(peer->recv_cq, e);
    *status = prot_ok ? IBV_WC_REM_INV_REQ_ERR : IBV_WC_REM_OP_ERR;
    *broken = peer;
    return Step::kFailed;
  }
  if (is_send) Copy(SourceOf(w), SegsOf(r.sges));
  e.wc.byte_len = static_cast<uint32_t>(len);
  if (w.opcode == IBV_WR_SEND_WITH_IMM || w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM) {
    e.wc.wc_flags = IBV_WC_WITH_IMM;
    e.wc.imm_data = w.imm;
  }
  PushCqe(peer->recv_cq, e);
  return Step::kDone;
}

// Runs the send work request at the head of the send queue once.
Step Execute(Qp* qp, SendWqe& w, Clock::time_point now, ibv_wc_status* status, Qp** broken) {
  bool is_read = w.opcode == IBV_WR_RDMA_READ;
  if (!w.is_inline) {
    for (const ibv_sge& s : w.sges) {
      if (!LocalOk(qp, s, is_read ? IBV_ACCESS_LOCAL_WRITE : 0)) {
        *status = IBV_WC_LOC_PROT_ERR;
        return Step::kFailed;
      }
    }
  }
  uint64_t len = Total(w);
  const PortConfig* port = PortOf(ContextOf(qp->qp.context)->device, qp->attr.port_num);
  if (port != nullptr && len > port->max_msg_sz) {
    *status = IBV_WC_LOC_LEN_ERR;
    return Step::kFailed;
  }

  Qp* peer = FindPeer(qp);
  if (peer == nullptr) {
    if (!w.waiting_peer) {
      w.waiting_peer = true;
      w.peer_deadline = now + RetryTimeout(qp);
    }
    // timeout 0 retries for ever.
    if (qp->attr.timeout != 0 && now >= w.peer_deadline) {
      *status = IBV_WC_RETRY_EXC_ERR;
      return Step::kFailed;
    }
    return Step::kBlocked;
  }
  w.waiting_peer = false;

  switch (w.opcode) {
    case IBV_WR_RDMA_WRITE:
    case IBV_WR_RDMA_READ: {
      int access = is_read ? IBV_ACCESS_REMOTE_READ : IBV_ACCESS_REMOTE_WRITE;
      if (!RemoteOk(peer, w.rkey, w.remote_addr, len, access)) {
        *status = IBV_WC_REM_ACCESS_ERR;
        return Step::kFailed;
      }
      if (len == 0) return Step::kDone;
      std::vector<Seg> remote = {{reinterpret_cast<char*>(w.remote_addr), len}};
      if (is_read) {
        Copy(remote, SegsOf(w.sges));
      } else {
        Copy(SourceOf(w), remote);
      }
      return Step::kDone;
    }
    default:
      break;
  }

  if (w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM &&
      !RemoteOk(peer, w.rkey, w.remote_addr, len, IBV_ACCESS_REMOTE_WRITE)) {
    *status = IBV_WC_REM_ACCESS_ERR;
    return Step::kFailed;
  }
  bool has_receive = peer->srq != nullptr ? !peer->srq->wqes.empty() : !peer->rq.empty();
  if (!has_receive) {
    if (qp->attr.rnr_retry == 0) {
      *status = IBV_WC_RNR_RETRY_EXC_ERR;
      return Step::kFailed;
    }
    if (!w.waiting_rnr) {
      w.waiting_rnr = true;
      w.rnr_deadline = now + RnrWait(qp, peer);
    }
    // rnr_retry 7 waits for ever.
    if (qp->attr.rnr_retry != 7 && now >= w.rnr_deadline) {
      *status = IBV_WC_RNR_RETRY_EXC_ERR;
      return Step::kFailed;
    }
    return Step::kBlocked;
  }
  w.waiting_rnr = false;
  if (w.opcode == IBV_WR_RDMA_WRITE_WITH_IMM && len > 0) {
    Copy(SourceOf(w), {{reinterpret_cast<char*>(w.remote_addr), len}});
  }
  return Receive(qp, w, peer, len, status, broken);
}

void Unbusy(Qp* qp) {
  Fabric& f = fabric();
  f.busy.erase(qp);
  f.busy_count.store(static_cast<int>(f.busy.size()), std::memory_order_release);
}

}  // namespace

ibv_wc_opcode SendCompletionOpcode(ibv_wr_opcode op) {
  switch (op) {
    case IBV_WR_RDMA_WRITE:
    case IBV_WR_RDMA_WRITE_WITH_IMM:
      return IBV_WC_RDMA_WRITE;
    case IBV_WR_RDMA_READ:
      return IBV_WC_RDMA_READ;
    default:
      return IBV_WC_SEND;
  }
}

void MarkBusy(Qp* qp) {
  Fabric& f = fabric();
  f.busy.insert(qp);
  f.busy_count.store(static_cast<int>(f.busy.size()), std::memory_order_release);
}

void AdvanceQp(Qp* qp, Clock::time_point now) {
  while (qp->qp.state == IBV_QPS_RTS && !qp->sq.empty()) {
    SendWqe w = std::move(qp->sq.front());
    qp->sq.pop_front();
    ibv_wc_status status = IBV_WC_SUCCESS;
    Qp* broken = nullptr;
    Step step = Execute(qp, w, now, &status, &broken);
    if (step == Step::kBlocked) {
      qp->sq.push_front(std::move(w));
      return;
    }
    if (step == Step::kDone) {
      if (w.signaled) {
        CqEntry e = Completion(qp, w.wr_id, IBV_WC_SUCCESS, SendCompletionOpcode(w.opcode));
        e.wc.byte_len = static_cast<uint32_t>(Total(w));
        e.send_slot = true;
        PushCqe(qp->send_cq, e);
      } else {
        --qp->sq_outstanding;
      }
      continue;
    }
    // An error completion is always reported, signalled or not, and the
    // queue pair stops: the rest of its work is flushed.
    CqEntry e = Completion(qp, w.wr_id, status, SendCompletionOpcode(w.opcode));
    e.send_slot = true;
    PushCqe(qp->send_cq, e);
    EnterError(qp);
    if (broken != nullptr) EnterError(broken);
    return;
  }
  Unbusy(qp);
}

void Progress(Clock::time_point now) {
  Fabric& f = fabric();
  if (f.busy.empty()) return;
  std::vector<Qp*> work(f.busy.begin(), f.busy.end());
  for (Qp* qp : work) {
    if (f.busy.count(qp) != 0) AdvanceQp(qp, now);
  }
}

// Flushes are written by the adapter some time later: they become visible on
// a later poll, never inside the call that caused them.
void FlushSend(Qp* qp, const SendWqe& w) {
  CqEntry e = Completion(qp, w.wr_id, IBV_WC_WR_FLUSH_ERR, SendCompletionOpcode(w.opcode));
  e.send_slot = true;
  PushDeferredCqe(qp->send_cq, e);
}

void FlushRecv(Qp* qp, const RecvWqe& w) {
  CqEntry e = Completion(qp, w.wr_id, IBV_WC_WR_FLUSH_ERR, IBV_WC_RECV);
  e.recv_slot = true;
  PushDeferredCqe(qp->recv_cq, e);
}

void EnterError(Qp* qp) {
  if (qp->qp.state == IBV_QPS_ERR) return;
  qp->qp.state = IBV_QPS_ERR;
  qp->attr.qp_state = IBV_QPS_ERR;
  Unbusy(qp);
  while (!qp->sq.empty()) {
    FlushSend(qp, qp->sq.front());
    qp->sq.pop_front();
  }
  if (qp->srq == nullptr) {
    while (!qp->rq.empty()) {
      FlushRecv(qp, qp->rq.front());
      qp->rq.pop_front();
    }
  } else if (!qp->last_wqe_reported) {
    // No receive of the shared queue will complete on this queue pair any more.
    qp->last_wqe_reported = true;
    QueueQpEvent(qp, IBV_EVENT_QP_LAST_WQE_REACHED);
  }
}

}  // namespace internal
}  // namespace verbs_emu
