#include "pyxsim/control_server.h"

#include "pyxsim/cluster.h"
#include "simctl.pb.h"
#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/sock_address.h"
#include "tarn/worker_thread.h"

namespace pyxsim {

namespace {

// The largest ReadStored answer and WriteStored request.
constexpr uint64_t kMaxReadStored = 16ull << 20;

bool ToRole(int value, Role* role) {
  if (value < 0 || value > 2) return false;
  *role = static_cast<Role>(value);
  return true;
}

void SetStatus(ControlStatus* status, int code, const char* message = "") {
  status->set_code(code);
  if (code != 0) status->set_message(message);
}

void FillDisk(const Cluster& cluster, const std::string& name, DiskRecord* record) {
  record->set_name(name);
  record->set_uuid(cluster.DiskUuid(name));
  record->set_size(cluster.DiskSize(name));
  record->set_dgs(cluster.DiskDgs(name));
  record->set_route_term(cluster.RouteTerm(name));
  record->set_planes(cluster.PlaneCount(name));
}

class ControlServiceImpl : public ControlService {
 public:
  explicit ControlServiceImpl(Cluster* cluster) : cluster_(cluster) {}

  void Ping(google::protobuf::RpcController*, const PingRequest*, PingResponse* resp,
            google::protobuf::Closure* done) override {
    resp->set_volume_manager_ips(cluster_->volume_manager_ips());
    resp->set_volume_manager_ports(cluster_->volume_manager_ports());
    for (Role role : {Role::kVolumeManager, Role::kBlockMaster, Role::kBlockServer}) {
      for (int i = 0; i < cluster_->count(role); ++i) {
        ServerInfo* info = resp->add_servers();
        info->set_role(static_cast<int>(role));
        info->set_index(i);
        info->set_port(cluster_->port(role, i));
        info->set_running(cluster_->faults().IsRunning(role, i));
        info->set_down(cluster_->faults().IsDown(role, i));
      }
    }
    SetStatus(resp->mutable_status(), 0);
    done->Run();
  }

  void CreateDisk(google::protobuf::RpcController*, const DiskRequest* req, DiskResponse* resp,
                  google::protobuf::Closure* done) override {
    const int code = cluster_->CreateDisk(req->name(), req->size(), req->has_dgs() ? req->dgs() : 1);
    if (code == 0) FillDisk(*cluster_, req->name(), resp->add_disks());
    SetStatus(resp->mutable_status(), code, "disk refused");
    done->Run();
  }

  void GetDisks(google::protobuf::RpcController*, const DiskRequest* req, DiskResponse* resp,
                google::protobuf::Closure* done) override {
    int code = 0;
    if (req->name().empty()) {
      for (const std::string& name : cluster_->DiskNames()) FillDisk(*cluster_, name, resp->add_disks());
    } else if (cluster_->HasDisk(req->name())) {
      FillDisk(*cluster_, req->name(), resp->add_disks());
    } else {
      code = -1;
    }
    SetStatus(resp->mutable_status(), code, "no such disk");
    done->Run();
  }

  void SetDiskDgs(google::protobuf::RpcController*, const DiskRequest* req, DiskResponse* resp,
                  google::protobuf::Closure* done) override {
    const int code = cluster_->SetDiskDgs(req->name(), req->dgs());
    if (code == 0) FillDisk(*cluster_, req->name(), resp->add_disks());
    SetStatus(resp->mutable_status(), code, "no such disk");
    done->Run();
  }

  void ReadStored(google::protobuf::RpcController*, const ReadStoredRequest* req,
                  ReadStoredResponse* resp, google::protobuf::Closure* done) override {
    int code = -1;
    if (req->len() > 0 && req->len() <= kMaxReadStored) {
      std::string data = cluster_->ReadStored(req->name(), req->offset(), req->len());
      if (data.size() == req->len()) {
        resp->set_data(std::move(data));
        code = 0;
      }
    }
    SetStatus(resp->mutable_status(), code, "range refused");
    done->Run();
  }

  void WriteStored(google::protobuf::RpcController*, const WriteStoredRequest* req,
                   ControlStatus* resp, google::protobuf::Closure* done) override {
    int code = -1;
    if (req->data().size() <= kMaxReadStored) {
      code = cluster_->WriteStored(req->name(), req->offset(), req->data());
    }
    SetStatus(resp, code, "range refused");
    done->Run();
  }

  void Snapshot(google::protobuf::RpcController*, const DiskRequest* req, SnapshotResponse* resp,
                google::protobuf::Closure* done) override {
    int retcode = 0;
    const int code = cluster_->NotifySnapshot(req->name(), req->dgs(), &retcode);
    if (code == 0) resp->set_retcode(retcode);
    SetStatus(resp->mutable_status(), code, "snapshot call failed");
    done->Run();
  }

  void CallFault(google::protobuf::RpcController*, const CallFaultRequest* req, ControlStatus* resp,
                 google::protobuf::Closure* done) override {
    SetStatus(resp, ApplyCallFault(*req), "fault refused");
    done->Run();
  }

  void ServerOp(google::protobuf::RpcController*, const ServerRequest* req,
                ControlStatus* resp, google::protobuf::Closure* done) override {
    SetStatus(resp, ApplyServerOp(*req), "server control refused");
    done->Run();
  }

  void RouteOp(google::protobuf::RpcController*, const RouteRequest* req, ControlStatus* resp,
                    google::protobuf::Closure* done) override {
    SetStatus(resp, ApplyRouteOp(*req), "route control refused");
    done->Run();
  }

  void CallCount(google::protobuf::RpcController*, const CountRequest* req, CountResponse* resp,
                 google::protobuf::Closure* done) override {
    Role role;
    int code = 0;
    if (req->reset()) {
      cluster_->faults().ResetCounts();
    } else if (ToRole(req->role(), &role)) {
      resp->set_count(cluster_->faults().CallCount(role, req->index(), req->method()));
    } else {
      code = -1;
    }
    SetStatus(resp->mutable_status(), code, "no such role");
    done->Run();
  }

  void RandomFaults(google::protobuf::RpcController*, const RandomFaultsRequest* req,
                    RandomFaultsResponse* resp, google::protobuf::Closure* done) override {
    Faults& faults = cluster_->faults();
    switch (req->op()) {
      case RandomFaultsRequest::START: {
        RandomFaultRates rates;
        rates.retcode = req->retcode();
        rates.delay = req->delay();
        rates.delay_ms = req->delay_ms();
        rates.close = req->close();
        rates.event_interval_ms = req->event_interval_ms();
        rates.route_moves = req->route_moves();
        rates.restarts = req->restarts();
        rates.failovers = req->failovers();
        if (req->has_down_ms()) rates.down_ms = req->down_ms();
        faults.SetRandomFaults(req->seed(), rates);
        break;
      }
      case RandomFaultsRequest::STOP:
        faults.StopRandomFaults();
        break;
      case RandomFaultsRequest::STATS:
        break;
    }
    const RandomFaultStats stats = faults.random_stats();
    resp->set_retcodes(stats.retcodes);
    resp->set_delays(stats.delays);
    resp->set_closes(stats.closes);
    resp->set_route_moves(stats.route_moves);
    resp->set_restarts(stats.restarts);
    resp->set_failovers(stats.failovers);
    SetStatus(resp->mutable_status(), 0);
    done->Run();
  }

 private:
  int ApplyCallFault(const CallFaultRequest& req) {
    Faults& faults = cluster_->faults();
    const int times = req.has_times() ? req.times() : 1;
    Role role;
    if (req.kind() == CallFaultRequest::CLEAR) {
      faults.ClearCallFaults();
      return 0;
    }
    if (!ToRole(req.role(), &role)) return -1;
    switch (req.kind()) {
      case CallFaultRequest::FAIL:
        faults.FailCalls(role, req.index(), req.method(), req.retcode(), times, req.delay_ms());
        return 0;
      case CallFaultRequest::DELAY:
        faults.DelayCalls(role, req.index(), req.method(), req.delay_ms(), times);
        return 0;
      case CallFaultRequest::DROP:
        faults.DropCalls(role, req.index(), req.method(), times);
        return 0;
      case CallFaultRequest::CLOSE:
        faults.CloseOnCalls(role, req.index(), req.method(), times);
        return 0;
      case CallFaultRequest::IO:
        if (role != Role::kBlockServer || req.io_fault() < 0 ||
            req.io_fault() > static_cast<int>(IoFault::kStaleTerm)) {
          return -1;
        }
        faults.InjectIoFault(req.index(), req.method(), static_cast<IoFault>(req.io_fault()),
                             times);
        return 0;
      case CallFaultRequest::CLEAR:
        break;
    }
    return -1;
  }

  int ApplyServerOp(const ServerRequest& req) {
    Faults& faults = cluster_->faults();
    Role role;
    if (req.op() == ServerRequest::SET_PRIMARY) return faults.SetPrimaryBlockMaster(req.index());
    if (!ToRole(req.role(), &role)) return -1;
    switch (req.op()) {
      case ServerRequest::STOP:
        return faults.StopServer(role, req.index());
      case ServerRequest::RESTART:
        return faults.RestartServer(role, req.index());
      case ServerRequest::MARK_DOWN:
        return faults.MarkDown(role, req.index());
      case ServerRequest::MARK_UP:
        return faults.MarkUp(role, req.index());
      case ServerRequest::SET_PRIMARY:
        break;
    }
    return -1;
  }

  int ApplyRouteOp(const RouteRequest& req) {
    Faults& faults = cluster_->faults();
    const std::vector<uint64_t> planes(req.planes().begin(), req.planes().end());
    switch (req.op()) {
      case RouteRequest::MOVE:
        if (planes.size() != 1) return -1;
        return faults.MovePlane(req.disk(), planes[0], req.block_server());
      case RouteRequest::UNROUTE:
        return faults.UnroutePlanes(req.disk(), planes);
      case RouteRequest::RESTORE:
        return faults.RestorePlanes(req.disk(), planes);
      case RouteRequest::MISSING:
        return faults.ReportDiskMissing(req.disk(), true);
      case RouteRequest::PRESENT:
        return faults.ReportDiskMissing(req.disk(), false);
    }
    return -1;
  }

  Cluster* cluster_;
};

}  // namespace

class ControlServer::Impl {
 public:
  Impl(Cluster* cluster, const std::string& ip, uint16_t port, bool ipv6)
      : service_(cluster), ip_(ip), port_(port), ipv6_(ipv6) {}
  ~Impl() { Stop(); }

  int Start() {
    if (server_) return -1;
    acceptor_thread_.reset(
        new tarn::WorkerThread("pyxsim-ctlacc", nullptr, tarn::WorkerOption(), false));
    auto* acceptor = static_cast<tarn::EventWorker*>(acceptor_thread_->Start());
    tarn::WorkerOption option;
    option.name_prefix = "pyxsim-ctl-";
    option.obj_pool_size = 64;
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor, tarn::SockAddress(ip_, port_, ipv6_),
                                      "pyxsim_control", option, nullptr));
    server_->AddService(&service_);
    server_->SetWorkerNum(1);
    if (server_->Start() != 0) {
      LOG_ERROR << "pyxsim: control service cannot listen on " << ip_ << ":" << port_;
      Stop();
      return -1;
    }
    port_ = server_->server()->listen_addr().ToPort();
    return 0;
  }

  void Stop() {
    server_.reset();
    if (acceptor_thread_) acceptor_thread_->Stop();
    acceptor_thread_.reset();
  }

  uint16_t port() const { return port_; }

 private:
  ControlServiceImpl service_;
  std::string ip_;
  uint16_t port_;
  bool ipv6_;
  std::unique_ptr<tarn::WorkerThread> acceptor_thread_;
  std::unique_ptr<tarn::RpcServer> server_;
};

ControlServer::ControlServer(Cluster* cluster, const std::string& ip, uint16_t port, bool ipv6)
    : impl_(new Impl(cluster, ip, port, ipv6)) {}

ControlServer::~ControlServer() = default;

int ControlServer::Start() { return impl_->Start(); }

void ControlServer::Stop() { impl_->Stop(); }

uint16_t ControlServer::port() const { return impl_->port(); }

}  // namespace pyxsim
