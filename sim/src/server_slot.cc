#include "server_slot.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/service.h>

#include <vector>

#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"

namespace pyxsim {

namespace {

const char* ShortRoleName(Role role) {
  switch (role) {
    case Role::kVolumeManager:
      return "vm";
    case Role::kBlockMaster:
      return "bm";
    case Role::kBlockServer:
      return "bs";
  }
  return "xx";
}

}  // namespace

ServerSlot::ServerSlot(Role role, int index, FaultTable* faults)
    : role_(role), index_(index), faults_(faults) {
  for (auto& count : counts_) count.store(0, std::memory_order_relaxed);
}

ServerSlot::~ServerSlot() { Stop(); }

void ServerSlot::set_service(std::unique_ptr<google::protobuf::Service> service) {
  service_ = std::move(service);
  descriptor_ = service_->GetDescriptor();
}

void ServerSlot::set_rdma(bool srq, uint32_t recv_depth) {
  std::lock_guard<std::mutex> lock(life_mutex_);
  rdma_ = true;
  rdma_srq_ = srq;
  rdma_recv_depth_ = recv_depth;
}

int ServerSlot::Start(tarn::EventWorker* acceptor, const std::string& ip, bool ipv6,
                      uint16_t port, int workers, uint32_t pool_size, bool busy_poll) {
  std::lock_guard<std::mutex> lock(life_mutex_);
  if (server_) return -1;
  acceptor_ = acceptor;
  ip_ = ip;
  ipv6_ = ipv6;
  workers_ = workers < 1 ? 1 : workers;
  pool_size_ = pool_size;
  busy_poll_ = busy_poll;
  port_.store(port);
  return StartLocked();
}

int ServerSlot::StartLocked() {
  tarn::WorkerOption option;
  option.name_prefix = std::string(ShortRoleName(role_)) + std::to_string(index_) + "-";
  option.obj_pool_size = pool_size_;
  option.busy_poll = busy_poll_ ? 1 : 0;
  if (rdma_) {
    // Answers are built in worker memory, which must be registered with
    // the device to be sent from where it lies.
    option.enable_memory_pool = 1;
    option.enable_rdma = 1;
    option.rdma_option.ip_addr = ip_;
    option.rdma_option.use_srq = rdma_srq_;
    option.rdma_option.recv_depth = rdma_recv_depth_;
  }
  const std::string name = std::string(RoleName(role_)) + "_" + std::to_string(index_);
  auto server = std::make_unique<tarn::RpcServer>(rdma_ ? tarn::kRdma : tarn::kTcp, acceptor_,
                                                  tarn::SockAddress(ip_, port_.load(), ipv6_),
                                                  name, option, nullptr);
  server->AddService(service_.get());
  server->SetWorkerNum(static_cast<uint32_t>(workers_));
  const int ret = server->Start();
  if (ret != 0) {
    LOG_ERROR << "pyxsim: " << name << " cannot listen on " << ip_ << ":" << port_.load();
    return -1;
  }
  port_.store(server->server()->listen_addr().ToPort());
  server_ = std::move(server);
  return 0;
}

int ServerSlot::Stop() {
  std::lock_guard<std::mutex> lock(life_mutex_);
  if (!server_) return -1;
  // From here on a call answers at once. A call running on a worker either
  // ran before that worker's flush (its held answer is flushed) or after it
  // (it sees the flag): both run on the worker's loop.
  stopping_.store(true);
  for (tarn::Worker* worker : server_->worker_colony()->GetAllWorkers()) {
    tarn::Loop* loop = worker->loop();
    loop->RunInLoop([this, loop] { FlushHeld(loop); }, false);
  }
  server_.reset();
  stopping_.store(false);
  return 0;
}

int ServerSlot::Restart() {
  std::lock_guard<std::mutex> lock(life_mutex_);
  if (server_ || acceptor_ == nullptr) return -1;
  return StartLocked();
}

bool ServerSlot::running() const {
  std::lock_guard<std::mutex> lock(life_mutex_);
  return server_ != nullptr;
}

uint64_t ServerSlot::CallCount(const std::string& name) const {
  if (descriptor_ == nullptr) return 0;
  if (name.empty()) {
    uint64_t sum = 0;
    for (const auto& count : counts_) sum += count.load(std::memory_order_relaxed);
    return sum;
  }
  const google::protobuf::MethodDescriptor* method = descriptor_->FindMethodByName(name);
  if (method == nullptr || method->index() >= kMaxMethods) return 0;
  return counts_[method->index()].load(std::memory_order_relaxed);
}

void ServerSlot::ResetCounts() {
  for (auto& count : counts_) count.store(0, std::memory_order_relaxed);
}

bool ServerSlot::Admit(int method, tarn::RpcController* ctrl, google::protobuf::Closure* done,
                       Verdict* verdict) {
  counts_[method].fetch_add(1, std::memory_order_relaxed);
  if (down_.load(std::memory_order_relaxed)) {
    ctrl->conn()->ForceClose();
    Abandon(ctrl, done);
    return false;
  }
  *verdict = faults_->Decide(role_, index_, descriptor_->method(method)->name());
  switch (verdict->kind) {
    case Verdict::kClose:
      ctrl->conn()->ForceClose();
      Abandon(ctrl, done);
      return false;
    case Verdict::kDrop:
      Abandon(ctrl, done);
      return false;
    default:
      return true;
  }
}

void ServerSlot::Abandon(tarn::RpcController* ctrl, google::protobuf::Closure* done) {
  // The closure would send the answer; without it the controller goes back
  // to its pool through the framework's own hold.
  delete done;
  ctrl->set_tarn_hold(false);
}

void ServerSlot::Answer(tarn::RpcController* ctrl, google::protobuf::Closure* done,
                        int delay_ms) {
  if (delay_ms <= 0 || stopping_.load()) {
    done->Run();
    return;
  }
  tarn::Loop* loop = ctrl->conn()->worker()->loop();
  std::lock_guard<std::mutex> lock(held_mutex_);
  const uint64_t id = ++next_held_;
  // The timer runs on this loop, after this call returns.
  tarn::TimerId timer = loop->RunAfter(delay_ms / 1000.0, [this, id] { ReleaseHeld(id); });
  held_.emplace(id, Held{loop, timer, done});
}

void ServerSlot::ReleaseHeld(uint64_t id) {
  google::protobuf::Closure* done = nullptr;
  {
    std::lock_guard<std::mutex> lock(held_mutex_);
    auto it = held_.find(id);
    if (it == held_.end()) return;
    done = it->second.done;
    held_.erase(it);
  }
  done->Run();
}

void ServerSlot::FlushHeld(tarn::Loop* loop) {
  std::vector<Held> due;
  {
    std::lock_guard<std::mutex> lock(held_mutex_);
    for (auto it = held_.begin(); it != held_.end();) {
      if (it->second.loop == loop) {
        due.push_back(it->second);
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Held& held : due) {
    loop->CancelTimer(held.timer);
    held.done->Run();
  }
}

}  // namespace pyxsim
