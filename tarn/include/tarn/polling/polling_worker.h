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
#include <vector>

#include "tarn/loop.h"
#include "tarn/polling/poller.h"
#include "tarn/worker.h"

namespace tarn {

class PollingLoop;
class RdmaHandle;
class RdmaQueuePair;

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
  // The "rdma_poller": RDMA completions. Nothing to poll yet: connections
  // arrive with their completion handling.
  int RdmaProcess();
  // The "spdk_nvme_qp_poller": completions of the loop's NVMe queue pairs.
  int SpdkNvmeHandle();

  PollingLoop* polling_loop() const;
  RdmaHandle* rdma_handle() const { return rdma_handle_; }
  uint32_t pass_count() const { return pass_count_; }

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
};

}  // namespace tarn

#endif  // TARN_POLLING_POLLING_WORKER_H_
