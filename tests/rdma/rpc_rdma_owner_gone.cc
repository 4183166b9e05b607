// RPC over RDMA when the owner of a connection goes while the device still
// holds messages for it: an RpcClient destroyed with the answer to its last
// call already in its receive completion queue, and an RpcServer over a
// colony it does not own destroyed with requests in its workers' receive
// completion queue, or with an answer's send outstanding. Nothing of the
// owner runs afterwards (under
// AddressSanitizer a call into it would be a use after free), and the
// messages' buffers go back.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"
#include "tarn/polling/rdma_handle.h"

namespace rpctest {
namespace {

// A closure the test owns: it only records that it ran.
class Flag : public google::protobuf::Closure {
 public:
  void Run() override {
    ran_.store(true);
    if (then) then();
  }
  bool ran() const { return ran_.load(); }

  std::function<void()> then;  // runs after the flag is set

 private:
  std::atomic<bool> ran_{false};
};

// The device has written exactly `cqes` completions nobody has polled, and
// every send posted has been polled: what is left sits in a receive queue
// whose worker is not polling.
bool OnlyReceivesLeft(uint64_t cqes) {
  const verbs_emu::Counters counters = verbs_emu::GetCounters();
  return counters.cqes == cqes && counters.send_wrs == 0;
}

// Every completion the device wrote has been polled, and every send posted
// too. A test waits for this before it stops a worker that has sent: the
// worker may not have polled its own sends' completions yet, and once
// stopped it never will.
bool AllCompletionsTaken() {
  const verbs_emu::Counters counters = verbs_emu::GetCounters();
  return counters.cqes == 0 && counters.send_wrs == 0;
}

// Runs fn on `worker`'s loop without waiting; returns once fn has started.
// fn keeps that loop from polling until it returns.
void StartOn(tarn::Worker* worker, std::atomic<int>* stage, std::function<void()> fn) {
  ASSERT_EQ(worker->loop()->RunInLoop(
                [stage, fn = std::move(fn)] {
                  stage->store(1);
                  fn();
                  stage->store(2);
                },
                true),
            0);
  ASSERT_TRUE(WaitFor([stage] { return stage->load() >= 1; }));
}

class OwnerGone : public TransportSuite {
 protected:
  // Receive-sized buffers of `worker` that are neither posted nor free
  // (held by a reader, or lost), on its loop.
  uint64_t BuffersOut(tarn::Worker* worker) {
    uint64_t out = 0;
    RunOn(worker, [&] {
      const tarn::WorkerOption::RdmaOption& rdma = worker->option().rdma_option;
      std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
      worker->GetMemPoolStat(&stat);
      const uint32_t size = rdma.max_send_data_size + rdma.max_send_meta_size;
      const auto* polling = static_cast<tarn::PollingWorker*>(worker);
      const size_t posted =
          polling->rdma_handle() != nullptr ? polling->rdma_handle()->posted_buffers().size() : 0;
      out = stat[size].first - stat[size].second - posted;
    });
    return out;
  }

  void ReleaseServers() override {
    server_.reset();
    if (server_colony_) server_colony_->Stop();
    server_colony_.reset();
  }

  // A server over one polling worker of a colony the test owns, a client,
  // and one call answered.
  void StartOverOutsideColony() {
    const tarn::WorkerOption option = ServerOption();
    server_colony_.reset(new tarn::PollingWorkerColony(1, option, nullptr));
    server_colony_->Start();
    server_.reset(new tarn::RpcServer(tarn::kRdma, acceptor_, Loopback(0), "test_server", option,
                                      server_colony_.get()));
    ASSERT_EQ(server_->AddService(&service_), 0);
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->server()->listen_addr().ToPort();
    workers_ = 1;
    pool_size_ = static_cast<int>(option.obj_pool_size);
    MakeClient();
    ASSERT_NE(WriteUntilAnswered(1), 0u);
    // The client has the answer; the server's worker polls its send's
    // completion too before a test stops that worker.
    ASSERT_TRUE(WaitFor(AllCompletionsTaken));
  }

  void DestroyWithAnAnswerOutstanding(bool from_server_worker);

  std::unique_ptr<tarn::PollingWorkerColony> server_colony_;
};

TEST_P(OwnerGone, ClientDestroyedWithTheAnswerInItsReceiveQueue) {
  StartServerAndClient();
  ASSERT_NE(WriteUntilAnswered(1), 0u);
  std::unique_ptr<tarn::RpcController> ctrl;
  vovorav::BlockServerWriteRequest request;
  vovorav::BlockServerWriteResponse response;
  Flag done;
  RunOn(client_worker_, [&] {
    ctrl.reset(new tarn::RpcController(client_->conn()));
    request.set_lba(TestBlockServer::kHoldLba);
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Write(ctrl.get(), &request, &response, &done);
  });
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  ASSERT_TRUE(WaitFor(AllCompletionsTaken));

  // The client's loop stops polling; the answer lands in its receive queue
  // and the client is destroyed before the loop polls again.
  std::atomic<int> stage{0};
  ASSERT_NO_FATAL_FAILURE(StartOn(client_worker_, &stage, [this] {
    EXPECT_TRUE(WaitFor([] { return OnlyReceivesLeft(1); }));
    client_.reset();
  }));
  EXPECT_EQ(service_.Release(), 1u);
  ASSERT_TRUE(WaitFor([&] { return stage.load() == 2; }));
  // Passes of the client's loop that poll the answer.
  for (int i = 0; i < 3; ++i) RunOn(client_worker_, [] {});
  EXPECT_TRUE(WaitFor([] { return verbs_emu::GetCounters().cqes == 0; }));
  EXPECT_FALSE(done.ran());
  RunOn(client_worker_, [&] { ctrl.reset(); });
  EXPECT_TRUE(PoolsFull());
}

// Answers received before a local close (the connection force-closed, as a
// failed send or a keepalive does) reach the calls of a client that is
// still there, through the reconnect its next call makes; a client
// destroyed after that reconnect hears of none of them, from either
// connection.
class Reconnect : public OwnerGone {
 protected:
  static constexpr size_t kHeld = 4;
  // A dropped answer leaves its call to end at this budget, failed.
  static constexpr uint32_t kBudgetMs = 10000;

  // A call whose pieces the test owns (a client destroyed with it in
  // flight never runs its closure).
  struct Call {
    std::unique_ptr<tarn::RpcController> ctrl;
    vovorav::BlockServerWriteRequest request;
    vovorav::BlockServerWriteResponse response;
    Flag done;
  };

  void ReleaseClientSide() override {
    RunOn(client_worker_, [this] { calls_.clear(); });
  }

  // On the client's loop.
  void CallInLoop(uint64_t lba) {
    calls_.emplace_back(new Call);
    Call* call = calls_.back().get();
    call->ctrl.reset(new tarn::RpcController(client_->conn()));
    call->request.set_lba(lba);
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Write(call->ctrl.get(), &call->request, &call->response, &call->done);
  }

  // kHeld calls held by the service; on the client's loop, with their
  // answers received and not polled: the connection is closed, one more
  // call is made (it reconnects), then `then` runs.
  void CloseAndCallWithAnswersWaiting(const std::function<void()>& then) {
    StartServerAndClient();
    ASSERT_NE(WriteUntilAnswered(1), 0u);
    RunOn(client_worker_, [this] {
      client_->set_timeout_ms(kBudgetMs);
      for (size_t i = 0; i < kHeld; ++i) CallInLoop(TestBlockServer::kHoldLba);
    });
    ASSERT_TRUE(WaitFor([this] { return service_.held() == kHeld; }));
    ASSERT_TRUE(WaitFor(AllCompletionsTaken));
    std::atomic<int> stage{0};
    ASSERT_NO_FATAL_FAILURE(StartOn(client_worker_, &stage, [this, then] {
      EXPECT_TRUE(WaitFor([] { return OnlyReceivesLeft(kHeld); }));
      client_->current_conn()->ForceClose();
      CallInLoop(2);
      then();
    }));
    EXPECT_EQ(service_.Release(), kHeld);
    ASSERT_TRUE(WaitFor([&] { return stage.load() == 2; }));
  }

  // Every call made so far has ended (the list grows on the client's
  // loop, so it is read there).
  bool AllDone() {
    bool all = true;
    RunOn(client_worker_, [&] {
      for (const auto& call : calls_) all = all && call->done.ran();
    });
    return all;
  }

  std::vector<std::unique_ptr<Call>> calls_;
};

TEST_P(Reconnect, AnswersReceivedBeforeALocalCloseReachTheLiveClient) {
  ASSERT_NO_FATAL_FAILURE(CloseAndCallWithAnswersWaiting([] {}));
  ASSERT_TRUE(WaitFor([this] { return AllDone(); }));
  // None ended at its budget (a dropped answer would).
  RunOn(client_worker_, [this] {
    for (const auto& call : calls_) EXPECT_FALSE(call->ctrl->Failed()) << call->ctrl->error_code();
  });
}

// The driver's case: a send fails (its peer's queue pair is gone), which
// closes the connection in the send half of a poll, and the first answer
// of the receive half issues a call (a read-modify-write's write stage),
// which reconnects: the other answers of that batch still reach their
// calls.
TEST_P(Reconnect, ACallFromAnAnswerAfterASendErrorLeavesTheBatchsOtherAnswers) {
  StartServerAndClient();
  ASSERT_NE(WriteUntilAnswered(1), 0u);
  bool reconnected = false;  // the client's loop only
  RunOn(client_worker_, [&] {
    client_->set_timeout_ms(kBudgetMs);
    for (size_t i = 0; i < kHeld; ++i) {
      CallInLoop(TestBlockServer::kHoldLba);
      calls_.back()->done.then = [&] {
        if (reconnected) return;
        reconnected = true;
        CallInLoop(2);
      };
    }
  });
  ASSERT_TRUE(WaitFor([this] { return service_.held() == kHeld; }));
  ASSERT_TRUE(WaitFor(AllCompletionsTaken));
  const uint32_t server_qp = service_.last_conn()->my_qp_num();
  std::atomic<int> stage{0};
  ASSERT_NO_FATAL_FAILURE(StartOn(client_worker_, &stage, [&] {
    EXPECT_TRUE(WaitFor([] { return OnlyReceivesLeft(kHeld); }));
    EXPECT_TRUE(verbs_emu::KillQp("emu_0", server_qp));
    const uint32_t client_qp = client_->current_conn()->my_qp_num();
    CallInLoop(3);
    EXPECT_TRUE(WaitFor([client_qp] {
      ibv_qp_state state = IBV_QPS_RTS;
      return verbs_emu::GetQpState("emu_0", client_qp, &state) && state == IBV_QPS_ERR;
    }));
  }));
  EXPECT_EQ(service_.Release(), kHeld);
  ASSERT_TRUE(WaitFor([&] { return stage.load() == 2; }));
  ASSERT_TRUE(WaitFor([this] { return AllDone(); }));
  RunOn(client_worker_, [this] {
    ASSERT_EQ(calls_.size(), kHeld + 2);
    for (size_t i = 0; i < kHeld; ++i) EXPECT_FALSE(calls_[i]->ctrl->Failed()) << i;
    EXPECT_TRUE(calls_[kHeld]->ctrl->Failed());  // the send that met the dead queue pair
    EXPECT_FALSE(calls_[kHeld + 1]->ctrl->Failed()) << calls_[kHeld + 1]->ctrl->error_code();
  });
}

TEST_P(Reconnect, AClientDestroyedAfterTheReconnectHearsOfNoAnswer) {
  ASSERT_NO_FATAL_FAILURE(CloseAndCallWithAnswersWaiting([this] { client_.reset(); }));
  // Passes of the client's loop that poll the answers.
  for (int i = 0; i < 3; ++i) RunOn(client_worker_, [] {});
  EXPECT_TRUE(WaitFor([] { return verbs_emu::GetCounters().cqes == 0; }));
  RunOn(client_worker_, [this] {
    for (const auto& call : calls_) EXPECT_FALSE(call->done.ran());
  });
  EXPECT_TRUE(PoolsFull());
}

INSTANTIATE_TEST_SUITE_P(Over, Reconnect, ::testing::Values(OverRdma(true), OverRdma(false)),
                         TransportName);

TEST_P(OwnerGone, ServerOverAnOutsideColonyDestroyedWithRequestsInItsReceiveQueue) {
  constexpr size_t kCalls = 8;
  ASSERT_NO_FATAL_FAILURE(StartOverOutsideColony());
  tarn::Worker* server_worker = server_colony_->GetWorker(0u);
  // The calls that find no server end at their (short) budget.
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });

  // The server's worker stops polling; the requests land in its receive
  // queue and the server goes (from that worker's thread, the only one that
  // can be sure it has not polled them) before the worker polls again.
  std::atomic<int> stage{0};
  ASSERT_NO_FATAL_FAILURE(StartOn(server_worker, &stage, [this] {
    EXPECT_TRUE(WaitFor([] { return OnlyReceivesLeft(kCalls); }));
    server_.reset();
  }));
  Results results;
  RunOn(client_worker_, [&] {
    for (size_t i = 0; i < kCalls; ++i) WriteInLoop(100 + i, &results, {Pattern(512, 3)});
  });
  ASSERT_TRUE(WaitFor([&] { return stage.load() == 2; }));
  for (int i = 0; i < 3; ++i) RunOn(server_worker, [] {});
  ASSERT_TRUE(results.WaitFor(kCalls));
  for (int code : results.codes()) EXPECT_NE(code, 0);
  for (uint64_t lba : service_.lbas()) EXPECT_LT(lba, 100u);  // none reached the service
  // The requests' buffers went back to the worker that received them.
  EXPECT_EQ(BuffersOut(server_worker), 0u);
}

// A client on the server's own worker, whose first answer's closure
// destroys the server while that worker's poll still holds completions
// (answers, requests, sends) it has not handled: each of them is handled
// once, by the poll that took it, and every buffer comes back.
TEST_P(OwnerGone, ServerDestroyedFromACallbackOnItsOwnWorker) {
  static constexpr size_t kCalls = 32;
  ASSERT_NO_FATAL_FAILURE(StartOverOutsideColony());
  tarn::Worker* worker = server_colony_->GetWorker(0u);
  testsupport::LogCapture logs;
  std::unique_ptr<tarn::RpcClient> near;
  RunOn(worker, [&] {
    near.reset(new tarn::RpcClient(tarn::kRdma, worker, Loopback(port_), "near_client"));
    near->set_timeout_ms(kAnsweredBudgetMs);
    EXPECT_EQ(near->Connect(), 0);
  });
  Results first;
  RunOn(worker, [&] { WriteOn(near.get(), 1, &first, {}); });
  ASSERT_TRUE(first.WaitFor(1));
  ASSERT_EQ(first.codes()[0], 0);
  // The calls the server never answers end at this budget.
  RunOn(worker, [&] { near->set_timeout_ms(600); });

  // The worker stops polling while the calls' requests land on it.
  Results results;
  bool destroyed = false;  // the worker's loop only
  auto destroy = [this, &destroyed](tarn::RpcController*) {
    if (destroyed) return;
    destroyed = true;
    server_.reset();
  };
  std::atomic<int> stage{0};
  ASSERT_NO_FATAL_FAILURE(StartOn(worker, &stage, [&] {
    for (size_t i = 0; i < kCalls; ++i) WriteOn(near.get(), 100 + i, &results, {}, destroy);
    EXPECT_TRUE(WaitFor([] { return verbs_emu::GetCounters().cqes >= 2 * kCalls; }));
  }));
  ASSERT_TRUE(results.WaitFor(kCalls));
  RunOn(worker, [&] { EXPECT_TRUE(destroyed); near.reset(); });
  EXPECT_TRUE(WaitFor([&] { return BuffersOut(worker) == 0; }));
  server_colony_->Stop();
  server_colony_.reset();
  for (const char* bad : {"Unexpected message type", "returned twice", "double free",
                          "still in use at destruction"}) {
    EXPECT_EQ(logs.LineWith(bad), "") << bad;
  }
}

// An answer whose send is still outstanding when the server goes (the port
// is down, so the device neither delivers nor fails it): its completion
// comes back into the server's own callback before the server is gone,
// whether the server's worker goes on polling meanwhile or is the thread
// that destroys it.
void OwnerGone::DestroyWithAnAnswerOutstanding(bool from_server_worker) {
  ASSERT_NO_FATAL_FAILURE(StartOverOutsideColony());
  tarn::Worker* server_worker = server_colony_->GetWorker(0u);
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });
  Results results;
  Write(TestBlockServer::kHoldLba, &results, {Pattern(512, 5)});
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  ASSERT_TRUE(WaitFor(AllCompletionsTaken));
  verbs_emu::SetTimeScale(1000.0);  // about half an hour per attempt
  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, false));
  EXPECT_EQ(service_.Release(), 1u);
  ASSERT_TRUE(WaitFor([] { return verbs_emu::GetCounters().send_wrs >= 1; }));
  // The answer's send holds its call until the server goes: the server
  // waits for it only briefly.
  server_->set_stop_deadline(0.1);
  if (from_server_worker) {
    RunOn(server_worker, [this] { server_.reset(); });
  } else {
    server_.reset();
  }
  for (int i = 0; i < 3; ++i) RunOn(server_worker, [] {});
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_NE(results.codes()[0], 0);
}

TEST_P(OwnerGone, ServerDestroyedWithAnAnswerOutstanding) {
  DestroyWithAnAnswerOutstanding(false);
}

TEST_P(OwnerGone, ServerDestroyedOnItsWorkerWithAnAnswerOutstanding) {
  DestroyWithAnAnswerOutstanding(true);
}

INSTANTIATE_TEST_SUITE_P(Over, OwnerGone, ::testing::Values(OverRdma(true), OverRdma(false)),
                         TransportName);

}  // namespace
}  // namespace rpctest
