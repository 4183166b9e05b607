// RPC client and server together over loopback with the block-server test
// service, written once for every transport: attachments, limits, time-outs
// with their late answers, in-flight depth, ordering, synchronous calls, a
// server that goes away and comes back on its port or is started twice,
// calls queued when the client drops its connection, the user hold and
// reads. Each transport's program includes this, adds the cases of its own
// and instantiates EndToEnd for its transports.
#ifndef TESTS_RPC_END_TO_END_CASES_H_
#define TESTS_RPC_END_TO_END_CASES_H_

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"
#include "support/log_capture.h"

namespace rpctest {

class EndToEnd : public TransportSuite {
 protected:
  void SetUp() override {
    TransportSuite::SetUp();
    StartServerAndClient();
  }

  // One write with these attachments; checks the echo, which comes back as
  // one attachment (over RDMA lying in the received message).
  void ExpectEcho(const std::vector<std::string>& attachments) {
    std::string joined;
    for (const std::string& a : attachments) joined += a;
    Results results;
    std::string echoed;
    bool checked = false;
    bool in_place = true;
    Write(7, &results, attachments, [&](tarn::RpcController* ctrl) {
      checked = true;
      const auto& atts = ctrl->response_attachments();
      EXPECT_EQ(atts.size(), joined.empty() ? 0u : 1u);
      for (const auto& a : atts) {
        echoed.append(static_cast<const char*>(a.data), a.len);
        in_place = in_place && a.has_keys && !a.owned;
      }
      EXPECT_EQ(ctrl->response_attachment_bytes(), joined.size());
      EXPECT_EQ(static_cast<const vovorav::BlockServerWriteResponse*>(ctrl->response())
                    ->segment_id(),
                joined.size());
    });
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_EQ(results.codes()[0], 0);
    EXPECT_TRUE(checked);
    EXPECT_EQ(echoed.size(), joined.size());
    EXPECT_TRUE(echoed == joined);
    if (Rdma()) {
      EXPECT_TRUE(in_place);
    }
  }
};

TEST_P(EndToEnd, AttachmentsNoneOneAndMany) {
  ExpectEcho({});
  ExpectEcho({Pattern(4096, 1)});
  std::vector<std::string> many;
  for (size_t i = 0; i < 20; ++i) many.push_back(Pattern(1 + i * 613, static_cast<char>(i)));
  ExpectEcho(many);
  // Over RDMA exactly the receive limit.
  ExpectEcho({Pattern(Rdma() ? max_data_ - 3 : 1u << 20, 3), Pattern(3, 4)});
  EXPECT_TRUE(PoolsFull());
}

TEST_P(EndToEnd, AttachmentLimitsAreExactAndCheckedBeforeNumbering) {
  ASSERT_NE(WriteUntilAnswered(1), 0u);  // established: the peer's limits apply
  const int writes_before = service_.writes();
  RunOn(client_worker_, [this] {
    EXPECT_EQ(client_->GetMaxSendDataSize(), Rdma() ? max_data_ : 1073741824u);
    client_->current_conn()->set_max_send_data_size(8192);
    client_->current_conn()->set_max_send_sge(5);  // 3 attachments at most
  });
  Results ok;
  Write(1, &ok, {Pattern(8192, 1)});
  Write(2, &ok, {Pattern(1, 1), Pattern(1, 2), Pattern(1, 3)});
  ASSERT_TRUE(ok.WaitFor(2));
  EXPECT_EQ(ok.codes(), (std::vector<int>{0, 0}));

  uint64_t seq_before = 0;
  RunOn(client_worker_, [&] { seq_before = client_->last_seq_no(); });
  Results refused;
  Write(3, &refused, {Pattern(8193, 1)});
  Write(4, &refused, {Pattern(1, 1), Pattern(1, 2), Pattern(1, 3), Pattern(1, 4)});
  ASSERT_TRUE(refused.WaitFor(2));
  EXPECT_EQ(refused.codes(), (std::vector<int>{-2, -2}));
  uint64_t seq_after = 0;
  RunOn(client_worker_, [&] { seq_after = client_->last_seq_no(); });
  EXPECT_EQ(seq_after, seq_before);
  EXPECT_EQ(service_.writes(), writes_before + 2);
}

// Over RDMA the budget never drops below the queue pair's retry time
// (ACK timeout 10, one retry: 504 ms).
TEST_P(EndToEnd, TimeoutThenLateAnswerIsDroppedAndConnectionKept) {
  testsupport::LogCapture logs;
  const uint32_t budget_ms = Rdma() ? 504 : 200;
  int64_t conn_id = -1;
  RunOn(client_worker_, [&] {
    client_->set_timeout_ms(200);
    EXPECT_EQ(client_->timeout_ms(), budget_ms);
    conn_id = client_->conn()->id();
  });
  EXPECT_NE(logs.LineWith("set rpc client timeout(ms): " + std::to_string(budget_ms) +
                          ", transport: " + std::to_string(transport_.transport)),
            "");
  Results timed_out;
  const auto start = Clock::now();
  Write(TestBlockServer::kHoldLba, &timed_out);
  ASSERT_TRUE(timed_out.WaitFor(1));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(timed_out.codes()[0], tarn::kRpcTimeout);
  EXPECT_GE(elapsed, (budget_ms - 50) / 1000.0);  // never before its budget

  ASSERT_EQ(service_.Release(), 1u);  // the late answer arrives and is dropped
  EXPECT_TRUE(logs.WaitForText("can not find this rpc request, maybe timeout"));
  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  Results later;
  Write(5, &later);
  ASSERT_TRUE(later.WaitFor(1));
  EXPECT_EQ(later.codes()[0], 0);
  EXPECT_EQ(timed_out.codes().size(), 1u);
  RunOn(client_worker_, [&] { EXPECT_EQ(client_->current_conn()->id(), conn_id); });
  EXPECT_TRUE(PoolsFull());
}

TEST_P(EndToEnd, InflightNeverExceedsDepth) {
  constexpr uint32_t kDepth = 4;
  constexpr int kCalls = 60;
  size_t max_inflight = 0;
  Results results;
  RunOn(client_worker_, [&] {
    client_->set_depth(kDepth);
    for (int i = 0; i < kCalls; ++i) {
      WriteInLoop(static_cast<uint64_t>(i), &results, {Pattern(100, 1)},
                  [&](tarn::RpcController*) {
                    max_inflight = std::max(max_inflight, client_->inflight_count());
                  });
      max_inflight = std::max(max_inflight, client_->inflight_count());
    }
    EXPECT_EQ(client_->pending_count(), static_cast<size_t>(kCalls - kDepth));
  });
  ASSERT_TRUE(results.WaitFor(kCalls));
  for (int code : results.codes()) EXPECT_EQ(code, 0);
  EXPECT_EQ(max_inflight, kDepth);
}

TEST_P(EndToEnd, DepthOneKeepsOrderAndSendsTheRequestAsItWas) {
  constexpr int kCalls = 10;
  Results results;
  std::vector<uint64_t> seqs;
  RunOn(client_worker_, [&] {
    client_->set_depth(1);
    vovorav::BlockServerService_Stub stub(client_.get());
    // One request object, changed and finally dropped right after each call.
    auto* req = new vovorav::BlockServerWriteRequest;
    for (int i = 0; i < kCalls; ++i) {
      req->set_lba(static_cast<uint64_t>(i));
      auto* ctrl = new tarn::RpcController(client_->conn());
      auto* resp = new vovorav::BlockServerWriteResponse;
      auto finish = [&, ctrl, resp, i] {
        EXPECT_EQ(resp->offset_in_extent(), static_cast<uint64_t>(i));
        seqs.push_back(ctrl->seq_no());
        results.Add(ctrl->Failed() ? ctrl->error_code() : 0);
        delete ctrl;
        delete resp;
      };
      stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
      req->set_lba(1000 + i);
    }
    delete req;
  });
  ASSERT_TRUE(results.WaitFor(kCalls));
  std::vector<uint64_t> want;
  for (int i = 0; i < kCalls; ++i) want.push_back(static_cast<uint64_t>(i));
  EXPECT_EQ(service_.lbas(), want);
  for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seqs[i], static_cast<uint64_t>(i + 1));
}

// The server goes away with calls in flight: they end once each (their
// requests were delivered, so at their budget), and once it is back on the
// same port the client reconnects with a new connection and rising
// sequence numbers.
TEST_P(EndToEnd, ServerRestartTimesOutInflightAndReconnects) {
  ASSERT_EQ(WriteUntilAnswered(1), 1u);
  const int64_t first_conn = ClientConn()->id();
  RunOn(client_worker_, [this] { client_->set_timeout_ms(300); });
  Results inflight;
  for (int i = 0; i < 3; ++i) Write(TestBlockServer::kHoldLba, &inflight);
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 3; }));
  // The calls stay held: Stop waits for them only briefly.
  server_->set_stop_deadline(0.1);
  server_->Stop();
  ASSERT_TRUE(inflight.WaitFor(3));
  EXPECT_EQ(inflight.codes(), (std::vector<int>{-5, -5, -5}));
  service_.Release();  // their connection is gone: nothing is sent
  EXPECT_TRUE(PoolsFull());
  const uint16_t port = port_;
  server_.reset();

  StartServer(1, port);
  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  const uint64_t seq = WriteUntilAnswered(2);
  // Over TCP the first call after the restart is answered; over RDMA the
  // client may learn only from a failed call that its queue pair is gone.
  if (Rdma()) {
    EXPECT_GT(seq, 4u);
  } else {
    EXPECT_EQ(seq, 5u);
  }
  EXPECT_NE(ClientConn()->id(), first_conn);
  EXPECT_TRUE(PoolsFull());
}

TEST_P(EndToEnd, UserHoldKeepsTheControllerAndItsBufferPastTheResponse) {
  Results results;
  Write(TestBlockServer::kUserHoldLba, &results, {Pattern(3000, 5)});
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
  EXPECT_EQ(server_->FreeControllerCount(0), pool_size_ - 1);
  EXPECT_EQ(service_.ReleaseUserHolds(), 1u);
  EXPECT_TRUE(PoolsFull());
}

TEST_P(EndToEnd, ReadReturnsItsDataAsAttachment) {
  Results results;
  std::string data;
  RunOn(client_worker_, [&] {
    auto* ctrl = new tarn::RpcController(client_->conn());
    auto* req = new vovorav::BlockServerReadRequest;
    auto* resp = new vovorav::BlockServerReadResponse;
    req->set_size(70000);
    auto finish = [&, ctrl, req, resp] {
      for (const auto& a : ctrl->response_attachments()) {
        data.append(static_cast<const char*>(a.data), a.len);
      }
      results.Add(ctrl->Failed() ? ctrl->error_code() : 0);
      delete ctrl;
      delete req;
      delete resp;
    };
    vovorav::BlockServerService_Stub stub(client_.get());
    stub.Read(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
  });
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
  ASSERT_EQ(data.size(), 70000u);
  for (size_t i = 0; i < data.size(); i += 997) {
    EXPECT_EQ(static_cast<unsigned char>(data[i]), i % 251);
  }
}

TEST_P(EndToEnd, FailedClosuresNeverRunInsideCallMethod) {
  RunOn(client_worker_, [this] { client_->conn()->set_max_send_data_size(10); });
  Results results;
  bool inside = false;
  bool ran_inside = false;
  RunOn(client_worker_, [&] {
    inside = true;
    WriteInLoop(1, &results, {Pattern(11, 1)}, [&](tarn::RpcController*) { ran_inside = inside; });
    inside = false;
  });
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_FALSE(ran_inside);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(results.codes().size(), 1u);  // exactly once
}

TEST_P(EndToEnd, DepthZeroMeansNoLimit) {
  Results results;
  RunOn(client_worker_, [&] {
    client_->set_depth(0);
    for (int i = 0; i < 3; ++i) WriteInLoop(static_cast<uint64_t>(i), &results, {});
    EXPECT_EQ(client_->pending_count(), 0u);
  });
  ASSERT_TRUE(results.WaitFor(3));
  EXPECT_EQ(results.codes(), (std::vector<int>{0, 0, 0}));
}

TEST_P(EndToEnd, SynchronousCallFromAnotherThread) {
  tarn::RpcController* ctrl = nullptr;
  RunOn(client_worker_, [&] {
    ctrl = new tarn::RpcController(client_->conn());
    void* p = ctrl->Malloc(64);
    memset(p, 'k', 64);
    ctrl->AppendRequestAttachment(p, 64, true);
  });
  vovorav::BlockServerWriteRequest req;
  vovorav::BlockServerWriteResponse resp;
  req.set_lba(31);
  tarn::RpcController::DoSyncCall(
      [&] {
        vovorav::BlockServerService_Stub stub(client_.get());
        stub.Write(ctrl, &req, &resp, ctrl->done());
      },
      ctrl, client_worker_);
  EXPECT_FALSE(ctrl->Failed());
  EXPECT_EQ(resp.offset_in_extent(), 31u);
  ASSERT_EQ(ctrl->response_attachments().size(), 1u);
  EXPECT_EQ(std::string(static_cast<const char*>(ctrl->response_attachments()[0].data), 64),
            std::string(64, 'k'));
  // Deleted off the loop thread: its worker memory is handed back there.
  delete ctrl;
  RunOn(client_worker_, [] {});
}

// A queued call that gets its slot after DisConnect has dropped the
// connection has nothing to be sent on: it fails like a refused send instead
// of touching a connection that is no longer there.
TEST_P(EndToEnd, QueuedCallAfterDisConnectFailsWithSendError) {
  // The held call must still be in flight when DisConnect runs: its budget
  // outlasts a busy machine's pauses between its send and then.
  RunOn(client_worker_, [this] {
    client_->set_depth(1);
    client_->set_timeout_ms(1000);
  });
  Results held;
  Write(TestBlockServer::kHoldLba, &held);
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  // The queued call outlives the held one by far, so it is still waiting
  // when the held one times out and frees the slot.
  RunOn(client_worker_, [this] { client_->set_timeout_ms(20000); });
  Results queued;
  Write(9, &queued);
  RunOn(client_worker_, [this] {
    EXPECT_EQ(client_->inflight_count(), 1u);
    EXPECT_EQ(client_->pending_count(), 1u);
    client_->DisConnect();
  });

  ASSERT_TRUE(held.WaitFor(1));
  EXPECT_EQ(held.codes()[0], tarn::kRpcTimeout);
  ASSERT_TRUE(queued.WaitFor(1));
  EXPECT_EQ(queued.codes()[0], tarn::kRpcSendError);

  // The next call reopens the connection.
  RunOn(client_worker_, [this] { client_->set_timeout_ms(10000); });
  Results after;
  Write(11, &after);
  ASSERT_TRUE(after.WaitFor(1));
  EXPECT_EQ(after.codes()[0], 0);
  service_.Release();
  EXPECT_TRUE(PoolsFull());
}

// Start on a running server fails and leaves its controller pools alone: a
// request still being served keeps its controller, and its response goes out.
TEST_P(EndToEnd, SecondStartLeavesLiveControllersAlone) {
  Results held;
  Write(TestBlockServer::kHoldLba, &held);
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 1; }));
  EXPECT_EQ(server_->FreeControllerCount(0), pool_size_ - 1);

  EXPECT_NE(server_->Start(), 0);
  EXPECT_EQ(server_->FreeControllerCount(0), pool_size_ - 1);

  EXPECT_EQ(service_.Release(), 1u);
  ASSERT_TRUE(held.WaitFor(1));
  EXPECT_EQ(held.codes()[0], 0);
  EXPECT_TRUE(PoolsFull());

  Results after;
  Write(12, &after);
  ASSERT_TRUE(after.WaitFor(1));
  EXPECT_EQ(after.codes()[0], 0);
  EXPECT_TRUE(PoolsFull());
}

}  // namespace rpctest

#endif  // TESTS_RPC_END_TO_END_CASES_H_
