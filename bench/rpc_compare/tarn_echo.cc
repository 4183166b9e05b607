// The framework's own RPC: frame protocol over one TCP connection.
//
// Server (child process): the library started with its default options, an
// acceptor worker, an event worker colony of one worker serving
// rpcbench::TarnEchoService, and an RpcServer on 127.0.0.1 at an ephemeral
// port.
//
// Client: an event worker colony of one worker and one RpcClient on it.
// Every call is issued on the client's loop thread, and each call's
// completion (which runs on that thread, on the stack that read the
// response) issues the next one, so `outstanding` calls stay in flight with
// no thread hand-off per call. The benchmark thread only posts the first
// calls and waits on a latch until the last call of the run has completed.
//
// Rows:
//   "tarn-blocking"         event loops sleep in libevent between events
//   "tarn-busypoll"         event loops spin (WorkerOption busy_poll = 1):
//                           one client core and one server core stay busy
//   "tarn-blocking-attach"  as tarn-blocking, but the 4 KiB travels as a
//                           request attachment instead of in `payload`,
//                           the way the driver sends block data
//
// The workers use their memory pools (enable_memory_pool = 1), as the
// driver's I/O workers do. RPC_COMPARE_TARN_NO_POOL=1 turns them off to show
// what the direct allocations cost.
#include <stdlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <google/protobuf/service.h>

#include "support/worker.h"
#include "tarn/base/count_down_latch.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/lib_init.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/sock_address.h"
#include "tarn/worker.h"
#include "tarn_echo.pb.h"
#include "rpc_compare/system_under_test.h"

namespace rpc_compare {
namespace {

enum class Mode { kBlocking, kBusyPoll, kBlockingAttachment };

bool UsePools() {
  const char* env = ::getenv("RPC_COMPARE_TARN_NO_POOL");
  return !(env && atoi(env) != 0);
}

tarn::WorkerOption EchoWorkerOption(bool busy_poll, const std::string& prefix) {
  tarn::WorkerOption opt;
  opt.name_prefix = prefix;
  opt.busy_poll = busy_poll ? 1 : 0;
  opt.enable_memory_pool = UsePools() ? 1 : 0;
  // Frames here are a few KiB: the largest I/O chunks are never used, so
  // only a handful of them are reserved.
  opt.max_io_chunk_count = 4;
  // Far more controllers than the deepest pipeline measured.
  opt.obj_pool_size = 1024;
  return opt;
}

// Answers 64 bytes when the request brought its 4 KiB, in the payload or as
// an attachment; an empty answer otherwise, which the client counts as a
// failure. A request naming answer_bytes gets that many bytes.
class EchoServiceImpl : public rpcbench::TarnEchoService {
 public:
  EchoServiceImpl() : answer_(kResponseBytes, 'r') {}

  void Echo(google::protobuf::RpcController* base, const rpcbench::EchoRequest* request,
            rpcbench::EchoResponse* response, google::protobuf::Closure* done) override {
    auto* ctrl = static_cast<tarn::RpcController*>(base);
    if (request->answer_bytes() > 0) {
      // Made as the gRPC C++ service makes it: filled in place.
      response->mutable_payload()->assign(request->answer_bytes(), 'R');
    } else if (request->payload().size() + ctrl->request_attachment_bytes() == kRequestBytes) {
      response->set_payload(answer_);
    }
    done->Run();
  }

 private:
  const std::string answer_;
};

class TarnEcho : public SystemUnderTest {
 public:
  explicit TarnEcho(Mode mode)
      : mode_(mode), payload_(kRequestBytes, 'q') {
    if (mode_ != Mode::kBlockingAttachment) request_.set_payload(payload_);
  }

  ~TarnEcho() override { DisconnectClient(); }

  std::string Name() const override {
    switch (mode_) {
      case Mode::kBlocking:
        return "tarn-blocking";
      case Mode::kBusyPoll:
        return "tarn-busypoll";
      case Mode::kBlockingAttachment:
        return "tarn-blocking-attach";
    }
    return "tarn";
  }

  Role role() const override {
    return mode_ == Mode::kBusyPoll ? Role::kCandidateBusyPoll : Role::kCandidateBlocking;
  }

  std::string Describe() const override {
    std::string loops = busy_poll() ? "busy-polling" : "blocking";
    std::string where = mode_ == Mode::kBlockingAttachment ? "4 KiB as request attachment"
                                                           : "4 KiB in payload";
    return "frame protocol, 1 " + loops + " server worker + acceptor; client: 1 " + loops +
           " worker, calls issued from completions; " + where +
           (UsePools() ? "" : "; worker pools off");
  }

  int StartServer() override {
    tarn::LibInit(tarn::LibOption());
    // The acceptor only sees the one connect: it may sleep in either mode.
    acceptor_thread_.reset(new testsupport::WorkerOnThread("echo-acc"));
    tarn::EventWorker* acceptor = acceptor_thread_->worker();
    if (acceptor == nullptr) return -1;
    tarn::WorkerOption opt = EchoWorkerOption(busy_poll(), "echo-srv-");
    server_colony_.reset(new tarn::EventWorkerColony(1, opt, tarn::Loop::UserHandleFactory()));
    server_colony_->Start();
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor,
                                      tarn::SockAddress("127.0.0.1", 0, false), "rpcbench", opt,
                                      server_colony_.get()));
    if (server_->AddService(&service_) != 0) return -1;
    server_->SetWorkerNum(1);
    if (server_->Start() != 0) return -1;
    return server_->server()->listen_addr().ToPort();
  }

  void StopServer() override {
    // The process exits right after; the workers are left to it.
    if (server_) server_->Stop();
  }

  bool ConnectClient(uint16_t port) override {
    tarn::LibInit(tarn::LibOption());
    tarn::WorkerOption opt = EchoWorkerOption(busy_poll(), "echo-cli-");
    client_colony_.reset(new tarn::EventWorkerColony(1, opt, tarn::Loop::UserHandleFactory()));
    client_colony_->Start();
    worker_ = client_colony_->GetWorker(0);
    if (worker_ == nullptr) return false;
    int rc = -1;
    worker_->loop()->RunInLoop(
        [&] {
          client_.reset(new tarn::RpcClient(tarn::kTcp, worker_,
                                            tarn::SockAddress("127.0.0.1", port, false),
                                            "rpcbench"));
          stub_.reset(new rpcbench::TarnEchoService_Stub(client_.get()));
          rc = client_->Connect();
        },
        false);
    if (rc != 0) return false;
    // The connect completes on the loop; one call proves the path end to end.
    ClientResult probe = RunClient(ClientRun{1, 1, Clock::now() + std::chrono::seconds(5)});
    return probe.calls == 1 && probe.failures == 0;
  }

  ClientResult RunClient(const ClientRun& run) override {
    RunState state(run);
    state.result.latency_ns.reserve(run.calls);
    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < run.outstanding; ++i) slots.emplace_back(new Slot(this));
    int posted = worker_->loop()->RunInLoop(
        [&] {
          state_ = &state;
          for (auto& slot : slots) {
            if (!MayIssue(state, Clock::now())) break;
            Issue(slot.get());
          }
          if (state.in_flight == 0) state.done.countDown();
        },
        true);
    if (posted != 0) {
      state.result.failures++;
      state.result.error = "tarn: client loop has ended";
      return std::move(state.result);
    }
    state.done.wait();
    // The completion that counted the latch down has returned once this runs.
    worker_->loop()->RunInLoop([this] { state_ = nullptr; }, false);
    return std::move(state.result);
  }

  void DisconnectClient() override {
    if (!client_colony_) return;
    if (worker_ != nullptr) {
      worker_->loop()->RunInLoop(
          [this] {
            stub_.reset();
            client_.reset();
          },
          false);
    }
    // A busy-polling worker would otherwise keep a core spinning through the
    // other systems' runs (and count as their client CPU).
    client_colony_->Stop();
    client_colony_.reset();
    worker_ = nullptr;
  }

 private:
  struct RunState {
    explicit RunState(const ClientRun& r) : run(r), done(1) {}
    const ClientRun run;
    uint64_t issued = 0;
    int in_flight = 0;
    ClientResult result;
    plinth::CountDownLatch done;
  };

  // One call in flight: its controller (built in place per call: a
  // controller serves one call), response, and the closure that completes it.
  struct Slot : public google::protobuf::Closure {
    explicit Slot(TarnEcho* o) : owner(o) {}
    void Run() override { owner->OnDone(this); }

    TarnEcho* owner;
    std::optional<tarn::RpcController> ctrl;
    rpcbench::EchoResponse response;
    Clock::time_point start;
  };

  bool busy_poll() const { return mode_ == Mode::kBusyPoll; }

  static bool MayIssue(const RunState& state, Clock::time_point now) {
    return state.result.failures == 0 && state.issued < state.run.calls &&
           now < state.run.deadline;
  }

  // Client loop thread.
  void Issue(Slot* slot) {
    slot->ctrl.emplace(client_->conn());
    if (mode_ == Mode::kBlockingAttachment) {
      // Sent from where it lies; the controller does not own it.
      slot->ctrl->AppendRequestAttachment(const_cast<char*>(payload_.data()),
                                          static_cast<uint32_t>(payload_.size()), false);
    }
    slot->response.Clear();
    state_->issued++;
    state_->in_flight++;
    slot->start = Clock::now();
    stub_->Echo(&*slot->ctrl, &request_, &slot->response, slot);
  }

  // Client loop thread: a call completed; issue the next one in its slot.
  void OnDone(Slot* slot) {
    const Clock::time_point now = Clock::now();
    RunState* state = state_;
    ClientResult* result = &state->result;
    if (!slot->ctrl->Failed() && slot->response.payload().size() == kResponseBytes) {
      result->latency_ns.push_back(
          static_cast<uint32_t>(std::chrono::nanoseconds(now - slot->start).count()));
      result->calls++;
    } else {
      result->failures++;
      if (result->error.empty()) {
        result->error = slot->ctrl->Failed()
                            ? "tarn: " + slot->ctrl->ErrorText() + " (" +
                                  std::to_string(slot->ctrl->error_code()) + ")"
                            : "tarn: short answer of " +
                                  std::to_string(slot->response.payload().size()) + " bytes";
      }
    }
    slot->ctrl.reset();
    state->in_flight--;
    if (MayIssue(*state, now)) {
      Issue(slot);
    } else if (state->in_flight == 0) {
      state->done.countDown();
    }
  }

  const Mode mode_;
  const std::string payload_;
  rpcbench::EchoRequest request_;

  // Server process.
  EchoServiceImpl service_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_thread_;
  std::unique_ptr<tarn::EventWorkerColony> server_colony_;
  std::unique_ptr<tarn::RpcServer> server_;

  // Benchmark process.
  std::unique_ptr<tarn::EventWorkerColony> client_colony_;
  tarn::Worker* worker_ = nullptr;
  // Client loop thread only.
  std::unique_ptr<tarn::RpcClient> client_;
  std::unique_ptr<rpcbench::TarnEchoService_Stub> stub_;
  RunState* state_ = nullptr;
};

class TarnBlockingEcho : public TarnEcho {
 public:
  TarnBlockingEcho() : TarnEcho(Mode::kBlocking) {}
};

class TarnBusyPollEcho : public TarnEcho {
 public:
  TarnBusyPollEcho() : TarnEcho(Mode::kBusyPoll) {}
};

class TarnBlockingAttachmentEcho : public TarnEcho {
 public:
  TarnBlockingAttachmentEcho() : TarnEcho(Mode::kBlockingAttachment) {}
};

RPC_COMPARE_REGISTER(TarnBlockingEcho);
RPC_COMPARE_REGISTER(TarnBusyPollEcho);
RPC_COMPARE_REGISTER(TarnBlockingAttachmentEcho);

}  // namespace
}  // namespace rpc_compare
