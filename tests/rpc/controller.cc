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
#include "tarn/memory_pool.h"
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

TEST_F(Controller, PooledControllerComesBackAsNew) {
  RunOn(client_worker_, [&] {
    tarn::MemoryPool* memory = client_worker_->mem_pool(0);
    ASSERT_NE(memory, nullptr);
    const size_t blocks = memory->large_count();
    const std::string fresh_uuid = tarn::RpcController(client_->conn()).uuid();
    std::atomic<int> hook_runs{0}, done_runs{0};
    int user = 0;

    tarn::RpcController* used = tarn::RpcController::Acquire(client_->conn());
    used->AppendRequestAttachment(used->Malloc(1 << 20), 1 << 20, true);
    used->AppendResponseAttachment(used->Malloc(1 << 20), 1 << 20, true);
    used->set_request_frame(used->Malloc(1 << 20));
    used->set_second_frame(used->Malloc(1 << 20));
    EXPECT_EQ(memory->large_count(), blocks + 4);
    used->set_request(new vovorav::BlockServerWriteRequest, true);
    used->set_response(new vovorav::BlockServerWriteResponse, true);
    used->set_seq_no(42);
    EXPECT_NE(used->uuid(), fresh_uuid);
    used->set_timeout_ms(7);
    used->set_user_data(&user);
    used->set_destroy_hook([&hook_runs] { hook_runs.fetch_add(1); });
    used->set_done(google::protobuf::NewCallback(&Count, &done_runs));
    used->Begin();
    used->CallDone(false, 0, "");  // stamps the end, runs the closure
    used->set_done(google::protobuf::NewCallback(&Count, &done_runs));
    used->CallDone(true, tarn::kRpcTimeout, "rpc timeout");  // runs on a later pass
    tarn::RpcController::Recycle(used);
    EXPECT_EQ(hook_runs.load(), 1);
    EXPECT_EQ(memory->large_count(), blocks);  // owned memory went back

    tarn::RpcController* again = tarn::RpcController::Acquire(client_->conn());
    EXPECT_EQ(again, used);  // the same object, as new
    EXPECT_FALSE(again->Failed());
    EXPECT_EQ(again->error_code(), 0);
    EXPECT_EQ(again->ErrorText(), "");
    EXPECT_TRUE(again->request_attachments().empty());
    EXPECT_TRUE(again->response_attachments().empty());
    EXPECT_EQ(again->request_attachment_bytes(), 0u);
    EXPECT_EQ(again->response_attachment_bytes(), 0u);
    EXPECT_EQ(again->request_frame(), nullptr);
    EXPECT_EQ(again->second_frame(), nullptr);
    EXPECT_EQ(again->request(), nullptr);
    EXPECT_EQ(again->response(), nullptr);
    EXPECT_EQ(again->done(), nullptr);
    EXPECT_EQ(again->seq_no(), 0u);
    EXPECT_EQ(again->uuid(), fresh_uuid);
    EXPECT_EQ(again->timeout_ms(), tarn::RpcController::kDefaultTimeoutMs);
    EXPECT_EQ(again->user_data(), nullptr);
    EXPECT_EQ(again->LatencyUs(), 0u);
    EXPECT_EQ(again->conn(), client_->conn());
    EXPECT_FALSE(again->tarn_hold());
    EXPECT_FALSE(again->user_hold());
    tarn::RpcController::Recycle(again);
    EXPECT_EQ(hook_runs.load(), 1);  // a hook runs once, not again with reuse
    tarn::RpcController::Recycle(nullptr);
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
