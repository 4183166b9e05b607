#include "pyxsim/control_client.h"

#include "simctl.pb.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"

namespace pyxsim {

class ControlClient::Impl {
 public:
  Impl(const std::string& ip, uint16_t port, bool ipv6, uint32_t timeout_ms)
      : peer_(ip, port, ipv6), timeout_ms_(timeout_ms) {}

  ~Impl() {
    if (worker_ == nullptr) return;
    worker_->loop()->RunInLoop([this] { client_.reset(); }, false);
    thread_->Stop();
  }

  int Connect() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_ != nullptr) return 0;
    if (!peer_.IsValid()) return -1;
    thread_.reset(new tarn::WorkerThread("pyxsim-ctlcli", nullptr, tarn::WorkerOption(), false));
    worker_ = thread_->Start();
    if (worker_ == nullptr) return -1;
    int ret = -1;
    worker_->loop()->RunInLoop(
        [this, &ret] {
          client_.reset(new tarn::RpcClient(tarn::kTcp, worker_, peer_, "pyxsim_control"));
          client_->set_timeout_ms(timeout_ms_);
          ret = client_->Connect();
        },
        false);
    return ret == 0 ? 0 : -1;
  }

  // One blocking call: the RPC error, or the status code of the answer.
  template <typename Request, typename Response>
  int Call(void (ControlService_Stub::*method)(google::protobuf::RpcController*, const Request*,
                                                Response*, google::protobuf::Closure*),
           const Request& request, Response* response) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (worker_ == nullptr) return tarn::kRpcConnectError;
    tarn::RpcController* ctrl = nullptr;
    worker_->loop()->RunInLoop([this, &ctrl] { ctrl = new tarn::RpcController(client_->conn()); },
                               false);
    tarn::RpcController::DoSyncCall(
        [&] {
          ControlService_Stub stub(client_.get());
          (stub.*method)(ctrl, &request, response, ctrl->done());
        },
        ctrl, worker_);
    const int error = ctrl->Failed() ? ctrl->error_code() : 0;
    delete ctrl;
    if (error != 0) return error < 0 ? error : -1;
    return StatusOf(*response);
  }

 private:
  template <typename Response>
  static int StatusOf(const Response& response) {
    return response.status().code();
  }
  static int StatusOf(const ControlStatus& status) { return status.code(); }

  tarn::SockAddress peer_;
  uint32_t timeout_ms_;
  std::mutex mutex_;
  std::unique_ptr<tarn::WorkerThread> thread_;
  tarn::Worker* worker_ = nullptr;
  std::unique_ptr<tarn::RpcClient> client_;  // on worker_'s loop
};

namespace {

void CopyDisk(const DiskRecord& record, DiskInfo* info) {
  info->name = record.name();
  info->uuid = record.uuid();
  info->size = record.size();
  info->dgs = record.dgs();
  info->route_term = record.route_term();
  info->planes = record.planes();
}

void CopyStats(const RandomFaultsResponse& resp, RandomFaultStats* stats) {
  if (stats == nullptr) return;
  stats->retcodes = resp.retcodes();
  stats->delays = resp.delays();
  stats->closes = resp.closes();
  stats->route_moves = resp.route_moves();
  stats->restarts = resp.restarts();
  stats->failovers = resp.failovers();
}

CallFaultRequest FaultRequest(CallFaultRequest::Kind kind, Role role, int index,
                              const std::string& method, int times) {
  CallFaultRequest req;
  req.set_kind(kind);
  req.set_role(static_cast<int>(role));
  req.set_index(index);
  req.set_method(method);
  req.set_times(times);
  return req;
}

ServerRequest ServerOpRequest(ServerRequest::Op op, Role role, int index) {
  ServerRequest req;
  req.set_op(op);
  req.set_role(static_cast<int>(role));
  req.set_index(index);
  return req;
}

RouteRequest RouteOpRequest(RouteRequest::Op op, const std::string& disk,
                            const std::vector<uint64_t>& planes) {
  RouteRequest req;
  req.set_op(op);
  req.set_disk(disk);
  for (uint64_t plane : planes) req.add_planes(plane);
  return req;
}

}  // namespace

ControlClient::ControlClient(const std::string& ip, uint16_t port, bool ipv6, uint32_t timeout_ms)
    : impl_(new Impl(ip, port, ipv6, timeout_ms)) {}

ControlClient::~ControlClient() = default;

int ControlClient::Connect() { return impl_->Connect(); }

int ControlClient::Ping() {
  PingRequest req;
  PingResponse resp;
  return impl_->Call(&ControlService_Stub::Ping, req, &resp);
}

int ControlClient::CreateDisk(const std::string& name, uint64_t size, uint64_t dgs) {
  DiskRequest req;
  DiskResponse resp;
  req.set_name(name);
  req.set_size(size);
  req.set_dgs(dgs);
  return impl_->Call(&ControlService_Stub::CreateDisk, req, &resp);
}

int ControlClient::GetDisk(const std::string& name, DiskInfo* info) {
  if (name.empty()) return -1;
  DiskRequest req;
  DiskResponse resp;
  req.set_name(name);
  const int ret = impl_->Call(&ControlService_Stub::GetDisks, req, &resp);
  if (ret != 0) return ret;
  if (resp.disks_size() != 1) return -1;
  CopyDisk(resp.disks(0), info);
  return 0;
}

int ControlClient::ListDisks(std::vector<DiskInfo>* disks) {
  DiskRequest req;
  DiskResponse resp;
  const int ret = impl_->Call(&ControlService_Stub::GetDisks, req, &resp);
  if (ret != 0) return ret;
  disks->clear();
  for (const DiskRecord& record : resp.disks()) {
    disks->emplace_back();
    CopyDisk(record, &disks->back());
  }
  return 0;
}

int ControlClient::SetDiskDgs(const std::string& name, uint64_t dgs) {
  DiskRequest req;
  DiskResponse resp;
  req.set_name(name);
  req.set_dgs(dgs);
  return impl_->Call(&ControlService_Stub::SetDiskDgs, req, &resp);
}

int ControlClient::NotifySnapshot(const std::string& name, uint64_t dgs, int* retcode) {
  DiskRequest req;
  SnapshotResponse resp;
  req.set_name(name);
  req.set_dgs(dgs);
  const int ret = impl_->Call(&ControlService_Stub::Snapshot, req, &resp);
  if (ret == 0) *retcode = resp.retcode();
  return ret;
}

int ControlClient::ReadStored(const std::string& name, uint64_t offset, uint64_t len,
                              std::string* data) {
  ReadStoredRequest req;
  ReadStoredResponse resp;
  req.set_name(name);
  req.set_offset(offset);
  req.set_len(len);
  const int ret = impl_->Call(&ControlService_Stub::ReadStored, req, &resp);
  if (ret == 0) *data = resp.data();
  return ret;
}

int ControlClient::WriteStored(const std::string& name, uint64_t offset, const std::string& data) {
  WriteStoredRequest req;
  ControlStatus resp;
  req.set_name(name);
  req.set_offset(offset);
  req.set_data(data);
  return impl_->Call(&ControlService_Stub::WriteStored, req, &resp);
}

int ControlClient::FailCalls(Role role, int index, const std::string& method, int retcode,
                             int times, int delay_ms) {
  CallFaultRequest req = FaultRequest(CallFaultRequest::FAIL, role, index, method, times);
  req.set_retcode(retcode);
  req.set_delay_ms(delay_ms);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::DelayCalls(Role role, int index, const std::string& method, int delay_ms,
                              int times) {
  CallFaultRequest req = FaultRequest(CallFaultRequest::DELAY, role, index, method, times);
  req.set_delay_ms(delay_ms);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::DropCalls(Role role, int index, const std::string& method, int times) {
  CallFaultRequest req = FaultRequest(CallFaultRequest::DROP, role, index, method, times);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::CloseOnCalls(Role role, int index, const std::string& method, int times) {
  CallFaultRequest req = FaultRequest(CallFaultRequest::CLOSE, role, index, method, times);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::InjectIoFault(int index, const std::string& method, IoFault fault, int times) {
  CallFaultRequest req =
      FaultRequest(CallFaultRequest::IO, Role::kBlockServer, index, method, times);
  req.set_io_fault(static_cast<int>(fault));
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::ClearCallFaults() {
  CallFaultRequest req;
  req.set_kind(CallFaultRequest::CLEAR);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::CallFault, req, &resp);
}

int ControlClient::StopServer(Role role, int index) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::ServerOp,
                     ServerOpRequest(ServerRequest::STOP, role, index), &resp);
}

int ControlClient::RestartServer(Role role, int index) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::ServerOp,
                     ServerOpRequest(ServerRequest::RESTART, role, index), &resp);
}

int ControlClient::MarkDown(Role role, int index) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::ServerOp,
                     ServerOpRequest(ServerRequest::MARK_DOWN, role, index), &resp);
}

int ControlClient::MarkUp(Role role, int index) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::ServerOp,
                     ServerOpRequest(ServerRequest::MARK_UP, role, index), &resp);
}

int ControlClient::SetPrimaryBlockMaster(int index) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::ServerOp,
                     ServerOpRequest(ServerRequest::SET_PRIMARY, Role::kBlockMaster, index), &resp);
}

int ControlClient::MovePlane(const std::string& disk, uint64_t plane, int block_server) {
  RouteRequest req = RouteOpRequest(RouteRequest::MOVE, disk, {plane});
  req.set_block_server(block_server);
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::RouteOp, req, &resp);
}

int ControlClient::UnroutePlanes(const std::string& disk, const std::vector<uint64_t>& planes) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::RouteOp,
                     RouteOpRequest(RouteRequest::UNROUTE, disk, planes), &resp);
}

int ControlClient::RestorePlanes(const std::string& disk, const std::vector<uint64_t>& planes) {
  ControlStatus resp;
  return impl_->Call(&ControlService_Stub::RouteOp,
                     RouteOpRequest(RouteRequest::RESTORE, disk, planes), &resp);
}

int ControlClient::ReportDiskMissing(const std::string& disk, bool missing) {
  ControlStatus resp;
  return impl_->Call(
      &ControlService_Stub::RouteOp,
      RouteOpRequest(missing ? RouteRequest::MISSING : RouteRequest::PRESENT, disk, {}), &resp);
}

int ControlClient::CallCount(Role role, int index, const std::string& method, uint64_t* count) {
  CountRequest req;
  CountResponse resp;
  req.set_role(static_cast<int>(role));
  req.set_index(index);
  req.set_method(method);
  const int ret = impl_->Call(&ControlService_Stub::CallCount, req, &resp);
  if (ret == 0) *count = resp.count();
  return ret;
}

int ControlClient::ResetCounts() {
  CountRequest req;
  CountResponse resp;
  req.set_reset(true);
  return impl_->Call(&ControlService_Stub::CallCount, req, &resp);
}

int ControlClient::SetRandomFaults(uint64_t seed, const RandomFaultRates& rates) {
  RandomFaultsRequest req;
  RandomFaultsResponse resp;
  req.set_op(RandomFaultsRequest::START);
  req.set_seed(seed);
  req.set_retcode(rates.retcode);
  req.set_delay(rates.delay);
  req.set_delay_ms(rates.delay_ms);
  req.set_close(rates.close);
  req.set_event_interval_ms(rates.event_interval_ms);
  req.set_route_moves(rates.route_moves);
  req.set_restarts(rates.restarts);
  req.set_failovers(rates.failovers);
  req.set_down_ms(rates.down_ms);
  return impl_->Call(&ControlService_Stub::RandomFaults, req, &resp);
}

int ControlClient::StopRandomFaults(RandomFaultStats* stats) {
  RandomFaultsRequest req;
  RandomFaultsResponse resp;
  req.set_op(RandomFaultsRequest::STOP);
  const int ret = impl_->Call(&ControlService_Stub::RandomFaults, req, &resp);
  if (ret == 0) CopyStats(resp, stats);
  return ret;
}

int ControlClient::GetRandomStats(RandomFaultStats* stats) {
  RandomFaultsRequest req;
  RandomFaultsResponse resp;
  req.set_op(RandomFaultsRequest::STATS);
  const int ret = impl_->Call(&ControlService_Stub::RandomFaults, req, &resp);
  if (ret == 0) CopyStats(resp, stats);
  return ret;
}

}  // namespace pyxsim
