// The controller's completion timing, error fields and latency, and the
// closure guard.

#include "tarn/rpc/rpc_controller.h"

#include <google/protobuf/stubs/callback.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"
#include "tarn/rpc/closure_guard.h"

namespace rpctest {
namespace {

void Count(std::atomic<int>* n) { n->fetch_add(1); }

TEST(ClosureGuard, RunsOnceWhenTheLastHolderLetsGo) {
  std::atomic<int> runs{0};
  auto guard = std::make_shared<tarn::ClosureGuard>(google::protobuf::NewCallback(&Count, &runs));
  std::vector<std::thread> holders;
  for (int i = 0; i < 4; ++i) {
    holders.emplace_back([copy = guard]() mutable {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      copy.reset();
    });
  }
  guard.reset();
  for (auto& t : holders) t.join();
  EXPECT_EQ(runs.load(), 1);

  tarn::ClosureGuard empty(nullptr);  // a null closure is allowed
  auto* done = google::protobuf::NewCallback(&Count, &runs);
  {
    tarn::ClosureGuard released(done);
    EXPECT_EQ(released.release(), done);
  }
  EXPECT_EQ(runs.load(), 1);
  done->Run();
  EXPECT_EQ(runs.load(), 2);
}

class Controller : public RpcFixture {
 protected:
  void SetUp() override {
    RpcFixture::SetUp();
    StartServerAndClient();
  }
};

TEST_F(Controller, CompletionTimingFollowsTheCode) {
  struct Probe {
    std::atomic<bool> ran{false};
    Clock::time_point at;
  };
  auto run = [](Probe* p) {
    p->at = Clock::now();
    p->ran = true;
  };
  Probe ok, timeout, aborted;
  Clock::time_point start;
  std::unique_ptr<tarn::RpcController> c1, c2, c3;
  RunOn(client_worker_, [&] {
    c1.reset(new tarn::RpcController(client_->conn()));
    c2.reset(new tarn::RpcController(client_->conn()));
    c3.reset(new tarn::RpcController(client_->conn()));
    c1->set_done(google::protobuf::NewCallback(+run, &ok));
    c2->set_done(google::protobuf::NewCallback(+run, &timeout));
    c3->set_done(google::protobuf::NewCallback(+run, &aborted));
    start = Clock::now();
    c1->CallDone(false, 0, "");
    EXPECT_TRUE(ok.ran);  // success: before CallDone returns
    c2->CallDone(true, tarn::kRpcTimeout, "rpc timeout");
    EXPECT_FALSE(timeout.ran);  // later pass
    c3->CallDone(true, tarn::kRpcConnectError, "conn connect error");
    EXPECT_FALSE(aborted.ran);
  });
  ASSERT_TRUE(WaitFor([&] { return timeout.ran.load() && aborted.ran.load(); }));
  EXPECT_GE(aborted.at - start, std::chrono::milliseconds(80));
  EXPECT_TRUE(c2->Failed());
  EXPECT_EQ(c2->error_code(), -5);
  EXPECT_EQ(c2->ErrorText(), "rpc timeout");
  EXPECT_EQ(c3->error_code(), -6);
  RunOn(client_worker_, [&] {
    c1.reset();
    c2.reset();
    c3.reset();
  });
}

TEST_F(Controller, ErrorFieldsLatencyAndLimits) {
  RunOn(client_worker_, [&] {
    tarn::RpcController ctrl(client_->conn());
    EXPECT_FALSE(ctrl.Failed());
    EXPECT_EQ(ctrl.timeout_ms(), 3000u);
    ctrl.CallDone(true, tarn::kRpcSendError, "conn send data error");
    ctrl.SetFailed("other text");
    EXPECT_EQ(ctrl.error_code(), -4);  // SetFailed keeps the code
    EXPECT_EQ(ctrl.ErrorText(), "other text");

    tarn::RpcController fresh(client_->conn());
    EXPECT_EQ(fresh.LatencyUs(), 0u);  // never stamped
    fresh.End();
    fresh.Begin();  // begin after end
    EXPECT_EQ(fresh.LatencyUs(), 0u);
    EXPECT_EQ(fresh.LatencyNs(), 0u);
    fresh.Begin();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    fresh.End();
    EXPECT_GE(fresh.LatencyUs(), 1000u);
    EXPECT_GE(fresh.LatencyNs(), fresh.LatencyUs() * 1000);

    EXPECT_EQ(fresh.GetMaxAttachmentSize(), 1073741824u);
    EXPECT_EQ(fresh.GetMaxAttachmentCnt(), 62u);
    client_->conn()->set_max_send_sge(1);
    EXPECT_EQ(fresh.GetMaxAttachmentCnt(), 0u);
    client_->conn()->set_max_send_sge(64);

    // A client controller has no pool to go back to.
    fresh.DestroyMyself();
  });
}

TEST(ControllerDeathTest, UnsupportedOperationsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testsupport::SendLogsToStderr();
  tarn::RpcController ctrl(nullptr);  // these operations never reach a connection
  EXPECT_DEATH(ctrl.Reset(), "RpcController Reset not support");
  EXPECT_DEATH(ctrl.StartCancel(), "RpcController StartCancel not support");
  EXPECT_DEATH(ctrl.IsCanceled(), "RpcController IsCanceled not support");
  EXPECT_DEATH(ctrl.NotifyOnCancel(nullptr), "RpcController NotifyOnCancel not support");
}

}  // namespace
}  // namespace rpctest
