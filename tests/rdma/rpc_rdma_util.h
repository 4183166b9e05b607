// Shared pieces of the RPC-over-RDMA tests: an RPC server over RDMA with the
// block-server test service, a polling client worker with an RPC client on
// it, all over the emulated verbs device, and a record of finished calls
// (rpc/rpc_test_util.h).
//
// Polling workers spin without sleeping: a case runs at most SpinBudget()
// of them, so that a two-core machine under a sanitizer still makes
// progress.
#ifndef TESTS_RDMA_RPC_RDMA_UTIL_H_
#define TESTS_RDMA_RPC_RDMA_UTIL_H_

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/server.h"
#include "verbs_emu/verbs_emu.h"

namespace rdmarpc {

using rpctest::Results;
using rpctest::RunOn;
using testsupport::TestBlockServer;
using testsupport::WaitFor;
using testsupport::WorkerOnThread;

// Polling workers one case may run at once: every one spins on a core.
inline uint32_t SpinBudget() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return cores <= 2 ? 2u : std::min(cores, 6u);
}

inline std::string Pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

// Workers with RDMA on over the emulated device, named as the driver names
// it (device, port and the index of the loopback GID ::ffff:127.0.0.1) or,
// by_address, found by the loopback address as the cluster stand-in does. A
// short ACK timeout with one retry keeps the RDMA timeout floor at 504 ms,
// so that cases about timeouts stay short; the device's transport gives up
// within microseconds at its default time scale. A sender whose peer has no
// receive posted waits as long as it takes (rnr_retry 7): a sanitizer build
// on a loaded machine cannot promise to repost within the few milliseconds
// of a finite count. Receive requests come from the object pools: 64 queue
// pairs with receives of their own need 2048.
inline tarn::WorkerOption RdmaWorkerOption(const std::string& prefix, bool srq,
                                           uint32_t max_data = 1u << 20,
                                           uint32_t recv_depth = 32, bool by_address = false) {
  tarn::WorkerOption option;
  option.name_prefix = prefix;
  option.enable_memory_pool = 1;
  option.enable_rdma = 1;
  option.obj_pool_size = 4096;
  option.max_io_chunk_count = 8;
  option.report_interval = 0;
  tarn::WorkerOption::RdmaOption& rdma = option.rdma_option;
  if (by_address) {
    rdma.ip_addr = "127.0.0.1";
  } else {
    rdma.device_name = "emu_0";
    rdma.port_id = 1;
    rdma.gid_index = 3;
  }
  rdma.use_srq = srq;
  rdma.recv_depth = recv_depth;
  rdma.max_send_data_size = max_data;
  rdma.timeout = 10;
  rdma.retry_cnt = 1;
  rdma.rnr_retry = 7;
  return option;
}

using Fn = std::function<void()>;
inline void RunFunction(Fn* fn) {
  (*fn)();
  delete fn;
}

// An acceptor worker, an RPC server over RDMA with the test service and a
// polling client worker. srq picks the shared receive queue on both ends.
class RdmaRpcFixture : public ::testing::Test {
 protected:
  static constexpr uint32_t kAnsweredBudgetMs = 30000;

  void SetUp() override {
    verbs_emu::ClearFailures();
    verbs_emu::SetTimeScale(0.001);
    acceptor_thread_.reset(new WorkerOnThread("acceptor"));
    acceptor_ = acceptor_thread_->worker();
    ASSERT_NE(acceptor_, nullptr);
  }

  // Every polling worker stops before any is destroyed: destruction takes
  // the worker's queue pairs down, and the device's events about them must
  // not be read meanwhile by another worker of the device (the emulated
  // device, unlike a real one, does not wait for those events to be
  // acknowledged before it frees a queue pair).
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
    EXPECT_TRUE(WaitFor([] { return tarn::RdmaClientHelper::Instance().JobCount() == 0; }));
    client_colony_.reset();
    acceptor_thread_->Stop();
    verbs_emu::SetTimeScale(0.001);
    verbs_emu::SetPortState("emu_0", 1, true);
  }

  // What a case keeps on the client worker, released on its loop.
  virtual void ReleaseClientSide() {}
  // The servers, once every client-side worker has stopped.
  virtual void ReleaseServers() { server_.reset(); }

  // Starts the server (on `port`, 0: one of its own choosing) and, the first
  // time, the client worker.
  void StartServer(uint32_t workers = 1, bool srq = true, uint32_t max_data = 1u << 20,
                   uint16_t port = 0) {
    srq_ = srq;
    max_data_ = max_data;
    tarn::WorkerOption option = RdmaWorkerOption("rpcsrv-", srq, max_data, recv_depth_);
    server_.reset(new tarn::RpcServer(tarn::kRdma, acceptor_, testsupport::Loopback(port),
                                      "test_server", option, nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    server_->SetWorkerNum(workers);
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->server()->listen_addr().ToPort();
    ASSERT_NE(port_, 0);
    workers_ = workers;
    pool_size_ = static_cast<int>(option.obj_pool_size);
    StartClientWorker(srq, max_data);
  }

  // The client's polling worker, once; it finds its device by address.
  void StartClientWorker(bool srq = true, uint32_t max_data = 1u << 20) {
    if (client_colony_) return;
    client_colony_.reset(new tarn::PollingWorkerColony(
        1, RdmaWorkerOption("rpccli-", srq, max_data, recv_depth_, true), nullptr));
    client_colony_->Start();
    client_worker_ = static_cast<tarn::PollingWorker*>(client_colony_->GetWorker(0u));
  }

  // Every controller of every server worker is back in its pool.
  bool PoolsFull() {
    return WaitFor([this] {
      for (uint32_t i = 0; i < workers_; ++i) {
        if (server_->FreeControllerCount(i) != pool_size_) return false;
      }
      return true;
    });
  }

  std::unique_ptr<tarn::RpcClient> NewClient(uint32_t timeout_ms = kAnsweredBudgetMs) {
    std::unique_ptr<tarn::RpcClient> client(
        new tarn::RpcClient(tarn::kRdma, client_worker_, testsupport::Loopback(port_), "rdma_cli"));
    client->set_timeout_ms(timeout_ms);
    EXPECT_EQ(client->Connect(), 0);
    return client;
  }

  void MakeClient() {
    RunOn(client_worker_, [this] { client_ = NewClient(); });
  }

  // Issues one write on the client loop; its code lands in results.
  void Write(uint64_t lba, Results* results, const std::vector<std::string>& attachments = {},
             std::function<void(tarn::RpcController*)> check = nullptr) {
    RunOn(client_worker_, [&] { WriteInLoop(client_.get(), lba, results, attachments, check); });
  }

  // On the client loop.
  void WriteInLoop(tarn::RpcClient* client, uint64_t lba, Results* results,
                   const std::vector<std::string>& attachments,
                   std::function<void(tarn::RpcController*)> check = nullptr) {
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
    EXPECT_TRUE(WaitFor([&] {
      Results r;
      Write(lba, &r, {}, [&](tarn::RpcController* ctrl) {
        if (!ctrl->Failed()) seq = ctrl->seq_no();
      });
      return r.WaitFor(1, 60.0) && r.codes()[0] == 0;
    }, 60.0));
    return seq;
  }

  std::unique_ptr<WorkerOnThread> acceptor_thread_;
  tarn::EventWorker* acceptor_ = nullptr;
  std::unique_ptr<tarn::PollingWorkerColony> client_colony_;
  tarn::PollingWorker* client_worker_ = nullptr;
  TestBlockServer service_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::RpcClient> client_;
  uint16_t port_ = 0;
  uint32_t workers_ = 0;
  int pool_size_ = 0;
  bool srq_ = true;
  uint32_t max_data_ = 0;
  // Receives each worker keeps posted (on its shared queue, or per queue
  // pair); set before StartServer.
  uint32_t recv_depth_ = 32;
};

}  // namespace rdmarpc

#endif  // TESTS_RDMA_RPC_RDMA_UTIL_H_
