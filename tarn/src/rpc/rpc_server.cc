#include "tarn/rpc/rpc_server.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/service.h>

#include <chrono>
#include <thread>

#include "bvar/latency_recorder.h"
#include "policy/h2_context.h"
#include "rpc/server_calls.h"
#include "tarn/base/logging.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_server.h"
#include "tarn/loop.h"
#include "tarn/policy/h2_proto.h"
#include "tarn/policy/tarn_proto.h"
#include "tarn/polling/rdma_server.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"

namespace tarn {

RpcServer::RpcServer(Transport transport, EventWorker* acceptor, const SockAddress& listen,
                     const std::string& name, const WorkerOption& option, WorkerColony* colony)
    : name_(name), transport_(transport) {
  switch (transport_) {
    case kTcp:
      server_ = new TcpServer(acceptor, listen, name, option, colony);
      break;
    case kRdma:
      server_ = new RdmaServer(acceptor, listen, name, option, colony);
      break;
    default:
      LOG_FATAL << "transport is invalid, transport: " << transport_;
  }
  server_->set_connection_success_cb(
      [this](const std::shared_ptr<Connection>& c) { OnEstablished(c); });
  server_->set_connection_closed_cb([this](const std::shared_ptr<Connection>& c) { OnClosed(c); });
  server_->set_message_read_cb(
      [this](const std::shared_ptr<Connection>& c) { OnMessageRead(c); });
  // HTTP/2 first: it claims only connections that open with its preface.
  h2_proto_.reset(new H2Proto(this));
  tarn_proto_.reset(new TarnProto(this));
  protocols_.push_back(h2_proto_.get());
  protocols_.push_back(tarn_proto_.get());
}

RpcServer::~RpcServer() {
  for (auto& entry : report_timers_) entry.first->CancelTimer(entry.second);
  report_timers_.clear();
  StopAdmitting();
  WaitForHeldCalls();
  const bool outside_colony = server_->outside_colony();
  // Calls still held are cut off: from now on they end without this server.
  if (calls_ != nullptr) LetGoOfCalls();
  // The transport server closes its connections (and stops its own colony)
  // first: nothing calls back into this server afterwards.
  destroying_.store(true);
  delete server_;
  if (calls_ != nullptr && !outside_colony) calls_->WorkersGone();
  for (auto& entry : latency_recorders_) {
    entry.second->hide();
    delete entry.second;
  }
  latency_recorders_.clear();
  method_recorders_.clear();
  protocols_.clear();
  tarn_proto_.reset();
  h2_proto_.reset();
  if (calls_ != nullptr) calls_->Release();
}

void RpcServer::LetGoOfCalls() {
  WorkerColony* colony = server_->worker_colony();
  // The server's own colony goes with the transport server: the memory its
  // workers lent the requests of calls cut off goes back before that.
  const bool own_workers = !server_->outside_colony();
  for (uint32_t i = 0; i < calls_->workers(); ++i) {
    Worker* worker = colony != nullptr ? colony->GetWorker(i) : nullptr;
    ServerCalls* calls = calls_;
    // On the worker's loop, between its tasks: a call's task queued before
    // this runs with the server, one after it finds the call cut off. A
    // loop that has ended runs nothing more, so then it is done here.
    if (worker == nullptr ||
        worker->loop()->RunInLoop([calls, i, own_workers] { calls->LetGoOfWorker(i, own_workers); },
                                  false) != 0) {
      calls_->LetGoOfEndedWorker(i);
    }
  }
  calls_->LetGo();
  if (own_workers) calls_->WorkersGoing();
}

// True when every controller of every worker is back in its pool.
bool RpcServer::NoCallHeld() {
  for (uint32_t i = 0; i < calls_->workers(); ++i) {
    const int left = FreeControllerCount(i);
    // A loop that has ended ends no call: nothing to wait for there.
    if (left >= 0 && left != calls_->pool(i)->capacity()) return false;
  }
  return true;
}

std::vector<std::shared_ptr<Connection>> RpcServer::Connections() const {
  std::vector<std::shared_ptr<Connection>> conns;
  EventWorker* acceptor = server_->acceptor();
  if (acceptor == nullptr || !server_->started()) return conns;
  // The map lives on the acceptor's loop; a loop that has ended runs
  // nothing, and its server accepts nothing more.
  acceptor->loop()->RunInLoop([this, &conns] { conns = server_->connections(); }, false);
  return conns;
}

bool RpcServer::ConnectionSettled(const std::shared_ptr<Connection>& conn) {
  if (conn->IsClosed()) return true;
  // Over RDMA an answer holds its call until its send has completed.
  if (conn->transport() != kTcp) return true;
  if (H2Context* h2 = conn->h2_context()) {
    h2->GoAwayForStop();
    return h2->Settled();
  }
  return conn->ReadableLengthOutBuf() == 0 && conn->UnackedInSocket() == 0;
}

bool RpcServer::ConnectionsSettled() const {
  for (const std::shared_ptr<Connection>& conn : Connections()) {
    Worker* worker = conn->worker();
    bool settled = true;
    // A loop that has ended serves the connection no more: nothing to wait
    // for there.
    if (worker != nullptr) {
      worker->loop()->RunInLoop([&conn, &settled] { settled = ConnectionSettled(conn); }, false);
    }
    if (!settled) return false;
  }
  return true;
}

void RpcServer::StopAdmitting() {
  if (!admitting_.exchange(false, std::memory_order_acq_rel)) return;
  // Tell HTTP/2 clients at once, while the admitted calls still run: they
  // send their next calls elsewhere.
  for (const std::shared_ptr<Connection>& conn : Connections()) {
    if (conn->transport() != kTcp || conn->worker() == nullptr) continue;
    conn->worker()->loop()->RunInLoop(
        [conn] {
          if (H2Context* h2 = conn->h2_context()) h2->GoAwayForStop();
        },
        true);
  }
}

void RpcServer::WaitForHeldCalls() {
  if (calls_ == nullptr) return;
  WorkerColony* colony = server_->worker_colony();
  if (colony == nullptr) return;
  for (uint32_t i = 0; i < calls_->workers(); ++i) {
    Worker* worker = colony->GetWorker(i);
    // The calls of this thread's own loop could not end while it waits.
    if (worker != nullptr && worker->loop()->IsInLoopThread()) {
      if (!NoCallHeld()) {
        LOG_WARN << "rpc server stopped on its own worker, held calls not waited for, "
                 << "server name: " << name_;
      }
      return;
    }
  }
  if (!stop_begun_) {
    stop_begun_ = true;
    stop_by_ = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(stop_deadline_s_));
  }
  for (;;) {
    // Answers are judged only once the calls have ended: until then new
    // ones may still come.
    const bool calls_ended = NoCallHeld();
    if (calls_ended && ConnectionsSettled()) return;
    if (std::chrono::steady_clock::now() >= stop_by_) {
      if (!stop_warned_) {
        stop_warned_ = true;
        if (!calls_ended) {
          LOG_WARN << "rpc server stops with calls still held past " << stop_deadline_s_
                   << " s, server name: " << name_;
        } else {
          LOG_WARN << "rpc server stops with answers not yet taken past " << stop_deadline_s_
                   << " s, server name: " << name_;
        }
      }
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int RpcServer::AddService(google::protobuf::Service* service) {
  const google::protobuf::ServiceDescriptor* desc = service->GetDescriptor();
  const std::string& key = desc->name();
  if (services_.count(key) != 0) {
    LOG_ERROR << "this service has been added";
    return -1;
  }
  services_.emplace(key, service);
  if (g_enable_metrics) {
    for (int i = 0; i < desc->method_count(); ++i) {
      const google::protobuf::MethodDescriptor* method = desc->method(i);
      auto* recorder = new bvar::LatencyRecorder();
      recorder->expose("tarn_rpc_" + name_ + "_" + key + "_" + method->name());
      latency_recorders_[key + "_" + method->name()] = recorder;
      method_recorders_[method] = recorder;
    }
  }
  return 0;
}

void RpcServer::SetWorkerNum(uint32_t n) { server_->set_worker_num(n); }

void RpcServer::SetCreateUserHandleCb(const std::function<UserHandle*(Loop*)>& cb) {
  server_->SetCreateUserHandleCb(cb);
}

WorkerColony* RpcServer::worker_colony() const { return server_->worker_colony(); }

int RpcServer::Start() {
  // A server starts once: its transport server cannot listen again once
  // stopped, and a stop has already refused the calls that came meanwhile.
  if (started_ || !admitting()) {
    LOG_ERROR << "RpcServer start failed, ret: -1, a server starts once and this one has "
              << (started_ ? "started" : "been stopped") << " already, server name: " << name_;
    return -1;
  }
  // A failed start leaves nothing running: a later Start may try again.
  if (calls_ == nullptr) {
    calls_ = new ServerCalls(server_->worker_num(),
                             static_cast<int>(server_->option().obj_pool_size));
  }
  // An outside colony's workers may go before the calls this server cuts
  // off have ended: those calls learn it from the workers themselves. Its
  // workers exist already; watched before any call can be taken.
  if (server_->outside_colony() && server_->worker_colony() != nullptr &&
      server_->worker_colony()->started()) {
    calls_->WatchWorkers(server_->worker_colony());
  }
  const int ret = server_->Start();
  if (ret != 0) {
    LOG_ERROR << "RpcServer start failed, ret: " << ret;
    return ret;
  }
  started_ = true;
  if (g_enable_metrics) StartPoolReports();
  return 0;
}

void RpcServer::StartPoolReports() {
  WorkerColony* colony = server_->worker_colony();
  for (uint32_t i = 0; i < calls_->workers(); ++i) {
    Worker* worker = colony->GetWorker(i);
    if (worker == nullptr || worker->option().report_interval == 0) continue;
    std::shared_ptr<ControllerPool> pool = calls_->pool(i);
    Loop* loop = worker->loop();
    // The timer runs on the worker's own loop, the pool's thread.
    TimerId id = loop->RunEvery(worker->option().report_interval, [worker, pool] {
      worker->AddObjPoolInfo("RpcController", pool->capacity(), pool->left());
    });
    report_timers_.emplace_back(loop, id);
  }
}

int RpcServer::Stop() {
  StopAdmitting();
  WaitForHeldCalls();
  return server_->Stop();
}

int RpcServer::AddBlacklist(const std::string& ip, uint32_t seconds) {
  return server_->AddBlacklist(ip, seconds);
}

int RpcServer::RemoveBlacklist(const std::string& ip) { return server_->RemoveBlacklist(ip); }

RpcController* RpcServer::NewRpcController(const std::shared_ptr<Connection>& conn) {
  const uint32_t index = conn->worker()->index();
  if (calls_ == nullptr || index >= calls_->workers()) {
    LOG_ERROR << "no controller pool for worker index: " << index;
    return nullptr;
  }
  return calls_->Take(index, conn);
}

void RpcServer::DestroyRpcController(RpcController* ctrl) {
  if (calls_ == nullptr) {
    LOG_ERROR << "no controller pool for worker index: " << ctrl->conn()->worker()->index();
    return;
  }
  calls_->Give(ctrl);
}

google::protobuf::Service* RpcServer::FindService(std::string_view name) const {
  auto it = services_.find(name);
  return it == services_.end() ? nullptr : it->second;
}

void RpcServer::ReportRpcLatency(const std::string& service, const std::string& method,
                                 uint64_t latency_us) {
  auto it = latency_recorders_.find(service + "_" + method);
  if (it != latency_recorders_.end()) *it->second << static_cast<int64_t>(latency_us);
}

void RpcServer::ReportRpcLatency(const google::protobuf::MethodDescriptor* method,
                                 uint64_t latency_us) {
  auto it = method_recorders_.find(method);
  if (it != method_recorders_.end()) *it->second << static_cast<int64_t>(latency_us);
}

int RpcServer::FreeControllerCount(uint32_t worker_index) {
  WorkerColony* colony = server_->worker_colony();
  if (calls_ == nullptr || worker_index >= calls_->workers() || colony == nullptr) return -1;
  Worker* worker = colony->GetWorker(worker_index);
  if (worker == nullptr) return -1;
  int left = -1;
  ControllerPool* pool = calls_->pool(worker_index).get();
  worker->loop()->RunInLoop([pool, &left] { left = pool->left(); }, false);
  return left;
}

void RpcServer::OnEstablished(const std::shared_ptr<Connection>& conn) {
  LOG_INFO << "recv a connection, conn_id: " << conn->id() << ", "
           << conn->peer_addr().ToString();
}

void RpcServer::OnClosed(const std::shared_ptr<Connection>& conn) {
  LOG_INFO << "close a connection, conn_id: " << conn->id() << ", "
           << conn->peer_addr().ToString();
  if (!destroying_.load()) server_->RemoveConnection(conn);
}

int RpcServer::Parse(BaseProto* proto, const std::shared_ptr<Connection>& conn) {
  switch (transport_) {
    case kTcp:
      return proto->ParseTcp(conn);
    case kRdma:
      return proto->ParseRdma(conn);
    default:
      LOG_FATAL << "invalid transport: " << transport_;
      return BaseProto::kFatal;
  }
}

void RpcServer::OnMessageRead(const std::shared_ptr<Connection>& conn) {
  LOG_TRACE << "receive message, conn_id: " << conn->id() << ", " << conn->peer_addr().ToString();
  const int latched = conn->proto_index();
  int result = BaseProto::kNotThisProto;
  if (latched >= 0 && latched < static_cast<int>(protocols_.size())) {
    result = Parse(protocols_[latched], conn);
  }
  for (int i = 0; result == BaseProto::kNotThisProto && i < static_cast<int>(protocols_.size());
       ++i) {
    if (i == latched) continue;
    result = Parse(protocols_[i], conn);
    if (result != BaseProto::kNotThisProto) {
      conn->set_proto_index(static_cast<int8_t>(i));
      // Only the frame protocol is paced by holding its reading.
      if (protocols_[i] != tarn_proto_.get()) conn->SetOutputHold(OutputHold());
    }
  }
  switch (result) {
    case BaseProto::kNotThisProto:
      // Every protocol has seen enough to refuse these bytes; keeping the
      // connection would only let its buffer grow.
      LOG_ERROR << "no protocol accepts the data, close the connection, conn_id: " << conn->id()
                << ", peer addr: " << conn->peer_addr().ToString();
      conn->ForceClose();
      break;
    case BaseProto::kBadState:
    case BaseProto::kFatal:
      conn->ForceClose();
      break;
    default:
      break;
  }
}

}  // namespace tarn
