// Unary echo served and called by tarn, over loopback TCP and over the
// emulated RDMA device: a 4 KiB request payload sent as an attachment, a
// 64-byte response message.
//
// The emulated device is no hardware: it copies the bytes inside the verbs
// calls of the polling workers, so the RDMA figures measure the framework's
// own cost per call over the RDMA transport (frames built in place, one
// zero-copy send per message, completions polled), not a network.
//
// Calls run closed-loop on the client connection's own loop: each completion
// issues the next call from its closure, so nothing on the request path
// crosses threads. Reported per configuration: calls per second
// (items_per_second), the process CPU time per call in microseconds
// (cpu_us_per_call; polling workers and busy-poll loops spin, so their idle
// time counts too) and the p50 / p99 call latency in microseconds.
// BM_RpcEcho runs TCP with blocking and with busy-poll event loops;
// BM_RpcEchoTransports runs those beside RDMA on polling workers.

#include <benchmark/benchmark.h>
#include <google/protobuf/stubs/callback.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/ports.h"
#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/base/time_cycle.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/worker.h"
#include "vovorav.pb.h"

namespace {

constexpr uint32_t kPayload = 4096;
constexpr int kBatch = 2000;

enum Mode { kTcpBlocking = 0, kTcpBusyPoll = 1, kRdma = 2 };

const char* ModeName(Mode mode) {
  switch (mode) {
    case kTcpBlocking:
      return "tcp, blocking loops";
    case kTcpBusyPoll:
      return "tcp, busy-poll loops";
    default:
      return "rdma (emulated device), polling workers";
  }
}

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Answers every write with a 64-byte response message.
class EchoService : public vovorav::BlockServerService {
 public:
  EchoService() {
    // Field 11 (2 bytes of tag and length) holding errmsg (2 more) of 60.
    response_.mutable_rc()->set_errmsg(std::string(60, 'r'));
  }
  void Write(google::protobuf::RpcController*, const vovorav::BlockServerWriteRequest*,
             vovorav::BlockServerWriteResponse* resp, google::protobuf::Closure* done) override {
    resp->CopyFrom(response_);
    done->Run();
  }
  size_t response_size() const { return response_.ByteSizeLong(); }

 private:
  vovorav::BlockServerWriteResponse response_;
};

// Frames come from the workers' slab pools, as in the driver. Over RDMA the
// workers find the emulated device by the loopback address.
tarn::WorkerOption OptionFor(Mode mode, const std::string& prefix) {
  tarn::WorkerOption option;
  option.name_prefix = prefix;
  option.enable_memory_pool = 1;
  option.report_interval = 0;
  option.busy_poll = mode == kTcpBusyPoll ? 1 : 0;
  if (mode != kRdma) return option;
  option.enable_rdma = 1;
  option.obj_pool_size = 1024;
  option.max_io_chunk_count = 8;
  tarn::WorkerOption::RdmaOption& rdma = option.rdma_option;
  rdma.ip_addr = "127.0.0.1";
  rdma.recv_depth = 256;
  rdma.max_send_data_size = 65536;
  return option;
}

// One server (one worker), one client worker, one RPC client.
class EchoBench {
 public:
  explicit EchoBench(Mode mode) {
    acceptor_thread_.reset(new testsupport::WorkerOnThread("bench_acc"));
    const tarn::Transport transport = mode == kRdma ? tarn::kRdma : tarn::kTcp;
    const tarn::WorkerOption client_option = OptionFor(mode, "bench_cli-");
    if (mode == kRdma) {
      client_colony_.reset(new tarn::PollingWorkerColony(1, client_option, nullptr));
    } else {
      client_colony_.reset(new tarn::EventWorkerColony(1, client_option, nullptr));
    }
    client_colony_->Start();
    client_worker_ = client_colony_->GetWorker(0u);
    server_.reset(new tarn::RpcServer(transport, acceptor_thread_->worker(),
                                      testsupport::Loopback(0), "bench_server",
                                      OptionFor(mode, "bench_srv-"), nullptr));
    server_->AddService(&service_);
    server_->SetWorkerNum(1);
    server_->Start();
    const uint16_t port = server_->server()->listen_addr().ToPort();
    client_worker_->loop()->RunInLoop(
        [this, port, transport] {
          client_.reset(new tarn::RpcClient(transport, client_worker_, testsupport::Loopback(port),
                                            "bench"));
          client_->set_timeout_ms(30000);
          client_->Connect();
          payload_ = static_cast<char*>(client_worker_->Malloc(kPayload));
          memset(payload_, 'p', kPayload);
        },
        false);
  }

  ~EchoBench() {
    client_worker_->loop()->RunInLoop(
        [this] {
          client_worker_->Free(payload_);
          client_.reset();
        },
        false);
    server_.reset();
    client_colony_->Stop();
    acceptor_thread_->Stop();
  }

  // Runs `calls` calls with `outstanding` in flight; appends each call's
  // latency in nanoseconds. Returns the number of failed calls.
  int Run(int calls, int outstanding, std::vector<uint64_t>* latencies) {
    remaining_ = calls;
    inflight_ = 0;
    failed_ = 0;
    latencies_ = latencies;
    finished_ = false;
    client_worker_->loop()->RunInLoop(
        [this, outstanding] {
          for (int i = 0; i < outstanding && remaining_ > 0; ++i) Issue();
        },
        true);
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return finished_; });
    return failed_;
  }

  size_t response_size() const { return service_.response_size(); }

 private:
  struct Call {
    EchoBench* bench;
    tarn::RpcController* ctrl;
    vovorav::BlockServerWriteRequest req;
    vovorav::BlockServerWriteResponse resp;
    uint64_t start;
  };

  // On the client loop.
  void Issue() {
    --remaining_;
    ++inflight_;
    auto* call = new Call;
    call->bench = this;
    call->ctrl = new tarn::RpcController(client_->conn());
    call->ctrl->AppendRequestAttachment(payload_, kPayload, false);
    call->req.set_lba(1);
    call->start = plinth::rdtsc();
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Write(call->ctrl, &call->req, &call->resp, google::protobuf::NewCallback(&Done, call));
  }

  static void Done(Call* call) {
    EchoBench* b = call->bench;
    const uint64_t end = plinth::rdtsc();
    const uint64_t cycles = end > call->start ? end - call->start : 0;
    b->latencies_->push_back(cycles * 1000 / plinth::TimeCycle::tsc_rate_mhz_);
    if (call->ctrl->Failed()) ++b->failed_;
    delete call->ctrl;
    delete call;
    --b->inflight_;
    if (b->remaining_ > 0) {
      b->Issue();
    } else if (b->inflight_ == 0) {
      std::lock_guard<std::mutex> lock(b->mutex_);
      b->finished_ = true;
      b->cond_.notify_one();
    }
  }

  std::unique_ptr<testsupport::WorkerOnThread> acceptor_thread_;
  std::unique_ptr<tarn::WorkerColony> client_colony_;
  tarn::Worker* client_worker_ = nullptr;
  EchoService service_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::RpcClient> client_;
  char* payload_ = nullptr;
  // Client-loop state of the running batch.
  int remaining_ = 0;
  int inflight_ = 0;
  int failed_ = 0;
  std::vector<uint64_t>* latencies_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cond_;
  bool finished_ = false;
};

uint64_t Percentile(std::vector<uint64_t>* v, double q) {
  if (v->empty()) return 0;
  const size_t k = std::min(v->size() - 1, static_cast<size_t>(q * static_cast<double>(v->size())));
  std::nth_element(v->begin(), v->begin() + static_cast<long>(k), v->end());
  return (*v)[k];
}

// The one body of both benchmarks: range(0) calls in flight, range(1) the
// mode.
void RunEcho(benchmark::State& state) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  const int outstanding = static_cast<int>(state.range(0));
  const Mode mode = static_cast<Mode>(state.range(1));
  EchoBench bench(mode);
  std::vector<uint64_t> warmup;
  bench.Run(kBatch, outstanding, &warmup);
  std::vector<uint64_t> latencies;
  latencies.reserve(1 << 20);
  int failed = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double before = ProcessCpuSeconds();
    failed += bench.Run(kBatch, outstanding, &latencies);
    cpu += ProcessCpuSeconds() - before;
  }
  const double calls = static_cast<double>(state.iterations()) * kBatch;
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["cpu_us_per_call"] = cpu * 1e6 / calls;
  state.counters["p50_us"] = static_cast<double>(Percentile(&latencies, 0.50)) / 1000.0;
  state.counters["p99_us"] = static_cast<double>(Percentile(&latencies, 0.99)) / 1000.0;
  state.counters["failed"] = failed;
  state.counters["resp_bytes"] = static_cast<double>(bench.response_size());
  state.SetLabel(ModeName(mode));
}

void BM_RpcEcho(benchmark::State& state) { RunEcho(state); }
void BM_RpcEchoTransports(benchmark::State& state) { RunEcho(state); }

// 1 and 32 calls in flight in each mode up to `last`.
void AddModes(benchmark::internal::Benchmark* b, Mode last) {
  for (int mode = kTcpBlocking; mode <= last; ++mode) {
    for (int outstanding : {1, 32}) b->Args({outstanding, mode});
  }
  b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
}
void TcpModes(benchmark::internal::Benchmark* b) { AddModes(b, kTcpBusyPoll); }
void AllModes(benchmark::internal::Benchmark* b) { AddModes(b, kRdma); }

// busy_poll 0 and 1 are the two TCP modes.
BENCHMARK(BM_RpcEcho)->ArgNames({"outstanding", "busy_poll"})->Apply(TcpModes);
BENCHMARK(BM_RpcEchoTransports)->ArgNames({"outstanding", "mode"})->Apply(AllModes);

}  // namespace

BENCHMARK_MAIN();
