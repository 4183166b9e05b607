// RdmaQueuePair: one reliable-connected verbs queue pair of a worker's device
// context, and its walk through the queue-pair states:
//
//   RdmaHandle::NewQueuePair  create, then RESET -> INIT      state kNew
//   ModifyQpToRts             INIT -> RTR -> RTS              state kReady
//   Shutdown                  any -> ERROR (flushes all WRs)  state kShutdown
//   DestroyQp                 the verbs object is destroyed
//
// The handshake fills in the peer's qp number, LID and GID (and its largest
// receive size) before ModifyQpToRts. The send queue is created a little
// deeper than the in-flight depth a connection may use (send_depth()), so the
// keepalive write and the last-WQE marker always find room.
//
// Shared by std::shared_ptr between the connection, the worker's tasks, the
// handshake and the device context that made it, which keeps every queue
// pair it made until DestroyQp (so ClearRdma and the worker's teardown find
// those a handshake still holds). The destructor does not destroy the verbs
// queue pair: the owner does, once its last completion has come back
// (DestroyQp).
//
// Outstanding sends. Every send posted on the queue pair stays listed here
// until its completion is handled. Real adapters write the flush
// completions of a queue pair in ERROR some time later, and discard a
// destroyed queue pair's completions: DestroyQp completes every send still
// listed with -1, and a completion that arrives after that finds its send no
// longer listed and is ignored, so each callback runs exactly once.
//
// Identity. Each queue pair carries a process-wide generation number, and
// the generation of the device context that made it: addresses and
// queue-pair numbers come back, generations never do.
//
// Thread affinity: created and brought to RTS on a handshake thread or the
// worker's thread; afterwards used on the worker's thread only.
#ifndef TARN_POLLING_RDMA_QUEUE_PAIR_H_
#define TARN_POLLING_RDMA_QUEUE_PAIR_H_

#include <infiniband/verbs.h>

#include <cstdint>

#include "tarn/base/intrusive_list.h"
#include "tarn/polling/rdma_message.h"

namespace tarn {

class RdmaHandle;

class RdmaQueuePair {
 public:
  enum State : uint32_t {
    kNew = 0,       // INIT (or RESET when the move to INIT failed)
    kReady = 1,     // RTS reached
    kShutdown = 2,  // moved to ERROR
  };

  // In-flight sends a connection may keep on one queue pair.
  static constexpr uint32_t kSendDepth = 256;
  // Send-queue entries beyond that depth: the keepalive and the marker.
  static constexpr uint32_t kReservedSendWrs = 2;

  // Takes a queue pair created on handle's device, reads the capacities the
  // device granted and moves it to INIT. init_status() tells whether that
  // worked; RdmaHandle::NewQueuePair hands out only queue pairs whose move
  // succeeded.
  RdmaQueuePair(ibv_qp* qp, RdmaHandle* handle);
  ~RdmaQueuePair();
  RdmaQueuePair(const RdmaQueuePair&) = delete;
  RdmaQueuePair& operator=(const RdmaQueuePair&) = delete;

  // 0 once the queue pair is in INIT; else the failing verbs result.
  int init_status() const { return init_status_; }

  // RTR then RTS with the peer values set below. 0, or the failing verbs
  // result (logged); the state stays kNew on failure.
  int ModifyQpToRts();
  // To ERROR, once; a second call only logs.
  void Shutdown();
  // Destroys the verbs queue pair and completes every send still
  // outstanding on it with -1 (with notify_sends false, from a worker
  // whose loop is gone, their callbacks are destroyed uncalled); the
  // device context forgets it. Later calls do nothing. 0, or the verbs
  // result (logged) when the device refused (EBUSY): then nothing changed,
  // the queue pair lives on (its flushes still come) and may be destroyed
  // again later; destroy_failed() tells.
  int DestroyQp(bool notify_sends = true);
  // The device context's last word, going itself: like DestroyQp, but a
  // queue pair the device refuses to destroy is let go all the same (its
  // sends completed, forgotten) after one more try.
  void DestroyQpForGood(bool notify_sends);
  bool destroy_failed() const { return destroy_failed_; }
  // In ERROR (Shutdown moved it there; the device sends nothing more):
  // every send still outstanding has its callback run now with -1, oldest
  // first. The requests stay listed, with the header and any registered
  // copy the device may still read, until the device reports them or the
  // queue pair is destroyed, and then call nobody. Its owner may be about
  // to go and cannot wait for the device.
  void AbandonSends();
  // Shutdown moved the verbs queue pair to ERROR.
  bool in_error() const { return in_error_; }

  // Local values the handshake announces.
  uint16_t lid() const;
  ibv_gid gid() const;

  ibv_qp* qp() const { return qp_; }
  // The context that made it; only valid while qp() is set (a context
  // destroys its queue pairs before it goes). Compare handle_generation()
  // with RdmaHandle::generation() to tell whether a context is that one.
  RdmaHandle* handle() const { return handle_; }
  uint64_t generation() const { return generation_; }
  uint64_t handle_generation() const { return handle_generation_; }

  // Outstanding sends (device context's loop thread). Track links a posted
  // send; Claim unlinks the send a completion names, or answers null when
  // it is not an outstanding send of this queue pair (already completed).
  void TrackSend(RdmaWorkRequest* request);
  RdmaWorkRequest* ClaimSend(uint64_t wr_id);
  uint32_t outstanding_sends() const { return static_cast<uint32_t>(outstanding_.size()); }
  uint32_t qp_num() const { return qp_num_; }
  uint32_t state() const { return state_; }

  uint32_t peer_qp_num() const { return peer_qp_num_; }
  void set_peer_qp_num(uint32_t n) { peer_qp_num_ = n; }
  uint16_t peer_lid() const { return peer_lid_; }
  void set_peer_lid(uint16_t lid) { peer_lid_ = lid; }
  const ibv_gid& peer_gid() const { return peer_gid_; }
  void set_peer_gid(const ibv_gid& gid) { peer_gid_ = gid; }
  uint32_t peer_max_recv_size() const { return peer_max_recv_size_; }
  void set_peer_max_recv_size(uint32_t n) { peer_max_recv_size_ = n; }

  // Granted capacities, read back from the device.
  uint32_t max_send_wr() const { return max_send_wr_; }
  uint32_t max_send_sge() const { return max_send_sge_; }
  // Sends a connection may keep in flight: kSendDepth, or fewer when the
  // device granted less than kSendDepth + kReservedSendWrs entries.
  uint32_t send_depth() const;
  // max_send_data_size + max_send_meta_size of the worker's option.
  uint32_t max_msg_size() const { return max_msg_size_; }

  // Kept by the worker's receive path.
  int32_t recv_deficit = 0;
  int32_t posted_recv_count = 0;

  // Receives posted on its own receive queue and not yet given back, so
  // that a queue pair destroyed early gives back its own without a walk of
  // every receive of the worker. Listed after a successful post; a request
  // going back to the pool leaves the list (UnlistRecv).
  using RecvList =
      plinth::IntrusiveList<RdmaPostRecvWorkRequest, &RdmaPostRecvWorkRequest::hook>;
  void ListRecv(RdmaPostRecvWorkRequest* request) { posted_recvs_.PushBack(request); }
  RecvList& posted_recvs() { return posted_recvs_; }
  // Takes the request off the list of whichever queue pair it is on; none:
  // nothing.
  static void UnlistRecv(RdmaPostRecvWorkRequest* request);

 private:
  int ModifyToInit();
  int ModifyToRtr();
  int ModifyToRts();

  // The verbs queue pair is gone (or given up): sends completed, the
  // context forgets it.
  void Forget(bool notify_sends);
  void CompleteOutstanding(RdmaHandle* handle, bool notify);

  ibv_qp* qp_;
  RdmaHandle* handle_;
  const uint64_t generation_;
  const uint64_t handle_generation_;
  // In posting order.
  plinth::IntrusiveList<RdmaWorkRequest, &RdmaWorkRequest::hook> outstanding_;
  RecvList posted_recvs_;
  uint32_t qp_num_;
  uint32_t peer_qp_num_ = 0;
  uint16_t peer_lid_ = 0;
  ibv_gid peer_gid_{};
  uint32_t max_send_wr_ = 0;
  uint32_t max_send_sge_ = 0;
  uint32_t max_msg_size_ = 0;
  uint32_t peer_max_recv_size_ = 0;
  uint32_t state_ = kNew;
  bool in_error_ = false;
  bool destroy_failed_ = false;
  int init_status_ = 0;
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_QUEUE_PAIR_H_
