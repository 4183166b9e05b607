// gRPC C++ as the baseline, given its best plain setup on loopback.
//
// Server: the asynchronous API, one completion queue per server thread
// (RPC_COMPARE_GRPC_SERVER_THREADS, default 1: on one connection a second
// thread only hands the poller back and forth, which costs latency and CPU),
// each queue pre-armed with enough pending requests for every outstanding
// call.
//
// Clients, both over one channel (one HTTP/2 connection, as the framework's
// client uses one TCP connection):
//   "grpc-async": one thread drives a CompletionQueue and keeps N calls in
//                 flight, reissuing each as it completes.
//   "grpc-sync":  N threads, each making blocking calls on the shared stub
//                 (at depth 1 the benchmark thread itself).
// Neither client wins everywhere on loopback (blocking stubs tend to answer
// a lone call sooner, the completion queue carries more calls in flight), so
// both rows are measured and the ratios take the better gRPC figure.
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "echo.grpc.pb.h"
#include "rpc_compare/system_under_test.h"

namespace rpc_compare {
namespace {

int ServerThreads() {
  const char* env = ::getenv("RPC_COMPARE_GRPC_SERVER_THREADS");
  int n = env ? atoi(env) : 1;
  return n > 0 ? n : 1;
}

uint32_t ElapsedNs(Clock::time_point start) {
  return static_cast<uint32_t>(std::chrono::nanoseconds(Clock::now() - start).count());
}

// One server-side call: requested, then answered, then freed.
class EchoCall {
 public:
  EchoCall(rpcbench::EchoService::AsyncService* service, grpc::ServerCompletionQueue* cq,
           const std::string* answer)
      : service_(service), cq_(cq), answer_(answer), responder_(&context_) {
    service_->RequestEcho(&context_, &request_, &responder_, cq_, cq_, this);
  }

  void Proceed(bool ok) {
    if (!ok || answered_) {  // server shutting down, or the answer has gone out
      delete this;
      return;
    }
    new EchoCall(service_, cq_, answer_);  // keep a request armed
    answered_ = true;
    if (request_.answer_bytes() > 0) {
      response_.mutable_payload()->assign(request_.answer_bytes(), 'R');
    } else {
      response_.set_payload(*answer_);
    }
    responder_.Finish(response_, grpc::Status::OK, this);
  }

 private:
  rpcbench::EchoService::AsyncService* service_;
  grpc::ServerCompletionQueue* cq_;
  const std::string* answer_;
  grpc::ServerContext context_;
  rpcbench::EchoRequest request_;
  rpcbench::EchoResponse response_;
  grpc::ServerAsyncResponseWriter<rpcbench::EchoResponse> responder_;
  bool answered_ = false;
};

class GrpcEcho : public SystemUnderTest {
 public:
  explicit GrpcEcho(bool async_client)
      : async_client_(async_client), request_payload_(kRequestBytes, 'q'),
        answer_(kResponseBytes, 'r') {
    request_.set_payload(request_payload_);
  }

  std::string Name() const override { return async_client_ ? "grpc-async" : "grpc-sync"; }
  Role role() const override { return Role::kBaseline; }
  std::string Describe() const override {
    std::string server =
        "async server on " + std::to_string(ServerThreads()) + " completion-queue thread(s); ";
    return server + (async_client_ ? "client: 1 thread on a CompletionQueue, 1 channel"
                                   : "client: N threads with blocking stubs, 1 channel");
  }

  int StartServer() override {
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&service_);
    for (int i = 0; i < ServerThreads(); ++i) cqs_.push_back(builder.AddCompletionQueue());
    server_ = builder.BuildAndStart();
    if (!server_ || port <= 0) return -1;
    for (auto& cq : cqs_) {
      grpc::ServerCompletionQueue* q = cq.get();
      for (int i = 0; i < 64; ++i) new EchoCall(&service_, q, &answer_);
      // The process exits right after StopServer, so the threads are left to it.
      std::thread([q] {
        void* tag;
        bool ok;
        while (q->Next(&tag, &ok)) static_cast<EchoCall*>(tag)->Proceed(ok);
      }).detach();
    }
    return port;
  }

  void StopServer() override {
    server_->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(200));
  }

  bool ConnectClient(uint16_t port) override {
    grpc::ChannelArguments args;
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);  // a connection of our own
    channel_ = grpc::CreateCustomChannel("127.0.0.1:" + std::to_string(port),
                                         grpc::InsecureChannelCredentials(), args);
    stub_ = rpcbench::EchoService::NewStub(channel_);
    return channel_->WaitForConnected(std::chrono::system_clock::now() + std::chrono::seconds(5));
  }

  ClientResult RunClient(const ClientRun& run) override {
    return async_client_ ? RunAsync(run) : RunSync(run);
  }

  void DisconnectClient() override {
    stub_.reset();
    channel_.reset();
  }

 private:
  struct Slot {
    std::unique_ptr<grpc::ClientContext> context;
    std::unique_ptr<grpc::ClientAsyncResponseReader<rpcbench::EchoResponse>> reader;
    rpcbench::EchoResponse response;
    grpc::Status status;
    Clock::time_point start;
  };

  void Issue(Slot* slot, grpc::CompletionQueue* cq) {
    slot->context.reset(new grpc::ClientContext);  // contexts are single-use
    slot->start = Clock::now();
    slot->reader = stub_->AsyncEcho(slot->context.get(), request_, cq);
    slot->reader->Finish(&slot->response, &slot->status, slot);
  }

  ClientResult RunAsync(const ClientRun& run) {
    ClientResult result;
    result.latency_ns.reserve(run.calls);
    grpc::CompletionQueue cq;
    std::vector<Slot> slots(run.outstanding);
    uint64_t issued = 0;
    int in_flight = 0;
    for (Slot& slot : slots) {
      if (issued == run.calls || Clock::now() >= run.deadline) break;
      Issue(&slot, &cq);
      issued++;
      in_flight++;
    }
    while (in_flight > 0) {
      void* tag;
      bool ok;
      if (!cq.Next(&tag, &ok)) break;
      Slot* slot = static_cast<Slot*>(tag);
      in_flight--;
      Record(ok && slot->status.ok(), slot->start, slot->status, &result);
      if (issued < run.calls && Clock::now() < run.deadline) {
        Issue(slot, &cq);
        issued++;
        in_flight++;
      }
    }
    cq.Shutdown();
    void* tag;
    bool ok;
    while (cq.Next(&tag, &ok)) {
    }
    return result;
  }

  ClientResult RunSync(const ClientRun& run) {
    std::atomic<uint64_t> issued(0);
    std::vector<ClientResult> parts(run.outstanding);
    auto worker = [&](ClientResult* part) {
      part->latency_ns.reserve(run.calls / run.outstanding + 1);
      while (issued.fetch_add(1, std::memory_order_relaxed) < run.calls &&
             Clock::now() < run.deadline) {
        grpc::ClientContext context;
        rpcbench::EchoResponse response;
        Clock::time_point start = Clock::now();
        grpc::Status status = stub_->Echo(&context, request_, &response);
        Record(status.ok(), start, status, part);
      }
    };
    if (run.outstanding == 1) {
      worker(&parts[0]);
    } else {
      std::vector<std::thread> threads;
      for (ClientResult& part : parts) threads.emplace_back(worker, &part);
      for (std::thread& t : threads) t.join();
    }
    ClientResult result;
    for (ClientResult& part : parts) {
      result.calls += part.calls;
      result.failures += part.failures;
      result.latency_ns.insert(result.latency_ns.end(), part.latency_ns.begin(),
                               part.latency_ns.end());
      if (result.error.empty()) result.error = part.error;
    }
    return result;
  }

  static void Record(bool ok, Clock::time_point start, const grpc::Status& status,
                     ClientResult* result) {
    if (ok) {
      result->latency_ns.push_back(ElapsedNs(start));
      result->calls++;
    } else {
      result->failures++;
      if (result->error.empty()) result->error = "grpc: " + status.error_message();
    }
  }

  const bool async_client_;
  const std::string request_payload_;
  const std::string answer_;
  rpcbench::EchoRequest request_;

  // Server process.
  rpcbench::EchoService::AsyncService service_;
  std::vector<std::unique_ptr<grpc::ServerCompletionQueue>> cqs_;
  std::unique_ptr<grpc::Server> server_;

  // Benchmark process.
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<rpcbench::EchoService::Stub> stub_;
};

class GrpcAsyncEcho : public GrpcEcho {
 public:
  GrpcAsyncEcho() : GrpcEcho(true) {}
};

class GrpcSyncEcho : public GrpcEcho {
 public:
  GrpcSyncEcho() : GrpcEcho(false) {}
};

RPC_COMPARE_REGISTER(GrpcAsyncEcho);
RPC_COMPARE_REGISTER(GrpcSyncEcho);

}  // namespace
}  // namespace rpc_compare
