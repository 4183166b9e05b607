#include "tarn/polling/polling_worker.h"

#include <algorithm>
#include <cstring>

#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/disk_io_util.h"
#include "tarn/memory_pool.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_loop.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/polling/rdma_handle.h"
#include "tarn/polling/rdma_queue_pair.h"
#include "tarn/polling/spdk_nvme_device.h"
#include "tarn/polling/spdk_rte.h"
#include "tarn/utils.h"

namespace tarn {

PollingWorker::PollingWorker(uint32_t index, const Loop::UserHandleFactory& create,
                             const WorkerOption& option)
    : Worker(index, option, create) {
  std::memset(completions_, 0, sizeof(completions_));
  if (!option_.enable_rdma) return;
  // Every buffer a work request names must lie in a registered pool.
  option_.enable_memory_pool = 1;
  WorkerOption::RdmaOption& rdma = option_.rdma_option;
  if (!rdma.use_srq && rdma.recv_depth > kMaxRecvDepthWithoutSrq) {
    rdma.recv_depth = kMaxRecvDepthWithoutSrq;
  }
  recv_sges_.assign(2 * static_cast<size_t>(rdma.recv_depth), ibv_sge{});
  recv_wrs_.assign(rdma.recv_depth, ibv_recv_wr{});
}

PollingWorker::~PollingWorker() {
  // Those who keep this worker's pointer learn first that it goes.
  EndLife();
  // Handshake jobs name this worker; none may reach it once it starts going.
  RdmaClientHelper::ForgetWorker(this);
  // Other workers post device events to every worker of the device: this
  // one leaves their list before its loop goes.
  if (rdma_handle_ != nullptr) rdma_handle_->LeaveWorkers();
  // The loop first: its user handle and timers may hold connections and
  // buffers that still use the device and the pools.
  delete loop_;
  loop_ = nullptr;
  if (spdk_poller_ != nullptr && spdk_poller_->index >= 0) UnregisterPoller(spdk_poller_.get());
  DestroyRdma();
  // Only now, with no region left on them, may the pools give their
  // memory back.
  ReleaseMemoryPools();
}

PollingLoop* PollingWorker::polling_loop() const { return static_cast<PollingLoop*>(loop_); }

int PollingWorker::Init() {
  if (IsInited() || loop_ != nullptr) LOG_FATAL << "worker has been inited";
  PinThread();
  BindToThread();
  if (!InitLoop(new PollingLoop(this, create_user_handle_))) return -1;
  if (!CreateFirstMemoryPool()) return -1;
  if (option_.enable_rdma && !InitRdma()) {
    LOG_ERROR << "init rdma failed";
    return -1;
  }
  AttachSpdkDevices();
  loop_->CreateUserHandle();
  ScheduleReports();
  return 0;
}

void PollingWorker::Start(const std::string& name) {
  if (loop_ == nullptr) {
    LOG_ERROR << "worker not inited, cannot run for name: " << name;
    return;
  }
  loop_->AssertInLoopThread();
  if (state() == kRunning) {
    LOG_WARN << "worker is running for name: " << name_
             << ", can not repeated runing for name: " << name;
    return;
  }
  EnterRunning(name);
  RunPassLoop();
  polling_loop()->DrainAndClose();
}

void PollingWorker::RunPassLoop() {
  if (!g_enable_metrics) {
    while (!stop_asked_) Poll();
    return;
  }
  uint64_t last = plinth::rdtsc();
  while (!stop_asked_) {
    int work = Poll();
    uint64_t now = plinth::rdtsc();
    if (work != 0) {
      AddBusyCycles(now - last);
    } else {
      AddIdleCycles(now - last);
    }
    last = now;
  }
}

void PollingWorker::Stop() {
  if (stop_posted_.exchange(true)) return;
  if (loop_ == nullptr) {
    SetState(kStopping);
    return;
  }
  loop_->RunInLoop(
      [this] {
        stop_asked_ = true;
        SetState(kStopping);
      },
      true);
}

int PollingWorker::Poll() {
  int work = 0;
  // By index: a poller may unregister itself (or another) while it runs.
  for (size_t i = 0; i < pollers_.size(); ++i) work += pollers_[i]->fn();
  PollingLoop* loop = polling_loop();
  work += loop->DoExpiredTasks();
  work += loop->DoPendingTasks();
  ++pass_count_;
  return work;
}

void PollingWorker::RegisterPoller(Poller* poller) {
  poller->index = static_cast<int32_t>(pollers_.size());
  pollers_.push_back(poller);
}

void PollingWorker::UnregisterPoller(Poller* poller) {
  int32_t index = poller->index;
  if (index < 0 || static_cast<size_t>(index) >= pollers_.size() || pollers_[index] != poller) {
    LOG_ERROR << "poller " << poller->name << " is not registered";
    return;
  }
  Poller* last = pollers_.back();
  pollers_[index] = last;
  last->index = index;
  pollers_.pop_back();
  poller->index = -1;
}

// ---- RDMA ----

bool PollingWorker::InitRdma() {
  LOG_INFO << "Begin InitRdma";
  if (rdma_handle_ != nullptr) return true;
  RdmaHandle* handle = new RdmaHandle(this);
  int ret = handle->Init();
  if (ret != 0) {
    LOG_ERROR << "init rdma handle failed, ret: " << ret;
    delete handle;
    return false;
  }
  for (MemoryPool* pool : mem_pools_) {
    if (pool->size() == 0) continue;  // no slab region: nothing to register
    ret = handle->mr_manager()->RegisterMr(pool->base_ptr(), pool->size());
    if (ret != 0) {
      LOG_ERROR << "memory pool register mr failed, ret: " << ret;
      // A half-registered context would fail every send from the pools
      // left out; drop it so that a later InitRdma starts afresh.
      delete handle;
      return false;
    }
  }
  rdma_handle_ = handle;
  if (handle->srq() != nullptr) {
    PostSrqRecvWr(static_cast<int>(option_.rdma_option.recv_depth), true);
  }
  if (rdma_poller_ != nullptr && rdma_poller_->index >= 0) UnregisterPoller(rdma_poller_.get());
  rdma_poller_.reset(new Poller("rdma_poller", [this] { return RdmaProcess(); }));
  RegisterPoller(rdma_poller_.get());
  return true;
}

void PollingWorker::DestroyRdma() {
  // Queue pairs go first (with the connections still in the table), then
  // the regions with the context, and the pools' memory only after that
  // (the destructor).
  if (rdma_handle_ != nullptr) {
    if (!connections_.empty()) {
      LOG_WARN << "worker " << name_ << " destroyed with " << connections_.size()
               << " rdma connections left";
    }
    ReleaseRdmaState(false);
  }
  if (rdma_poller_ != nullptr && rdma_poller_->index >= 0) UnregisterPoller(rdma_poller_.get());
  connections_.clear();
  retiring_.clear();
}

std::shared_ptr<RdmaQueuePair> PollingWorker::NewQueuePair() {
  if (rdma_handle_ == nullptr) return nullptr;
  return rdma_handle_->NewQueuePair();
}

int PollingWorker::GetMrKey(void* addr, uint32_t* lkey, uint32_t* rkey) {
  loop_->AssertInLoopThread();
  if (rdma_handle_ == nullptr) return -1;
  return rdma_handle_->mr_manager()->GetKeyByAddr(addr, lkey, rkey);
}

int PollingWorker::RegisterMr(void* addr, size_t len) {
  loop_->AssertInLoopThread();
  if (rdma_handle_ == nullptr) return -1;
  return rdma_handle_->mr_manager()->RegisterMr(addr, len);
}

int PollingWorker::UnregisterMr(void* addr, size_t len) {
  loop_->AssertInLoopThread();
  if (rdma_handle_ == nullptr) return -1;
  return rdma_handle_->mr_manager()->UnregisterMr(addr, len);
}

// ---- NVMe ----

void PollingWorker::AttachSpdkDevices() {
  if (!g_spdk_env_inited.load() || spdk_devs_.empty()) return;
  for (const auto& entry : spdk_devs_) {
    if (entry.second->Init() != 0) LOG_FATAL << "spdk nvme init failed.";
    loop_->disk_io()->AddSpdkNvmeUtil(entry.second);
  }
  spdk_poller_.reset(new Poller("spdk_nvme_qp_poller", [this] { return SpdkNvmeHandle(); }));
  RegisterPoller(spdk_poller_.get());
}

int PollingWorker::SpdkNvmeHandle() { return loop_->disk_io()->SpdkPoll(); }

void PollingWorker::set_cached_gid(const ibv_gid& gid) {
  cached_gid_ = gid;
  has_cached_gid_ =
      std::any_of(gid.raw, gid.raw + sizeof(gid.raw), [](uint8_t b) { return b != 0; });
}

}  // namespace tarn
