// The RDMA transport's worker: one per thread, owning one PollingLoop, its
// memory pools and, with RDMA on, the device context (RdmaHandle) whose
// memory regions cover those pools.
//
// A polling worker never sleeps. Start() spins over a pass that calls every
// registered poller (RDMA completions, NVMe queue pairs), at most one due
// timer and the queued loop tasks, until Stop(). Init(), Start(), Poll(), the
// pollers and the memory-region calls run on the worker's own thread; Stop()
// may be called from any thread and posts to the loop.
#ifndef TARN_POLLING_POLLING_WORKER_H_
#define TARN_POLLING_POLLING_WORKER_H_

#include <infiniband/verbs.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarn/loop.h"
#include "tarn/polling/poller.h"
#include "tarn/worker.h"

namespace tarn {

class PollingLoop;
class RdmaConnection;
class RdmaHandle;
class RdmaQueuePair;
class SockAddress;
struct RdmaWorkRequest;

class PollingWorker : public Worker {
 public:
  // Completions taken from a completion queue per poll.
  static constexpr uint32_t kPollBatch = 24;
  // Without a shared receive queue every queue pair posts its own receives,
  // so the per-worker receive depth is capped at this.
  static constexpr uint32_t kMaxRecvDepthWithoutSrq = 128;

  // Copies the option; with RDMA on, lowers the copy's receive depth as
  // above and allocates the receive arrays. Touches no device.
  PollingWorker(uint32_t index, const Loop::UserHandleFactory& create,
                const WorkerOption& option);
  // Deletes the loop first (its tasks may still use the device), then undoes
  // RDMA: queue pairs, memory regions, the pools' memory, the pools.
  ~PollingWorker() override;

  // Pins the thread (core mask bit `index`, else the NUMA node's CPUs),
  // binds the worker to it, builds the PollingLoop and the first memory pool,
  // with RDMA on the device context, the NVMe devices handed to it, the user
  // handle and the periodic shrink and reports. Any failure ends the process.
  int Init() override;
  // Names the thread and spins over Poll() until Stop(). A second Start on a
  // running worker only logs a warning.
  void Start(const std::string& name) override;
  // Any thread, without waiting: the pass that runs the posted stop is the
  // last. Calling it again is harmless.
  void Stop() override;
  // Forward to the device context's memory-region manager; loop thread only.
  // Without a device context: -1.
  int GetMrKey(void* addr, uint32_t* lkey, uint32_t* rkey) override;
  int RegisterMr(void* addr, size_t len) override;
  int UnregisterMr(void* addr, size_t len) override;

  // Loop thread: opens the device context, registers every memory pool as a
  // memory region and registers the "rdma_poller". false (logged) when the
  // device cannot be opened (no context is kept) or a pool cannot be
  // registered (the context stays).
  bool InitRdma();
  // One pass: every poller in list order, at most one due timer, the queued
  // tasks. Returns the work done.
  int Poll();

  // Loop thread. Register appends; unregister moves the last poller into the
  // removed one's slot, so the list order is not kept.
  void RegisterPoller(Poller* poller);
  void UnregisterPoller(Poller* poller);
  const std::vector<Poller*>& pollers() const { return pollers_; }

  // A new queue pair on the device context; empty without one.
  std::shared_ptr<RdmaQueuePair> NewQueuePair();
  // The "spdk_nvme_qp_poller": completions of the loop's NVMe queue pairs.
  int SpdkNvmeHandle();

  PollingLoop* polling_loop() const;
  RdmaHandle* rdma_handle() const { return rdma_handle_; }
  uint32_t pass_count() const { return pass_count_; }

  // ---- RDMA connections (polling_worker_rdma.cc) ----
  // Loop thread unless said otherwise.

  // The "rdma_poller": both completion queues, 24 completions at a time;
  // every 1024 passes one device event, every 2^25 passes the keepalive
  // round. -1 on a verbs error, 1 when it did work, else 0.
  int RdmaProcess();
  // Post n receives (one worker buffer of the message size each) on the
  // shared receive queue, or on qp's own receive queue (adding to its
  // posted count). With count_failure a shortfall raises the deficit (a
  // replacement that failed); without, what was posted lowers it (a
  // refill). 1 when all n were posted, else 0.
  int PostSrqRecvWr(int n, bool count_failure);
  int PostQpRecvWr(const std::shared_ptr<RdmaQueuePair>& qp, int n, bool count_failure);
  // Dispatch completions to their connections; those of a queue pair no
  // longer in the table still give their buffers back and run their send
  // callbacks (-1).
  void TxWcHandle(ibv_wc* wc, int n);
  void RxWcHandle(ibv_wc* wc, int n);
  // Keepalive write on every connection, and receive refill of every queue
  // pair in deficit.
  void DoKeepAlive();
  // Any thread: AddConnection on the loop, waiting for it.
  void SubmitConnection(const std::shared_ptr<RdmaConnection>& conn);
  // Enters conn under its queue-pair number (replacing an earlier entry).
  void AddConnection(const std::shared_ptr<RdmaConnection>& conn);
  // Any thread, waits: removes the connection, closing it first when it is
  // not closed yet; a queue pair that has not drained keeps it reachable for
  // its last completions.
  void DelConnection(uint32_t qp_num);
  // Loop thread: closes the connection and destroys its queue pair without
  // waiting for the device to drain it (its sends still outstanding
  // complete with -1 here), and removes it from the table. Inside a
  // completion callback the queue pair goes once the completions of the
  // current poll have all been handled.
  void DestroyConnectionNow(const std::shared_ptr<RdmaConnection>& conn);
  // Loop thread, on a closed connection with sends still outstanding: they
  // complete with -1 now, and the queue pair is destroyed. Outside
  // completion handling the receives it has completed are taken first
  // (delivered, the shared queue refilled), then it is destroyed. Inside
  // (a callback), nothing is handled: it is destroyed at once, the
  // receives it completed set aside first and handled (its own not
  // completed given back) once the current poll's completions are;
  // but with a shared receive queue one in ERROR has its sends abandoned
  // (the device sends none of them any more; their requests, headers and
  // registered copies stay until it reports them) and goes once those
  // completions are handled, its completed receives taken first. A queue
  // pair the device refuses to destroy has its sends abandoned too.
  void SettleSendsNow(const std::shared_ptr<RdmaConnection>& conn);
  // Loop thread: destroys a queue pair of this worker's context that no
  // connection owns (a handshake's) and gives back the receives it had
  // posted of its own. One the device refuses to destroy is moved to ERROR,
  // gives them back as their flushes come, and is tried again later.
  void DestroyOrphanQp(const std::shared_ptr<RdmaQueuePair>& qp);
  // Any thread, without waiting: the connection's ConnectionEstablished.
  void SetConnectionPeerReady(uint32_t qp_num);
  // Any thread, without waiting: the client side's handshake result. Not
  // from a disconnect: records addr as the local address and establishes
  // the connection. From a disconnect: a connection still connecting is
  // closed and removed; any other is left alone.
  void UpdateConnectionWithQueuePair(const std::shared_ptr<RdmaQueuePair>& qp,
                                     bool from_disconnect, const SockAddress& addr);
  // Any thread, without waiting: the connection's PostLastWqe, when this
  // worker holds the queue pair. The second form is for a device event:
  // queue-pair numbers are unique per device only, so it acts only when
  // this worker's device context is `context`.
  void PostLastWqe(uint32_t qp_num);
  void PostLastWqe(const ibv_context* context, uint32_t qp_num);
  // After a fatal device event: closes every connection (users hear of it),
  // settles what the device has completed, destroys every queue pair of the
  // context (a handshake's too; sends still outstanding complete with -1),
  // gives back the receive buffers and deletes the device context. Until
  // InitRdma runs again the worker has no device. Asked from inside a
  // completion callback, or from a callback the drop itself runs, it runs
  // at a later loop pass (it polls), and only if the device context is
  // still the one it was asked for.
  void ClearRdma();
  // The same for the context of that generation only: nothing when the
  // worker's context is another (opened again since) or none.
  void ClearRdmaOf(uint64_t generation);
  // INFO line with every queue-pair number of the table.
  void PrintQpairs();
  // The connection of a queue pair: in the table, or removed but still
  // draining. Null when none.
  std::shared_ptr<RdmaConnection> FindConnection(uint32_t qp_num) const;
  // Worker::Free, also once the loop is gone (a worker being destroyed).
  void FreeBuffer(void* ptr);
  size_t connection_count() const { return connections_.size(); }
  size_t retiring_count() const { return retiring_.size(); }
  int32_t srq_deficit() const { return srq_deficit_; }

  // The local GID the worker's last connection used; a device context
  // opened later picks the GID index holding it instead of searching by
  // address. Loop thread.
  bool has_cached_gid() const { return has_cached_gid_; }
  const ibv_gid& cached_gid() const { return cached_gid_; }
  void set_cached_gid(const ibv_gid& gid);

  // Receive posting scratch: 2 x depth scatter entries and depth work
  // requests, zeroed, reused by every post (RDMA on only; else empty).
  ibv_sge* recv_sges() { return recv_sges_.data(); }
  ibv_recv_wr* recv_wrs() { return recv_wrs_.data(); }
  // Completions of one poll, shared by the send and receive queues.
  ibv_wc* completions() { return completions_; }
  // Where a refused post leaves its bad work request.
  ibv_recv_wr** bad_recv_wr() { return &bad_recv_wr_; }
  ibv_send_wr** bad_send_wr() { return &bad_send_wr_; }

 private:
  // Init, with the SPDK environment up: initialises the NVMe devices handed
  // to the worker, gives each a queue pair on the loop's disk front and
  // registers the "spdk_nvme_qp_poller". A device that fails ends the process.
  void AttachSpdkDevices();
  // Undoes InitRdma in the order the device needs (see the destructor).
  void DestroyRdma();
  void RunPassLoop();

  // RDMA connections (polling_worker_rdma.cc).
  uint32_t RecvBufferSize() const;
  int PrepareRecvs(int n);
  void ReleaseRecvs(int from, int to);
  int PostRecvs(RdmaQueuePair* qp, int n, bool count_failure);
  int HandleAsyncEvent();
  void RefillQueuePair(const std::shared_ptr<RdmaConnection>& conn);
  void DropOrphanTxWc(const ibv_wc& wc);
  // The send a completion of a queue pair outside the table names, when it
  // is still outstanding; else null.
  RdmaWorkRequest* ClaimOrphanSend(const ibv_wc& wc);
  void DropOrphanRxWc(const ibv_wc& wc);
  // Before a queue pair is destroyed: handles the receives already
  // completed (destroying it would discard them, and their buffers and, on
  // the shared receive queue, their replacements with them), with those of
  // every other queue pair queued ahead of or among them, in order. Polls:
  // only where no completion is being handled.
  void TakeReceivesBeforeDestroy();
  // Inside completion handling, before a queue pair is destroyed at once:
  // every receive completed so far, whichever queue pair's, is taken off
  // the receive completion queue (destroying it would discard its own),
  // without running anything; they are handled, in order, before anything
  // polled after them (HandleEarlyReceives, and the drop's drain).
  void SetReceivesAside();
  // How many receive completions the receive completion queue can hold
  // right now at most: the receives still posted, and never more than the
  // queue's size. Both take-alls above stop there.
  uint64_t ReceivesQueuedAtMost() const;
  // Handles the receives set aside, if any. Only where a poll could run.
  void HandleEarlyReceives();
  // Completion handling: Begin on entry, End on the way out. The outermost
  // End destroys the queue pairs queued meanwhile (drained_), after every
  // completion already polled has been handled: destroying one earlier
  // would discard completions polled before it, and taking its receives
  // means polling, which must not nest in a completion callback.
  void BeginDispatch() { ++dispatch_depth_; }
  void EndDispatch();
  // Destroys conn's queue pair (when not yet), gives back the receives it
  // still had posted of its own (the device discards their flushes) and
  // removes it from the table.
  void DestroyQueuePairOf(const std::shared_ptr<RdmaConnection>& conn);
  // Receives still listed as posted on qp's own receive queue, given back
  // (its own list: linear in them, not in the worker's).
  void ReleaseQpRecvs(RdmaQueuePair* qp);
  // The device refused to destroy conn's queue pair: tried again after a
  // while, while the context is still this one (as an orphan's once conn
  // is gone).
  void RetryDestroyLater(const std::shared_ptr<RdmaConnection>& conn);
  // Remembers a queue pair that posts its own receives, so that receives
  // completing while it has no connection still count.
  void TrackRecvQp(const std::shared_ptr<RdmaQueuePair>& qp);
  void RetireConnection(const std::shared_ptr<RdmaConnection>& conn);
  void SetConnectionPeerReadyInLoop(uint32_t qp_num);
  void UpdateConnectionWithQueuePairInLoop(const std::shared_ptr<RdmaQueuePair>& qp,
                                           bool from_disconnect, const SockAddress& addr);
  // ClearRdma's work; `notify` false from the destructor, when the loop is
  // gone and nobody may be called back.
  void ReleaseRdmaState(bool notify);
  void DrainForClear(bool notify);

  bool stop_asked_ = false;              // loop thread: ends the pass loop
  std::atomic<bool> stop_posted_{false};  // Stop() has posted its task
  RdmaHandle* rdma_handle_ = nullptr;
  ibv_recv_wr* bad_recv_wr_ = nullptr;
  ibv_send_wr* bad_send_wr_ = nullptr;
  std::vector<ibv_sge> recv_sges_;
  std::vector<ibv_recv_wr> recv_wrs_;
  ibv_wc completions_[kPollBatch];
  std::vector<Poller*> pollers_;
  std::unique_ptr<Poller> rdma_poller_;
  std::unique_ptr<Poller> spdk_poller_;
  uint32_t pass_count_ = 0;
  bool has_cached_gid_ = false;
  ibv_gid cached_gid_{};
  // Receives the shared receive queue is short of (replacements that could
  // not be posted).
  int32_t srq_deficit_ = 0;
  // Local queue-pair number -> connection.
  std::unordered_map<uint32_t, std::shared_ptr<RdmaConnection>> connections_;
  // Removed from the table, queue pair still draining.
  std::unordered_map<uint32_t, std::shared_ptr<RdmaConnection>> retiring_;
  // Queue pairs with receives of their own, by number.
  std::unordered_map<uint32_t, std::weak_ptr<RdmaQueuePair>> recv_qps_;
  // Nesting of completion handling on this thread.
  int dispatch_depth_ = 0;
  // Connections whose queue pair goes when the completion handling ends.
  std::vector<std::shared_ptr<RdmaConnection>> drained_;
  // Receive completions polled early (SetReceivesAside), oldest first.
  std::vector<ibv_wc> early_rx_;
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLING_WORKER_H_
