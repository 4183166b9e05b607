// Unary echo over loopback, served and called by tarn: a 4 KiB request
// payload sent as an attachment, a 64-byte response message.
//
// Calls run closed-loop on the client connection's own loop: each completion
// issues the next call from its closure, so nothing on the request path
// crosses threads. Reported per configuration: calls per second
// (items_per_second) and the p50 / p99 call latency in microseconds, with
// blocking event loops and with busy-poll event loops.

#include <benchmark/benchmark.h>
#include <google/protobuf/stubs/callback.h>

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
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"
#include "vovorav.pb.h"

namespace {

constexpr uint32_t kPayload = 4096;
constexpr int kBatch = 2000;

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

// One server (one worker), one client worker, one RPC client.
class EchoBench {
 public:
  explicit EchoBench(bool busy_poll) {
    option_.busy_poll = busy_poll ? 1 : 0;
    // Frames come from the workers' slab pools, as in the driver.
    option_.enable_memory_pool = 1;
    acceptor_thread_.reset(new testsupport::WorkerOnThread("bench_acc", option_));
    tarn::EventWorker* acceptor = acceptor_thread_->worker();
    client_thread_.reset(new testsupport::WorkerOnThread("bench_cli", option_));
    client_worker_ = client_thread_->worker();
    const uint16_t port = testsupport::PickFreePort();
    tarn::WorkerOption server_option = option_;
    server_option.name_prefix = "bench_srv-";
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor, tarn::SockAddress("127.0.0.1", port, false),
                                      "bench_server", server_option, nullptr));
    server_->AddService(&service_);
    server_->SetWorkerNum(1);
    server_->Start();
    client_worker_->loop()->RunInLoop(
        [this, port] {
          client_.reset(new tarn::RpcClient(tarn::kTcp, client_worker_,
                                            tarn::SockAddress("127.0.0.1", port, false), "bench"));
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
    client_thread_->Stop();
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
    const uint64_t cycles = plinth::rdtsc() - call->start;
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

  tarn::WorkerOption option_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_thread_;
  std::unique_ptr<testsupport::WorkerOnThread> client_thread_;
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

void BM_RpcEcho(benchmark::State& state) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  const int outstanding = static_cast<int>(state.range(0));
  const bool busy_poll = state.range(1) != 0;
  EchoBench bench(busy_poll);
  std::vector<uint64_t> warmup;
  bench.Run(kBatch, outstanding, &warmup);
  std::vector<uint64_t> latencies;
  latencies.reserve(1 << 20);
  int failed = 0;
  for (auto _ : state) failed += bench.Run(kBatch, outstanding, &latencies);
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["p50_us"] = static_cast<double>(Percentile(&latencies, 0.50)) / 1000.0;
  state.counters["p99_us"] = static_cast<double>(Percentile(&latencies, 0.99)) / 1000.0;
  state.counters["failed"] = failed;
  state.counters["resp_bytes"] = static_cast<double>(bench.response_size());
  state.SetLabel(busy_poll ? "busy-poll loops" : "blocking loops");
}

BENCHMARK(BM_RpcEcho)
    ->ArgNames({"outstanding", "busy_poll"})
    ->Args({1, 0})
    ->Args({32, 0})
    ->Args({1, 1})
    ->Args({32, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
