// RdmaHandle: one polling worker's RDMA device context.
//
// What it holds:
//   - the device, its verbs context and protection domain: opened once per
//     process by the first worker on the device and shared through a
//     process-wide table (never closed: other workers may still use them);
//   - the worker's own send and receive completion queues and, with use_srq,
//     its shared receive queue;
//   - the port and GID the worker speaks from: from the option, found by
//     address (ip_addr), or the index holding the worker's cached GID;
//   - the memory-region manager and three fixed pools that the data path
//     takes its per-message objects from (send requests, receive requests,
//     message headers; the header block is registered as one region).
//
// Life: built and Init()ed on the worker's thread by PollingWorker::InitRdma,
// deleted by the worker. A failed Init() leaves nothing behind: no table
// entry for a device it could not finish opening, no completion queue, no
// shared receive queue, no place in workers(); the handle is as constructed.
// The destructor deregisters every region but frees no memory it does not
// own, so the worker may release its pools only after deleting the handle.
//
// Thread affinity: everything on the worker's thread, except PostQpRecvWr
// (posts to the worker's loop) and the static workers() (under the table
// mutex).
#ifndef TARN_POLLING_RDMA_HANDLE_H_
#define TARN_POLLING_RDMA_HANDLE_H_

#include <infiniband/verbs.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarn/base/obj_pool.h"
#include "tarn/polling/rdma_message.h"

namespace tarn {

class MrManager;
class PollingWorker;
class RdmaQueuePair;

// A process-wide number, never the same twice (from 1): the identity of a
// device context or a queue pair, which an address or a queue-pair number
// is not (both come back).
uint64_t NextRdmaGeneration();

// One opened device of the process.
struct RdmaDeviceInfo {
  ibv_device* device = nullptr;
  ibv_context* context = nullptr;
  ibv_pd* pd = nullptr;
};

class RdmaHandle {
 public:
  // Sizes of the pools: N send and N receive requests, 2N headers, N being
  // the option's obj_pool_size.
  static constexpr uint64_t kHeaderBlockAlign = 2ULL << 20;
  static constexpr int kSrqMaxSge = 3;
  static constexpr int kQpMaxRecvSge = 3;

  // Copies device name, port, GID index and traffic class from the worker's
  // option and builds the pools. Touches no device.
  explicit RdmaHandle(PollingWorker* worker);
  ~RdmaHandle();
  RdmaHandle(const RdmaHandle&) = delete;
  RdmaHandle& operator=(const RdmaHandle&) = delete;

  // Opens (or shares) the device, creates the completion queues and the
  // shared receive queue, checks the port, picks the GID, creates the
  // memory-region manager and registers the header block. 0, or negative
  // (logged) with everything undone.
  int Init();
  // Scans every device, port and GID for the option's ip_addr and sets
  // device name, port and GID index to the last match: 1, or -1 (logged).
  int FetchRdmaInfoByIp();

  // A new queue pair in INIT; empty (logged) when the handle has no device,
  // the device refuses the queue pair or the move to INIT fails. The handle
  // keeps it until it is destroyed.
  std::shared_ptr<RdmaQueuePair> NewQueuePair();
  // Every queue pair made here and not destroyed yet, by number (a
  // handshake's too, before any connection owns it).
  size_t queue_pair_count() const { return queue_pairs_.size(); }
  std::shared_ptr<RdmaQueuePair> FindQueuePair(uint32_t qp_num) const;
  // Destroys every queue pair made here (their outstanding sends complete
  // with -1, or uncalled without notify). Before the queues go.
  void DestroyQueuePairs(bool notify);
  // RdmaQueuePair::DestroyQp: the handle lets it go.
  void ForgetQueuePair(const RdmaQueuePair* qp);

  // This context's identity; a context made later never has it.
  uint64_t generation() const { return generation_; }

  // Pool objects; null (logged, the pool's failure count raised) when the
  // pool is exhausted. Loop thread only.
  RdmaMessageHeader* NewMessage(size_t length, uint32_t type);
  void DeleteMessage(RdmaMessageHeader* header);
  RdmaWorkRequest* NewWorkRequest(RdmaMessageHeader* header, SendCallback callback);
  // Gives back the header (when set), destroys the callback uncalled and
  // gives back the request.
  void DeleteWorkRequest(RdmaWorkRequest* request);
  // A request holding a fresh receive header and `buffer`, which joins the
  // posted-buffer set.
  RdmaPostRecvWorkRequest* NewPostRecvWorkRequest(void* buffer);
  void DeletePostRecvWorkRequest(RdmaPostRecvWorkRequest* request);

  // Any thread: with use_srq nothing; otherwise has the worker post its
  // receive depth of receives on qp's own receive queue, and waits for it
  // (PollingWorker::PostQpRecvWr; at once on the worker's own thread).
  void PostQpRecvWr(const std::shared_ptr<RdmaQueuePair>& qp);

  // Every worker with an initialised device context, in order of Init.
  static std::vector<PollingWorker*> workers();
  // Runs fn for each of workers() under the table mutex, so that a worker
  // that leaves (LeaveWorkers) first waits for it: fn may post to the
  // worker's loop, but must not take the table mutex.
  static void ForEachWorker(const std::function<void(PollingWorker*)>& fn);
  // Takes this handle's worker out of workers() (idempotent): from then on
  // no ForEachWorker reaches it. A worker leaves before its loop goes.
  void LeaveWorkers();

  PollingWorker* worker() const { return worker_; }
  MrManager* mr_manager() const { return mr_manager_.get(); }
  const std::string& device_name() const { return device_name_; }
  ibv_device* device() const { return device_; }
  ibv_context* context() const { return context_; }
  ibv_pd* pd() const { return pd_; }
  ibv_cq* send_cq() const { return send_cq_; }
  ibv_cq* recv_cq() const { return recv_cq_; }
  ibv_srq* srq() const { return srq_; }
  const ibv_device_attr& device_attr() const { return device_attr_; }
  const ibv_port_attr& port_attr() const { return port_attr_; }
  uint8_t port_id() const { return port_id_; }
  uint8_t gid_index() const { return gid_index_; }
  const ibv_gid& gid() const { return gid_; }
  uint8_t traffic_class() const { return traffic_class_; }
  uint32_t header_lkey() const { return header_lkey_; }
  uint32_t header_rkey() const { return header_rkey_; }
  // Receive buffers posted right now, with the request each was posted in.
  const std::unordered_map<void*, RdmaPostRecvWorkRequest*>& posted_buffers() const {
    return posted_buffers_;
  }

  // Pool statistics: capacity, free objects, failed takes.
  const plinth::ObjPool<RdmaWorkRequest>& work_request_pool() const { return wr_pool_; }
  const plinth::ObjPool<RdmaPostRecvWorkRequest>& recv_request_pool() const {
    return recv_wr_pool_;
  }
  const plinth::ObjPool<RdmaMessageHeader>& header_pool() const { return header_pool_; }

 private:
  // Process-wide environment the verbs library reads when it lists devices.
  static void SetVerbsEnvironment();
  // Step of Init under the table mutex: the shared device entry, opened when
  // this is the first worker on the device.
  int AttachDevice();
  int OpenDevice(RdmaDeviceInfo* info);
  int CreateQueues();
  int QueryPortAndGid();
  int FindCachedGidIndex();
  int RegisterHeaderBlock();
  // Undoes whatever Init built; safe at any point and more than once.
  void Teardown();
  // The block behind the header pool: start and length, 2 MiB multiples.
  void HeaderBlock(void** start, size_t* length);
  void PostQpRecvWrInLoop(const std::shared_ptr<RdmaQueuePair>& qp);

  static std::mutex mutex_;
  static std::unordered_map<std::string, RdmaDeviceInfo> device_infos_;
  static std::vector<PollingWorker*> workers_;

  std::string device_name_;
  ibv_device* device_ = nullptr;
  ibv_context* context_ = nullptr;
  ibv_device_attr device_attr_{};
  ibv_pd* pd_ = nullptr;
  ibv_cq* send_cq_ = nullptr;
  ibv_cq* recv_cq_ = nullptr;
  ibv_srq* srq_ = nullptr;
  ibv_port_attr port_attr_{};
  uint8_t port_id_;
  ibv_gid gid_{};
  uint8_t gid_index_;
  uint8_t traffic_class_;
  PollingWorker* worker_;
  plinth::ObjPool<RdmaWorkRequest> wr_pool_;
  plinth::ObjPool<RdmaPostRecvWorkRequest> recv_wr_pool_;
  plinth::ObjPool<RdmaMessageHeader> header_pool_;
  uint32_t header_lkey_ = 0;
  uint32_t header_rkey_ = 0;
  std::unique_ptr<MrManager> mr_manager_;
  std::unordered_map<void*, RdmaPostRecvWorkRequest*> posted_buffers_;
  const uint64_t generation_;
  std::unordered_map<uint32_t, std::shared_ptr<RdmaQueuePair>> queue_pairs_;
  bool in_workers_ = false;  // this handle put its worker into workers_
};

}  // namespace tarn

#endif  // TARN_POLLING_RDMA_HANDLE_H_
