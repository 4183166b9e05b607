// Shared pieces of the RPC tests: an acceptor worker, a client worker and
// an RPC server with the block-server test service on a loopback port, and
// a record of finished calls. Ports, raw sockets, frames and the service
// itself come from tests/support.
#ifndef TESTS_RPC_RPC_TEST_UTIL_H_
#define TESTS_RPC_RPC_TEST_UTIL_H_

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/frames.h"
#include "support/ports.h"
#include "support/sockets.h"
#include "support/test_service.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/loop.h"
#include "tarn/rpc/rpc_client.h"
#include "tarn/rpc/rpc_controller.h"
#include "tarn/rpc/rpc_server.h"
#include "tarn/worker.h"
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

// An acceptor worker, a client worker and an RPC server with the test
// service on a loopback port.
class RpcFixture : public ::testing::Test {
 protected:
  static constexpr uint32_t kAnsweredBudgetMs = 30000;

  void SetUp() override {
    acceptor_thread_.reset(new WorkerOnThread("acceptor", option_));
    acceptor_ = acceptor_thread_->worker();
    client_thread_.reset(new WorkerOnThread("client", option_));
    client_worker_ = client_thread_->worker();
    ASSERT_NE(acceptor_, nullptr);
    ASSERT_NE(client_worker_, nullptr);
  }

  void TearDown() override {
    if (client_) RunOn(client_worker_, [this] { client_.reset(); });
    server_.reset();
    client_thread_->Stop();
    acceptor_thread_->Stop();
  }

  void StartServer(uint16_t port, uint32_t workers = 1, uint32_t pool = 64) {
    tarn::WorkerOption opt = option_;
    opt.name_prefix = "rpcsrv-";
    opt.obj_pool_size = pool;
    server_.reset(new tarn::RpcServer(tarn::kTcp, acceptor_, Loopback(port), "test_server", opt,
                                      nullptr));
    ASSERT_EQ(server_->AddService(&service_), 0);
    server_->SetWorkerNum(workers);
    ASSERT_EQ(server_->Start(), 0);
    pool_size_ = static_cast<int>(pool);
    workers_ = workers;
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

  void MakeClient(uint16_t port) {
    RunOn(client_worker_, [this, port] {
      client_.reset(new tarn::RpcClient(tarn::kTcp, client_worker_, Loopback(port), "test_client"));
      // Calls the test answers get a budget that a loaded sanitizer build
      // cannot exhaust; cases about timeouts set their own short one.
      client_->set_timeout_ms(kAnsweredBudgetMs);
      ASSERT_EQ(client_->Connect(), 0);
    });
  }

  // Issues one write on the client loop; its code lands in results.
  void Write(uint64_t lba, Results* results, std::vector<std::string> attachments = {},
             std::function<void(tarn::RpcController*)> check = nullptr) {
    RunOn(client_worker_, [&] { WriteInLoop(lba, results, attachments, check); });
  }

  // On the client loop.
  void WriteInLoop(uint64_t lba, Results* results, const std::vector<std::string>& attachments,
                   std::function<void(tarn::RpcController*)> check = nullptr) {
    auto* ctrl = new tarn::RpcController(client_->conn());
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
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
  }

  using Fn = std::function<void()>;
  static void RunFunction(Fn* fn) {
    (*fn)();
    delete fn;
  }

  tarn::WorkerOption option_;
  std::unique_ptr<WorkerOnThread> acceptor_thread_;
  std::unique_ptr<WorkerOnThread> client_thread_;
  tarn::EventWorker* acceptor_ = nullptr;
  tarn::Worker* client_worker_ = nullptr;
  TestBlockServer service_;
  std::unique_ptr<tarn::RpcServer> server_;
  std::unique_ptr<tarn::RpcClient> client_;
  int pool_size_ = 0;
  uint32_t workers_ = 0;
};

}  // namespace rpctest

#endif  // TESTS_RPC_RPC_TEST_UTIL_H_
