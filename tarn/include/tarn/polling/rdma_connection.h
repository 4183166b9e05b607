// RdmaConnection: a message connection over one reliable-connected queue
// pair of a polling worker.
//
// Every message is one signalled SEND whose first scatter-gather entry is the
// 8-byte RdmaMessageHeader {type 4, payload length}; every receive completion
// delivers one whole message, which the consumer reads in place
// (ReceiveDataZeroCopy) and then owns. Sends are fire-and-forget: the
// completion callback gets 0 when the send completes, or a negative code:
//
//   -1  the post failed, the send completed in error, the message is larger
//       than the peer's receive buffer, or its memory could not be made
//       visible to the device
//   -2  the connection is closed
//   -3  too many scatter-gather entries (one entry is the header's)
//   -4  the connection closed while the send was held back
//   -5  no pooled header or work request left
//
// A failed send is reported twice over: by the return code and by one call of
// the callback with the same code (the callback is optional). A send that is
// held back returns 0 and its callback runs later, exactly once.
//
// States (Connection::state()):
//   -1 new (no queue pair yet), 1 accepted (server side, waiting for the
//   peer's ready), 2 connecting (client side): sends are held in order;
//   3 connected: sends are posted, at most max_depth() in flight on the queue
//   pair, the rest held in order until completions make room;
//   0 closed: final; sends are refused with -2.
//
// Teardown. ForceCloseInLoop moves the queue pair to ERROR, fails the held
// sends (-4) and runs the closed callback; the device then flushes every
// outstanding work request, some time later (callbacks -1, receive buffers
// freed). Once no receive can complete any more (the last-WQE-reached event
// of a shared receive queue, or the last own receive flushed) the worker has
// the connection post the marker (PostLastWqe); the marker's completion is
// the queue pair's last, and only then does the worker destroy the queue
// pair. A queue pair destroyed sooner (the device dropped, the worker going)
// completes the sends the device has not reported with -1 itself; a
// completion that still arrives afterwards is ignored, so each callback runs
// once.
//
// Messages that arrived before a local close are still delivered: the peer
// sent them, and their reader (an answer to a call still waiting, say) may
// still want them. That holds only while the connection's owner (the client
// or server whose callbacks it carries) is there: an owner that lets go of
// the connection, or goes, first cuts its callbacks (CutCallbacks, on this
// connection's loop), and from then on none of them runs again; what still
// arrives is freed unread.
//
// Received messages are trusted only as far as the completion's byte count:
// a header that claims more than arrived, or more than a receive buffer
// holds, closes the connection. A buffer outside every registered memory
// region is copied into worker memory that is registered before it is sent.
//
// Thread affinity: everything runs on the owning worker's loop thread,
// except ForceClose (any thread; it posts).
#ifndef TARN_POLLING_RDMA_CONNECTION_H_
#define TARN_POLLING_RDMA_CONNECTION_H_

#include <infiniband/verbs.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "tarn/connection.h"
#include "tarn/rpc/attachment.h"
#include "tarn/sock_address.h"
#include "tarn/types.h"

namespace tarn {

class PollingWorker;
class RdmaQueuePair;

class RdmaConnection : public Connection {
 public:
  // Entries of the send list: the header and up to 63 data entries.
  static constexpr uint32_t kMaxSendSge = 64;
  // Sends in flight on one queue pair (the queue pair has room beyond this
  // for the keepalive and the marker).
  static constexpr uint32_t kMaxDepth = 256;

  // A send held back while the connection is set up, or while the queue
  // pair has no room.
  struct PendingSge {
    SgEntry sges[kMaxSendSge];
    uint32_t count = 0;
    SendCompleteCallback done;
  };

  // Limits: max_send_sge from the device (at most kMaxSendSge), the data and
  // meta sizes from `option`, max_send_size their sum, max_depth kMaxDepth.
  RdmaConnection(PollingWorker* worker, const std::string& name, int64_t id,
                 const SockAddress& peer, const WorkerOption::RdmaOption& option);
  // Destroys the callbacks of sends still held without calling them (a
  // connection that was closed has none left) and drops the queue pair
  // without destroying it (the worker does that once it has drained).
  ~RdmaConnection() override;

  // Attaches the queue pair and lowers max_send_sge and max_depth to what
  // it was granted.
  void set_queue_pair(const std::shared_ptr<RdmaQueuePair>& qp);
  const std::shared_ptr<RdmaQueuePair>& queue_pair() const { return qp_; }
  // The queue pair's own number (0 without one).
  uint32_t GetQpNum() const;
  PollingWorker* polling_worker() const { return worker_; }

  // ---- Connection ----
  int Init() override { return 0; }
  size_t ReadableLength() override { return current_len_; }
  size_t ReadableLengthOutBuf() override { return static_cast<size_t>(-1); }
  int SendData(const void*, size_t) override { return -1; }
  // See the top of this file.
  int SendSgeZeroCopy(SgEntry* sges, uint32_t count, SendCompleteCallback done) override;
  int ReceiveData(void*, size_t) override { return -1; }
  int ReceiveData(uint32_t, void*, size_t) override { return -1; }
  int ReceiveDataForward(void*, size_t) override { return -1; }
  int OffAvailable() override { return -1; }
  // During the message-read callback: the current message and its length
  // (the length is returned too). The caller then owns the buffer and frees
  // it with Worker::Free on this worker; a message nobody took is freed
  // when the callback returns. -1 outside a delivery.
  int ReceiveDataZeroCopy(void** data, uint32_t* len) override;
  int DrainData(size_t) override { return -1; }
  int RemoveData(void*, size_t) override { return -1; }
  // The handshake completed: state 3, the peer's receive size caps what we
  // send, the established callback, then the held sends in order. Does
  // nothing to a connection that is closed or already established.
  void ConnectionEstablished() override;
  // Any thread: ForceCloseInLoop on the worker's loop.
  void ForceClose() override;
  // False while there is no queue pair; true once closed (state 0) or the
  // queue pair is shut down.
  bool IsClosed() override;
  uint32_t ForwardOff(uint32_t) override { return static_cast<uint32_t>(-1); }
  Worker* worker() override;
  void set_state(int state) override { state_.store(state, std::memory_order_release); }
  int state() override { return state_.load(std::memory_order_acquire); }
  uint32_t my_qp_num() override;
  uint32_t peer_qp_num() override;

  // ---- Called by the worker, on its loop thread ----
  // One send-queue completion of this queue pair. Sets *is_last_wqe when it
  // is the marker's (after which nothing of this queue pair completes). A
  // send no longer outstanding (completed when its queue pair was destroyed)
  // is ignored. 0, or the failed completion's status.
  int HandleTxWc(const ibv_wc& wc, bool* is_last_wqe);
  // One receive completion: delivers the message (also on a connection
  // closed here meanwhile) or, on an error or a malformed message, closes
  // the connection and frees the buffer. 0 when the receive was consumed
  // normally (a replacement should be posted).
  int HandleRxWc(const ibv_wc& wc);
  // Posts one zero-length RDMA write (state 3 only, one at a time); a peer
  // that is gone turns it into an error completion, which closes the
  // connection. 0, or the post's error.
  int DoKeepAlive();
  // Closes the connection if it is not yet, then posts the marker behind
  // every earlier work request of the (errored) queue pair. Once only;
  // false when it could not be posted.
  bool PostLastWqe();
  // Closes now: queue pair to ERROR, state 0, held sends -4, closed
  // callback. Nothing when already closed.
  void ForceCloseInLoop();
  // The owner lets go: none of the four connection callbacks runs again
  // (their targets may be gone). Loop thread; for good. Sends' own
  // completion callbacks are not affected.
  void CutCallbacks() { callbacks_cut_ = true; }
  bool callbacks_cut() const { return callbacks_cut_; }

  // Introspection, loop thread.
  uint32_t sends_in_flight() const { return in_flight_; }
  size_t pending_send_count() const { return pending_.size(); }
  bool last_wqe_posted() const { return last_wqe_posted_; }

 private:
  // Posts now, or fails with the callback run once.
  int PostSend(const SgEntry* sges, uint32_t count, SendCompleteCallback done);
  // Fills send_list_[1..count] with the entries' keys; false when an entry
  // lies outside every registered region.
  bool FillSendList(const SgEntry* sges, uint32_t count);
  // Copies the payload into one registered worker buffer (send_list_[1]);
  // null when none can be had.
  void* CopyToRegistered(const SgEntry* sges, uint32_t count, uint64_t total);
  int Hold(const SgEntry* sges, uint32_t count, SendCompleteCallback done);
  // Posts held sends while connected and the queue pair has room.
  void DrainPending();
  void FailPending(int code);
  std::shared_ptr<Connection> Self() { return shared_from_this(); }
  void LogWcError(const ibv_wc& wc, const char* what) const;

  PollingWorker* worker_;
  std::shared_ptr<RdmaQueuePair> qp_;
  void* current_msg_ = nullptr;
  uint32_t current_len_ = 0;
  bool message_taken_ = false;
  std::atomic<int> state_{-1};
  std::deque<PendingSge> pending_;
  ibv_sge send_list_[kMaxSendSge];
  // Receive buffers are this large; a header claiming more is malformed.
  uint32_t recv_buffer_size_;
  uint32_t in_flight_ = 0;  // sends posted, completion not yet handled
  bool keepalive_in_flight_ = false;
  bool last_wqe_posted_ = false;
  bool draining_ = false;  // DrainPending is on the stack
  bool callbacks_cut_ = false;
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_CONNECTION_H_
