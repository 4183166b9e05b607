#include "tarn/polling/polling_worker.h"

#include <algorithm>
#include <cstring>

#include "tarn/base/logging.h"

namespace tarn {

PollingWorker::PollingWorker(uint32_t index, const Loop::UserHandleFactory& create,
                             const WorkerOption& option)
    : Worker(index, option, create) {
  std::memset(completions_, 0, sizeof(completions_));
  if (option_.enable_rdma) {
    has_cached_gid_ = false;
    cached_gid_ = ibv_gid{};
    WorkerOption::RdmaOption& rdma = option_.rdma_option;
    if (!rdma.use_srq && rdma.recv_depth > kMaxRecvDepthWithoutSrq) {
      rdma.recv_depth = kMaxRecvDepthWithoutSrq;
    }
    recv_sges_.assign(2 * static_cast<size_t>(rdma.recv_depth), ibv_sge{});
    recv_wrs_.assign(rdma.recv_depth, ibv_recv_wr{});
  }
}

PollingWorker::~PollingWorker() {}

int PollingWorker::Init() {
  LOG_FATAL << "polling worker not built yet";
  return -1;
}

void PollingWorker::Start(const std::string&) {}
void PollingWorker::Stop() {}
int PollingWorker::GetMrKey(void*, uint32_t*, uint32_t*) { return -1; }
int PollingWorker::RegisterMr(void*, size_t) { return -1; }
int PollingWorker::UnregisterMr(void*, size_t) { return -1; }
bool PollingWorker::InitRdma() { return false; }
int PollingWorker::Poll() { return 0; }
void PollingWorker::RegisterPoller(Poller*) {}
void PollingWorker::UnregisterPoller(Poller*) {}
std::shared_ptr<RdmaQueuePair> PollingWorker::NewQueuePair() { return nullptr; }
int PollingWorker::RdmaProcess() { return 0; }
int PollingWorker::SpdkNvmeHandle() { return 0; }
PollingLoop* PollingWorker::polling_loop() const { return nullptr; }

void PollingWorker::set_cached_gid(const ibv_gid& gid) {
  cached_gid_ = gid;
  has_cached_gid_ = std::any_of(gid.raw, gid.raw + sizeof(gid.raw), [](uint8_t b) { return b != 0; });
}

}  // namespace tarn
