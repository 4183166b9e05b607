// Shared pieces of the RPC tests over either transport: an acceptor worker,
// an RPC server with the block-server test service on a loopback port, a
// client worker with an RPC client on it, and a record of finished calls.
//
// Over TCP the server and client run on event workers; over RDMA on polling
// workers with queue pairs of the emulated verbs device, with or without the
// shared receive queue (rdma/rpc_rdma_util.h gives their options). A case
// written once against RpcFixture runs over every transport its suite is
// instantiated for. Ports, raw sockets, frames and the service itself come
// from tests/support.
#ifndef TESTS_RPC_RPC_TEST_UTIL_H_
#define TESTS_RPC_RPC_TEST_UTIL_H_

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rdma/rpc_rdma_util.h"
#include "support/frames.h"
#include "support/ports.h"
#include "support/sockets.h"
#include "support/test_service.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/server.h"
#include "tarn/worker.h"
#include "verbs_emu/verbs_emu.h"
#include "vovorav.pb.h"

namespace rpctest {

using Clock = std::chrono::steady_clock;

using testsupport::BuildFrame;
using testsupport::Loopback;
using testsupport::PeerCloses;
using testsupport::PickFreePort;
using testsupport::RawConnect;
using testsupport::ReadResponse;
using testsupport::RecvExact;
using testsupport::RequestHeader;
using testsupport::SendAll;
using testsupport::TestBlockServer;
using testsupport::WaitFor;
using testsupport::WorkerOnThread;
using testsupport::WriteRequestFrame;

// Runs fn on worker's loop and waits for it; a refusal fails the test.
inline void RunOn(tarn::Worker* worker, const std::function<void()>& fn) {
  ASSERT_TRUE(testsupport::RunSync(worker, fn));
}

using Fn = std::function<void()>;
// A protobuf closure running fn once.
inline void RunFunction(Fn* fn) {
  (*fn)();
  delete fn;
}

inline std::string Pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

// Outcome of finished calls, filled by closures on the client loop.
class Results {
 public:
  void Add(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_.push_back(code);
    cond_.notify_all();
  }
  // Waits until n results are in; false on timeout.
  bool WaitFor(size_t n, double seconds = 30.0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::duration<double>(seconds),
                          [&] { return codes_.size() >= n; });
  }
  std::vector<int> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<int> codes_;
};

// How a case's client and server talk: over TCP, or over RDMA with the
// shared receive queue or with receives posted per queue pair.
struct TransportCase {
  tarn::Transport transport;
  bool srq;
  const char* name;
};

inline TransportCase OverTcp() { return {tarn::kTcp, false, "Tcp"}; }
inline TransportCase OverRdma(bool srq) {
  return {tarn::kRdma, srq, srq ? "RdmaSrq" : "RdmaQpReceives"};
}

inline void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

// Names a parameterised case's instances after their transport.
inline std::string TransportName(const ::testing::TestParamInfo<TransportCase>& info) {
  return info.param.name;
}

// An acceptor worker, an RPC server with the test service and a client
// worker, over the fixture's transport (TCP unless a subclass picks
// another before SetUp).
class RpcFixture : public ::testing::Test {
 protected:
  static constexpr uint32_t kAnsweredBudgetMs = 30000;
  using Check = std::function<void(tarn::RpcController*)>;

  bool Rdma() const { return transport_.transport == tarn::kRdma; }

  void SetUp() override {
    if (Rdma()) {
      verbs_emu::ClearFailures();
      verbs_emu::SetTimeScale(0.001);
    }
    acceptor_thread_.reset(new WorkerOnThread("acceptor", option_));
    acceptor_ = acceptor_thread_->worker();
    ASSERT_NE(acceptor_, nullptr);
  }

  // Held calls a failing case left behind are answered before the server
  // goes. The client worker stops before any server is destroyed: over RDMA
  // destruction takes a worker's queue pairs down, and the device's events
  // about them must not be read meanwhile by another worker of the device
  // (the emulated device, unlike a real one, does not wait for those events
  // to be acknowledged before it frees a queue pair).
  void TearDown() override {
    service_.Release();
    service_.ReleaseUserHolds();
    if (client_) RunOn(client_worker_, [this] { client_.reset(); });
    ReleaseClientSide();
    if (client_colony_) client_colony_->Stop();
    ReleaseServers();
    // A handshake still in flight reports to the client's worker when its
    // TCP connection closes (the servers just went): let every job end
    // before that worker is destroyed.
    if (Rdma()) {
      EXPECT_TRUE(WaitFor([] { return tarn::RdmaClientHelper::Instance().JobCount() == 0; }));
    }
    client_colony_.reset();
    acceptor_thread_->Stop();
    if (Rdma()) {
      verbs_emu::SetTimeScale(0.001);
      verbs_emu::SetPortState("emu_0", 1, true);
    }
  }

  // What a case keeps on the client worker, released on its loop.
  virtual void ReleaseClientSide() {}
  // The servers, once the client worker has stopped.
  virtual void ReleaseServers() { server_.reset(); }

  // The options of the server's workers: over RDMA their object pools also
  // hold the receive requests.
  tarn::WorkerOption ServerOption() const {
    if (Rdma()) return RdmaWorkerOption("rpcsrv-", transport_.srq, max_data_, recv_depth_);
    tarn::WorkerOption option = option_;
    option.name_prefix = "rpcsrv-";
    option.obj_pool_size = server_pool_;
    return option;
  }

  // Starts the server on `port` (0: one of its own choosing, kept in port_)
  // and the client worker. Its own choice lies below the ephemeral range: a
  // test that restarts it on the same port finds the port still free, where
  // another test's outgoing connection could take a port of that range
  // between the stop and the restart.
  void StartServer(uint32_t workers = 1, uint16_t port = 0) {
    const tarn::WorkerOption option = ServerOption();
    if (port == 0) port = PickFreePort();
    server_.reset(new tarn::RpcServer(transport_.transport, acceptor_, Loopback(port),
                                      "test_server", option, nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    server_->set_output_hold(output_hold_);
    server_->SetWorkerNum(workers);
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->server()->listen_addr().ToPort();
    ASSERT_NE(port_, 0);
    workers_ = workers;
    pool_size_ = static_cast<int>(option.obj_pool_size);
    StartClientWorker();
  }

  void StartServerAndClient() {
    StartServer();
    MakeClient();
  }

  // The client's worker, once: an event worker over TCP, a polling worker
  // that finds its device by address over RDMA.
  void StartClientWorker() {
    if (client_colony_) return;
    if (Rdma()) {
      client_colony_.reset(new tarn::PollingWorkerColony(
          1, RdmaWorkerOption("rpccli-", transport_.srq, max_data_, recv_depth_, true), nullptr));
    } else {
      tarn::WorkerOption option = option_;
      option.name_prefix = "rpccli-";
      client_colony_.reset(new tarn::EventWorkerColony(1, option, nullptr));
    }
    client_colony_->Start();
    client_worker_ = client_colony_->GetWorker(0u);
  }

  // Over RDMA: the client's worker as the polling worker it is.
  tarn::PollingWorker* client_poller() const {
    return static_cast<tarn::PollingWorker*>(client_worker_);
  }

  // Every controller of every server worker is back in its pool.
  bool PoolsFull(double seconds = 30.0) {
    return WaitFor(
        [this] {
          for (uint32_t i = 0; i < workers_; ++i) {
            if (server_->FreeControllerCount(i) != pool_size_) return false;
          }
          return true;
        },
        seconds);
  }

  // On the client loop: a client of port_, connecting. Calls the test
  // answers get a budget that a loaded sanitizer build cannot exhaust; cases
  // about timeouts set their own short one.
  std::unique_ptr<tarn::RpcClient> NewClient(uint32_t timeout_ms = kAnsweredBudgetMs) {
    std::unique_ptr<tarn::RpcClient> client(
        new tarn::RpcClient(transport_.transport, client_worker_, Loopback(port_), "test_client"));
    client->set_timeout_ms(timeout_ms);
    EXPECT_EQ(client->Connect(), 0);
    return client;
  }

  void MakeClient() {
    StartClientWorker();
    RunOn(client_worker_, [this] { client_ = NewClient(); });
  }

  // Issues one write on the client loop; its code lands in results.
  void Write(uint64_t lba, Results* results, const std::vector<std::string>& attachments = {},
             Check check = nullptr) {
    RunOn(client_worker_, [&] { WriteOn(client_.get(), lba, results, attachments, check); });
  }

  // On the client loop.
  void WriteInLoop(uint64_t lba, Results* results, const std::vector<std::string>& attachments,
                   Check check = nullptr) {
    WriteOn(client_.get(), lba, results, attachments, check);
  }

  // On the client loop: a write through `client`.
  void WriteOn(tarn::RpcClient* client, uint64_t lba, Results* results,
               const std::vector<std::string>& attachments, Check check = nullptr) {
    auto* ctrl = new tarn::RpcController(client->conn());
    for (const std::string& a : attachments) {
      void* p = ctrl->Malloc(static_cast<uint32_t>(a.size()));
      memcpy(p, a.data(), a.size());
      ctrl->AppendRequestAttachment(p, static_cast<uint32_t>(a.size()), true);
    }
    auto* req = new vovorav::BlockServerWriteRequest;
    auto* resp = new vovorav::BlockServerWriteResponse;
    req->set_lba(lba);
    auto finish = [ctrl, req, resp, results, check] {
      if (check) check(ctrl);
      results->Add(ctrl->Failed() ? ctrl->error_code() : 0);
      delete ctrl;
      delete req;
      delete resp;
    };
    vovorav::BlockServerService_Stub stub(client);
    stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
  }

  // The client's connection as it stands (no reconnect), on its loop.
  std::shared_ptr<tarn::Connection> ClientConn() {
    std::shared_ptr<tarn::Connection> conn;
    RunOn(client_worker_, [&] { conn = client_->current_conn(); });
    return conn;
  }

  // Writes until one succeeds (a closed connection fails the first calls
  // after it, the next call reconnects); the successful call's sequence.
  uint64_t WriteUntilAnswered(uint64_t lba) {
    uint64_t seq = 0;
    EXPECT_TRUE(WaitFor(
        [&] {
          Results r;
          Write(lba, &r, {}, [&](tarn::RpcController* ctrl) {
            if (!ctrl->Failed()) seq = ctrl->seq_no();
          });
          return r.WaitFor(1, 60.0) && r.codes()[0] == 0;
        },
        60.0));
    return seq;
  }

  TransportCase transport_ = OverTcp();
  tarn::WorkerOption option_;
  std::unique_ptr<WorkerOnThread> acceptor_thread_;
  tarn::EventWorker* acceptor_ = nullptr;
  std::unique_ptr<tarn::WorkerColony> client_colony_;
  tarn::Worker* client_worker_ = nullptr;
  TestBlockServer service_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::RpcClient> client_;
  uint16_t port_ = 0;
  uint32_t workers_ = 0;
  int pool_size_ = 0;
  // Set before StartServer: the controllers of each server worker over TCP;
  // over RDMA the message size and the receives each worker keeps posted
  // (on its shared queue, or per queue pair).
  uint32_t server_pool_ = 64;
  // Set before StartServer: how the server holds back clients that do not
  // read their answers.
  tarn::OutputHold output_hold_{tarn::kRpcOutputHighWater, tarn::kRpcOutputLowWater,
                                tarn::kRpcOutputStallTimeoutS};
  uint32_t max_data_ = 1u << 20;
  uint32_t recv_depth_ = 32;
};

// RpcFixture over the transport the suite is instantiated with.
class TransportSuite : public RpcFixture, public ::testing::WithParamInterface<TransportCase> {
 protected:
  TransportSuite() { transport_ = GetParam(); }
};

}  // namespace rpctest

#endif  // TESTS_RPC_RPC_TEST_UTIL_H_
