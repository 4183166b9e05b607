#include "tarn/polling/rdma_handle.h"

#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_queue_pair.h"

namespace tarn {

uint64_t NextRdmaGeneration() {
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

std::mutex RdmaHandle::mutex_;
std::unordered_map<std::string, RdmaDeviceInfo> RdmaHandle::device_infos_;
std::vector<PollingWorker*> RdmaHandle::workers_;

namespace {

constexpr int kMaxGidIndex = 256;  // gid_index is one byte

const WorkerOption::RdmaOption& RdmaOptionOf(const PollingWorker* worker) {
  return worker->option().rdma_option;
}

int ObjCount(const PollingWorker* worker) {
  const uint32_t n = worker->option().obj_pool_size;
  return n > static_cast<uint32_t>(INT32_MAX / 2) ? INT32_MAX / 2 : static_cast<int>(n);
}

// Does the GID printed as `text` carry the configured address? IPv4: only a
// v4-mapped GID with exactly that address; IPv6: equal bytes, whatever the
// text form.
bool GidMatches(const char* text, const ibv_gid& gid, const std::string& ip, bool is_v6,
                const in6_addr& want6) {
  if (!is_v6) {
    static const char kMapped[] = "::ffff:";
    const size_t prefix = sizeof(kMapped) - 1;
    return strncmp(text, kMapped, prefix) == 0 && ip == text + prefix;
  }
  return memcmp(gid.raw, want6.s6_addr, sizeof(gid.raw)) == 0;
}

void LogDeviceAttr(const ibv_device_attr& a) {
  LOG_INFO << "device_attr: [fw_ver]" << a.fw_ver << " [node_guid]"
           << static_cast<unsigned long long>(a.node_guid) << " [max_mr_size]"
           << static_cast<unsigned long long>(a.max_mr_size) << " [page_size_cap]"
           << static_cast<unsigned long long>(a.page_size_cap) << " [vendor_id]" << a.vendor_id
           << " [vendor_part_id]" << a.vendor_part_id << " [hw_ver]" << a.hw_ver << " [max_qp]"
           << a.max_qp << " [max_qp_wr]" << a.max_qp_wr << " [device_cap_flags]"
           << a.device_cap_flags << " [max_sge]" << a.max_sge << " [max_cq]" << a.max_cq
           << " [max_cqe]" << a.max_cqe << " [max_mr]" << a.max_mr << " [max_pd]" << a.max_pd
           << " [max_srq]" << a.max_srq << " [max_srq_wr]" << a.max_srq_wr << " [max_srq_sge]"
           << a.max_srq_sge << " [phys_port_cnt]" << static_cast<int>(a.phys_port_cnt);
}

void LogPortAttr(int port, const ibv_port_attr& a) {
  LOG_INFO << "port_attr for " << port << ": [state]" << static_cast<int>(a.state)
           << " [max_mtu]" << static_cast<int>(a.max_mtu) << " [active_mtu]"
           << static_cast<int>(a.active_mtu) << " [gid_tbl_len] " << a.gid_tbl_len << " [lid]"
           << a.lid << " [port_cap_flags] " << a.port_cap_flags << " [max_msg_sz]"
           << a.max_msg_sz << " [sm_lid]" << a.sm_lid << " [subnet_timeout]"
           << static_cast<int>(a.subnet_timeout) << " [active_width]"
           << static_cast<int>(a.active_width) << " [active_speed]"
           << static_cast<int>(a.active_speed) << " [phys_state]"
           << static_cast<int>(a.phys_state) << " [link_layer]"
           << static_cast<int>(a.link_layer);
}

}  // namespace

RdmaHandle::RdmaHandle(PollingWorker* worker)
    : device_name_(RdmaOptionOf(worker).device_name),
      port_id_(RdmaOptionOf(worker).port_id),
      gid_index_(RdmaOptionOf(worker).gid_index),
      traffic_class_(RdmaOptionOf(worker).traffic_class),
      worker_(worker),
      wr_pool_(ObjCount(worker), sizeof(RdmaWorkRequest), 8),
      recv_wr_pool_(ObjCount(worker), sizeof(RdmaPostRecvWorkRequest), 8),
      header_pool_(2 * ObjCount(worker), sizeof(RdmaMessageHeader), kHeaderBlockAlign),
      generation_(NextRdmaGeneration()) {}

RdmaHandle::~RdmaHandle() { Teardown(); }

void RdmaHandle::SetVerbsEnvironment() {
  // The verbs library reads these when it first lists devices, so they must
  // be in place before any list, the address scan's included.
  static std::once_flag once;
  std::call_once(once, [] {
    setenv("RDMAV_FORK_SAFE", "1", 1);
    setenv("RDMAV_HUGEPAGES_SAFE", "1", 1);
  });
}

int RdmaHandle::Init() {
  SetVerbsEnvironment();
  const WorkerOption::RdmaOption& option = RdmaOptionOf(worker_);
  // A cached GID spares the lookup, unless the device is known only by the
  // address: a worker named so opens its device again (after ClearRdma)
  // through the lookup, while the cached GID still picks the index.
  if (!option.ip_addr.empty() && (!worker_->has_cached_gid() || device_name_.empty())) {
    if (FetchRdmaInfoByIp() < 0) {
      LOG_ERROR << "FetchRdmaInfoByIp failed";
      return -1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (AttachDevice() != 0) return -1;
  }
  int ret = 0;
  if ((ret = CreateQueues()) != 0 || (ret = QueryPortAndGid()) != 0 ||
      (ret = RegisterHeaderBlock()) != 0) {
    Teardown();
    return ret < 0 ? ret : -ret;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::find(workers_.begin(), workers_.end(), worker_) == workers_.end()) {
    workers_.push_back(worker_);
    in_workers_ = true;
  }
  return 0;
}

int RdmaHandle::AttachDevice() {
  auto it = device_infos_.find(device_name_);
  if (it == device_infos_.end()) {
    RdmaDeviceInfo info;
    if (OpenDevice(&info) != 0) return -1;
    if (!device_infos_.emplace(device_name_, info).second) {
      LOG_ERROR << "device_infos emplace error";
      ibv_dealloc_pd(info.pd);
      ibv_close_device(info.context);
      return -1;
    }
    it = device_infos_.find(device_name_);
  }
  device_ = it->second.device;
  context_ = it->second.context;
  pd_ = it->second.pd;
  return 0;
}

// Opens the named device completely or not at all: a device that opens but
// cannot be made ready is closed again, so the table never holds it.
int RdmaHandle::OpenDevice(RdmaDeviceInfo* info) {
  ibv_device** list = ibv_get_device_list(nullptr);
  if (list == nullptr) {
    LOG_SYSERR << "ibv_get_device_list failed";
    return -1;
  }
  ibv_device* device = nullptr;
  for (ibv_device** d = list; *d != nullptr; ++d) {
    const char* name = ibv_get_device_name(*d);
    if (name != nullptr && device_name_ == name) {
      device = *d;
      break;
    }
  }
  if (device == nullptr) {
    errno = ENODEV;
    LOG_SYSERR << "device_ is null, device_name: " << device_name_;
    ibv_free_device_list(list);
    return -1;
  }
  ibv_context* context = ibv_open_device(device);
  ibv_free_device_list(list);
  if (context == nullptr) {
    LOG_SYSERR << "ibv_open_device failed, device_name: " << device_name_;
    return -1;
  }
  const int flags = fcntl(context->async_fd, F_GETFL);
  if (flags < 0 || fcntl(context->async_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    LOG_SYSERR << "set nonblocking failed";
    ibv_close_device(context);
    return -1;
  }
  ibv_pd* pd = ibv_alloc_pd(context);
  if (pd == nullptr) {
    LOG_SYSERR << "ibv_alloc_pd failed";
    ibv_close_device(context);
    return -1;
  }
  info->device = device;
  info->context = context;
  info->pd = pd;
  return 0;
}

int RdmaHandle::CreateQueues() {
  const int ret = ibv_query_device(context_, &device_attr_);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "ibv_query_device failed, ret: " << ret;
    return -1;
  }
  LogDeviceAttr(device_attr_);
  recv_cq_ = ibv_create_cq(context_, device_attr_.max_cqe, nullptr, nullptr, 0);
  if (recv_cq_ == nullptr) {
    LOG_SYSERR << "ibv_create_cq failed";
    return -1;
  }
  send_cq_ = ibv_create_cq(context_, device_attr_.max_cqe, nullptr, nullptr, 0);
  if (send_cq_ == nullptr) {
    LOG_SYSERR << "ibv_create_cq failed";
    return -1;
  }
  const WorkerOption::RdmaOption& option = RdmaOptionOf(worker_);
  if (option.use_srq) {
    ibv_srq_init_attr attr{};
    attr.attr.max_wr = option.recv_depth;
    attr.attr.max_sge = kSrqMaxSge;
    attr.attr.srq_limit = 0;
    srq_ = ibv_create_srq(pd_, &attr);
    if (srq_ == nullptr) {
      LOG_SYSERR << "creation of shared receive queue failed";
      return -1;
    }
  }
  return 0;
}

int RdmaHandle::QueryPortAndGid() {
  const int ret = ibv_query_port(context_, port_id_, &port_attr_);
  if (ret != 0) {
    errno = ret;
    LOG_SYSERR << "query port failed";
    return ret;
  }
  if (port_attr_.state != IBV_PORT_ACTIVE) {
    LOG_ERROR << "port state is not active";
    return -1;
  }
  LogPortAttr(port_id_, port_attr_);
  if (!worker_->has_cached_gid()) {
    if (ibv_query_gid(context_, port_id_, gid_index_, &gid_) != 0) {
      LOG_SYSERR << "ibv_query_gid failed";
      return -1;
    }
    return 0;
  }
  return FindCachedGidIndex();
}

// Every index of the table is a candidate, the last one included.
int RdmaHandle::FindCachedGidIndex() {
  const ibv_gid& cached = worker_->cached_gid();
  const int len = std::min(port_attr_.gid_tbl_len, kMaxGidIndex);
  for (int i = 0; i < len; ++i) {
    ibv_gid gid{};
    if (ibv_query_gid(context_, port_id_, i, &gid) != 0) continue;
    if (memcmp(gid.raw, cached.raw, sizeof(gid.raw)) == 0) {
      gid_index_ = static_cast<uint8_t>(i);
      gid_ = gid;
      return 0;
    }
  }
  errno = ENOENT;
  LOG_SYSERR << "each gid_index ibv_query_gid failed";
  return -1;
}

int RdmaHandle::RegisterHeaderBlock() {
  mr_manager_ = std::make_unique<MrManager>(pd_);
  void* start = nullptr;
  size_t length = 0;
  HeaderBlock(&start, &length);
  if (start == nullptr) {
    LOG_ERROR << "msg pool register mr failed, ret: " << -1;
    return -1;
  }
  int ret = mr_manager_->RegisterMr(start, length);
  if (ret != 0) {
    LOG_ERROR << "msg pool register mr failed, ret: " << ret;
    return -1;
  }
  ret = mr_manager_->GetKeyByAddr(start, &header_lkey_, &header_rkey_);
  if (ret != 0) {
    LOG_ERROR << "get mr key for msg pool failed, ret: " << ret;
    return -1;
  }
  return 0;
}

// The pool's block is 2 MiB aligned and a whole number of 2 MiB long, and
// every 2 MiB boundary in it starts a slot: walk down from any slot to the
// first boundary the pool no longer owns.
void RdmaHandle::HeaderBlock(void** start, size_t* length) {
  *start = nullptr;
  *length = 0;
  RdmaMessageHeader* any = header_pool_.Malloc();
  if (any == nullptr) return;
  uintptr_t base = reinterpret_cast<uintptr_t>(any) & ~(kHeaderBlockAlign - 1);
  while (base >= kHeaderBlockAlign &&
         header_pool_.Owns(reinterpret_cast<RdmaMessageHeader*>(base - kHeaderBlockAlign))) {
    base -= kHeaderBlockAlign;
  }
  header_pool_.Free(any);
  const size_t bytes = static_cast<size_t>(header_pool_.capacity()) * header_pool_.stride();
  *start = reinterpret_cast<void*>(base);
  *length = (bytes + kHeaderBlockAlign - 1) / kHeaderBlockAlign * kHeaderBlockAlign;
}

void RdmaHandle::Teardown() {
  // The worker destroys them first, telling their users; whatever is left
  // would keep the queues busy.
  DestroyQueuePairs(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget the shared device so that the next context on it opens it
    // afresh (after a fatal device event the old one is of no use). Only
    // the entry this handle used: a handle that never got that far must
    // not drop another worker's.
    auto it = device_infos_.find(device_name_);
    if (context_ != nullptr && it != device_infos_.end() && it->second.context == context_) {
      device_infos_.erase(it);
    }
  }
  LeaveWorkers();
  // Regions first: the header block's and the worker's pools' memory stays
  // allocated (it is not the manager's) while they are deregistered.
  mr_manager_.reset();
  header_lkey_ = header_rkey_ = 0;
  if (srq_ != nullptr) ibv_destroy_srq(srq_);
  if (send_cq_ != nullptr) ibv_destroy_cq(send_cq_);
  if (recv_cq_ != nullptr) ibv_destroy_cq(recv_cq_);
  srq_ = nullptr;
  send_cq_ = nullptr;
  recv_cq_ = nullptr;
  // The context and the protection domain stay open: other workers' queue
  // pairs and regions may still live on them.
  device_ = nullptr;
  context_ = nullptr;
  pd_ = nullptr;
}

int RdmaHandle::FetchRdmaInfoByIp() {
  SetVerbsEnvironment();
  const std::string ip = RdmaOptionOf(worker_).ip_addr;
  in6_addr want6{};
  const bool is_v6 =
      ip.find(':') != std::string::npos && inet_pton(AF_INET6, ip.c_str(), &want6) == 1;
  int num = 0;
  ibv_device** list = ibv_get_device_list(&num);
  if (list == nullptr) return -1;
  bool found = false;
  for (int d = 0; d < num; ++d) {
    ibv_context* context = ibv_open_device(list[d]);
    if (context == nullptr) continue;
    ibv_device_attr attr{};
    if (ibv_query_device(context, &attr) == 0) {
      for (int port = 1; port <= attr.phys_port_cnt; ++port) {
        ibv_port_attr port_attr{};
        if (ibv_query_port(context, static_cast<uint8_t>(port), &port_attr) != 0) continue;
        const int len = std::min(port_attr.gid_tbl_len, kMaxGidIndex);
        for (int i = 0; i < len; ++i) {
          ibv_gid gid{};
          if (ibv_query_gid(context, static_cast<uint8_t>(port), i, &gid) != 0) continue;
          char text[INET6_ADDRSTRLEN] = {0};
          if (inet_ntop(AF_INET6, gid.raw, text, sizeof(text)) == nullptr) continue;
          if (!GidMatches(text, gid, ip, is_v6, want6)) continue;
          device_name_ = ibv_get_device_name(list[d]);
          port_id_ = static_cast<uint8_t>(port);
          gid_index_ = static_cast<uint8_t>(i);
          found = true;  // the scan goes on: the last match wins
        }
      }
    }
    ibv_close_device(context);
  }
  ibv_free_device_list(list);
  if (!found) {
    LOG_ERROR << "can not found a gid match ip_addr: " << ip
              << " ,please try set port_id, gid_index, device_name";
    return -1;
  }
  LOG_INFO << "found device_name: " << device_name_ << " port_id: " << static_cast<int>(port_id_)
           << " gid_index_: " << static_cast<int>(gid_index_) << " match ip_addr: " << ip;
  return 1;
}

std::shared_ptr<RdmaQueuePair> RdmaHandle::NewQueuePair() {
  if (context_ == nullptr || pd_ == nullptr || send_cq_ == nullptr) {
    LOG_ERROR << "NewQueuePair without an opened device, device_name: " << device_name_;
    return nullptr;
  }
  const WorkerOption::RdmaOption& option = RdmaOptionOf(worker_);
  uint32_t send_wr = RdmaQueuePair::kSendDepth + RdmaQueuePair::kReservedSendWrs;
  if (device_attr_.max_qp_wr > 0) {
    send_wr = std::min(send_wr, static_cast<uint32_t>(device_attr_.max_qp_wr));
  }
  if (send_wr <= RdmaQueuePair::kReservedSendWrs) {
    LOG_ERROR << "ibv_create_qp refused: device max_qp_wr " << device_attr_.max_qp_wr
              << " leaves no send depth";
    return nullptr;
  }
  ibv_qp_init_attr attr{};
  attr.send_cq = send_cq_;
  attr.recv_cq = recv_cq_;
  attr.srq = srq_;
  attr.cap.max_send_wr = send_wr;
  attr.cap.max_send_sge = static_cast<uint32_t>(device_attr_.max_sge);
  attr.cap.max_recv_wr = srq_ != nullptr ? 0 : option.recv_depth;
  attr.cap.max_recv_sge = srq_ != nullptr ? 0 : kQpMaxRecvSge;
  attr.cap.max_inline_data = 0;
  attr.qp_type = IBV_QPT_RC;
  attr.sq_sig_all = 0;
  ibv_qp* qp = ibv_create_qp(pd_, &attr);
  if (qp == nullptr) {
    LOG_SYSERR << "ibv_create_qp failed";
    return nullptr;
  }
  LOG_INFO << "rdma qp created, qp_num: " << qp->qp_num << ", max_send_wr: " << send_wr
           << ", max_recv_wr: " << attr.cap.max_recv_wr
           << ", max_send_sge: " << attr.cap.max_send_sge
           << ", max_recv_sge: " << attr.cap.max_recv_sge;
  auto queue_pair = std::make_shared<RdmaQueuePair>(qp, this);
  if (queue_pair->init_status() != 0) {
    // A queue pair left in RESET can neither connect nor be flushed: give it
    // back now rather than hand it to a connection.
    queue_pair->DestroyQpForGood(true);
    return nullptr;
  }
  queue_pairs_[queue_pair->qp_num()] = queue_pair;
  return queue_pair;
}

std::shared_ptr<RdmaQueuePair> RdmaHandle::FindQueuePair(uint32_t qp_num) const {
  auto it = queue_pairs_.find(qp_num);
  return it != queue_pairs_.end() ? it->second : nullptr;
}

void RdmaHandle::DestroyQueuePairs(bool notify) {
  std::vector<std::shared_ptr<RdmaQueuePair>> all;
  all.reserve(queue_pairs_.size());
  for (auto& entry : queue_pairs_) all.push_back(entry.second);
  for (auto& qp : all) {
    // The receives still listed go back from this context's own table. A
    // queue pair may outlive the context in another thread's hands (a
    // handshake's): once forgotten here, nothing may reach it through
    // those requests, nor it into them.
    qp->posted_recvs().Clear();
    qp->DestroyQpForGood(notify);
  }
}

void RdmaHandle::ForgetQueuePair(const RdmaQueuePair* qp) {
  auto it = queue_pairs_.find(qp->qp_num());
  if (it == queue_pairs_.end() || it->second.get() != qp) return;
  // Out of the table before the reference goes: the queue pair may go with it.
  std::shared_ptr<RdmaQueuePair> last = std::move(it->second);
  queue_pairs_.erase(it);
}

RdmaMessageHeader* RdmaHandle::NewMessage(size_t length, uint32_t type) {
  RdmaMessageHeader* header = header_pool_.Malloc();
  if (header == nullptr) {
    LOG_ERROR << "Malloc Failed!";
    return nullptr;
  }
  header->type = type;
  header->length = static_cast<uint32_t>(length);
  return header;
}

void RdmaHandle::DeleteMessage(RdmaMessageHeader* header) {
  if (header != nullptr) header_pool_.Free(header);
}

RdmaWorkRequest* RdmaHandle::NewWorkRequest(RdmaMessageHeader* header, SendCallback callback) {
  RdmaWorkRequest* request = wr_pool_.Malloc();
  if (request == nullptr) {
    LOG_ERROR << "NewWorkRequest Malloc failed";
    return nullptr;
  }
  request->qp_generation = 0;
  request->hook = plinth::ListHook<RdmaWorkRequest>();
  request->copy = nullptr;
  request->header = header;
  request->callback = std::move(callback);
  return request;
}

void RdmaHandle::DeleteWorkRequest(RdmaWorkRequest* request) {
  if (request == nullptr) return;
  DeleteMessage(request->header);
  request->header = nullptr;
  if (request->copy != nullptr) worker_->FreeBuffer(request->copy);
  request->copy = nullptr;
  request->callback.reset();
  request->qp_generation = 0;
  wr_pool_.Free(request);
}

RdmaPostRecvWorkRequest* RdmaHandle::NewPostRecvWorkRequest(void* buffer) {
  RdmaMessageHeader* header = NewMessage(sizeof(RdmaMessageHeader), RdmaMessageHeader::kReceive);
  if (header == nullptr) {
    LOG_ERROR << "Malloc RdmaMessageHeader failed!";
    return nullptr;
  }
  RdmaPostRecvWorkRequest* request = recv_wr_pool_.Malloc();
  if (request == nullptr) {
    LOG_ERROR << "Malloc RdmaPostRecvWorkRequest failed";
    DeleteMessage(header);
    return nullptr;
  }
  request->header = header;
  request->buffer = buffer;
  request->qp_generation = 0;
  request->hook = plinth::ListHook<RdmaPostRecvWorkRequest>();
  posted_buffers_[buffer] = request;
  return request;
}

void RdmaHandle::DeletePostRecvWorkRequest(RdmaPostRecvWorkRequest* request) {
  if (request == nullptr) return;
  RdmaQueuePair::UnlistRecv(request);
  DeleteMessage(request->header);
  posted_buffers_.erase(request->buffer);
  recv_wr_pool_.Free(request);
}

void RdmaHandle::PostQpRecvWr(const std::shared_ptr<RdmaQueuePair>& qp) {
  if (RdmaOptionOf(worker_).use_srq) return;
  if (worker_->loop() == nullptr) {
    LOG_ERROR << "PostQpRecvWr before the worker has a loop, qp_num: " << qp->qp_num();
    return;
  }
  worker_->loop()->RunInLoop([this, qp] { PostQpRecvWrInLoop(qp); }, false);
}

void RdmaHandle::PostQpRecvWrInLoop(const std::shared_ptr<RdmaQueuePair>& qp) {
  worker_->PostQpRecvWr(qp, static_cast<int>(RdmaOptionOf(worker_).recv_depth), true);
}

std::vector<PollingWorker*> RdmaHandle::workers() {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_;
}

void RdmaHandle::ForEachWorker(const std::function<void(PollingWorker*)>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (PollingWorker* worker : workers_) fn(worker);
}

void RdmaHandle::LeaveWorkers() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!in_workers_) return;
  workers_.erase(std::remove(workers_.begin(), workers_.end(), worker_), workers_.end());
  in_workers_ = false;
}

}  // namespace tarn
