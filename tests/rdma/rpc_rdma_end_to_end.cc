// RPC client and server over RDMA queue pairs of the emulated device, with
// and without the shared receive queue: attachments served in place,
// limits, the timeout floor, time-outs with late answers, in-flight depth
// (the queue pair's own included), ordering, a server that goes away and
// comes back on its port, and the user hold.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rdma/rpc_rdma_util.h"
#include "support/log_capture.h"

namespace rdmarpc {
namespace {

class RdmaEndToEnd : public RdmaRpcFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RdmaRpcFixture::SetUp();
    StartServer(1, GetParam());
    MakeClient();
  }

  // One write with these attachments; checks the echo, which comes back as
  // one attachment lying in the received message.
  void ExpectEcho(const std::vector<std::string>& attachments) {
    std::string joined;
    for (const std::string& a : attachments) joined += a;
    Results results;
    std::string echoed;
    bool keyed = true;
    Write(7, &results, attachments, [&](tarn::RpcController* ctrl) {
      const auto& atts = ctrl->response_attachments();
      EXPECT_EQ(atts.size(), joined.empty() ? 0u : 1u);
      for (const auto& a : atts) {
        echoed.append(static_cast<const char*>(a.data), a.len);
        keyed = keyed && a.has_keys && !a.owned;
      }
      EXPECT_EQ(static_cast<const vovorav::BlockServerWriteResponse*>(ctrl->response())
                    ->segment_id(),
                joined.size());
    });
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_EQ(results.codes()[0], 0);
    EXPECT_EQ(echoed.size(), joined.size());
    EXPECT_TRUE(echoed == joined);
    EXPECT_TRUE(keyed);
  }
};

TEST_P(RdmaEndToEnd, AttachmentsNoneOneAndMany) {
  ExpectEcho({});
  ExpectEcho({Pattern(4096, 1)});
  std::vector<std::string> many;
  for (size_t i = 0; i < 20; ++i) many.push_back(Pattern(1 + i * 613, static_cast<char>(i)));
  ExpectEcho(many);
  ExpectEcho({Pattern(max_data_ - 3, 3), Pattern(3, 4)});  // exactly the receive limit
  EXPECT_TRUE(PoolsFull());
}

TEST_P(RdmaEndToEnd, AttachmentLimitsAreExactAndCheckedBeforeNumbering) {
  ASSERT_NE(WriteUntilAnswered(1), 0u);  // established: the peer's limits apply
  RunOn(client_worker_, [this] {
    EXPECT_EQ(client_->GetMaxSendDataSize(), max_data_);
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
}

TEST_P(RdmaEndToEnd, TimeoutNeverBelowTheFloorAndLateAnswerIsDropped) {
  testsupport::LogCapture logs;
  int64_t conn_id = -1;
  RunOn(client_worker_, [&] {
    client_->set_timeout_ms(200);
    EXPECT_EQ(client_->timeout_ms(), 504u);  // ACK timeout 10, one retry
    conn_id = client_->conn()->id();
  });
  EXPECT_NE(logs.LineWith("set rpc client timeout(ms): 504, transport: 1"), "");
  Results timed_out;
  const auto start = rpctest::Clock::now();
  Write(TestBlockServer::kHoldLba, &timed_out);
  ASSERT_TRUE(timed_out.WaitFor(1));
  const double elapsed = std::chrono::duration<double>(rpctest::Clock::now() - start).count();
  EXPECT_EQ(timed_out.codes()[0], tarn::kRpcTimeout);
  EXPECT_GE(elapsed, 0.45);

  ASSERT_EQ(service_.Release(), 1u);  // the late answer arrives and is dropped
  EXPECT_TRUE(logs.WaitForText("can not find this rpc request, maybe timeout"));
  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  Results later;
  Write(5, &later);
  ASSERT_TRUE(later.WaitFor(1));
  EXPECT_EQ(later.codes()[0], 0);
  RunOn(client_worker_, [&] { EXPECT_EQ(client_->current_conn()->id(), conn_id); });
  EXPECT_TRUE(PoolsFull());
}

TEST_P(RdmaEndToEnd, InflightNeverExceedsDepth) {
  constexpr uint32_t kDepth = 4;
  constexpr int kCalls = 60;
  size_t max_inflight = 0;
  Results results;
  RunOn(client_worker_, [&] {
    client_->set_depth(kDepth);
    for (int i = 0; i < kCalls; ++i) {
      WriteInLoop(client_.get(), static_cast<uint64_t>(i), &results, {Pattern(100, 1)},
                  [&](tarn::RpcController*) {
                    max_inflight = std::max(max_inflight, client_->inflight_count());
                  });
      max_inflight = std::max(max_inflight, client_->inflight_count());
    }
  });
  ASSERT_TRUE(results.WaitFor(kCalls));
  for (int code : results.codes()) EXPECT_EQ(code, 0);
  EXPECT_EQ(max_inflight, kDepth);
}

// Without a depth of its own the client follows the queue pair's: calls
// beyond it wait their turn instead of overrunning the send queue.
TEST_P(RdmaEndToEnd, DepthFollowsTheQueuePair) {
  ASSERT_NE(WriteUntilAnswered(1), 0u);
  uint32_t depth = 0;
  RunOn(client_worker_, [&] {
    depth = client_->depth();
    EXPECT_EQ(depth, client_->current_conn()->max_depth());
  });
  ASSERT_GT(depth, 0u);
  ASSERT_LE(depth, 256u);
  const int calls = static_cast<int>(depth) + 40;
  Results results;
  RunOn(client_worker_, [&] {
    for (int i = 0; i < calls; ++i) {
      WriteInLoop(client_.get(), static_cast<uint64_t>(i), &results, {Pattern(64, 2)});
    }
    EXPECT_EQ(client_->inflight_count(), depth);
    EXPECT_EQ(client_->pending_count(), 40u);
  });
  ASSERT_TRUE(results.WaitFor(static_cast<size_t>(calls)));
  for (int code : results.codes()) EXPECT_EQ(code, 0);
  EXPECT_TRUE(PoolsFull());
}

TEST_P(RdmaEndToEnd, DepthOneKeepsOrderAndSendsTheRequestAsItWas) {
  constexpr int kCalls = 10;
  Results results;
  std::vector<uint64_t> seqs;
  RunOn(client_worker_, [&] {
    client_->set_depth(1);
    vovorav::BlockServerService_Stub stub(client_.get());
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
TEST_P(RdmaEndToEnd, PeerDisappearsMidCallThenComesBack) {
  ASSERT_EQ(WriteUntilAnswered(1), 1u);
  int64_t first_conn = ClientConn()->id();
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });
  Results inflight;
  for (int i = 0; i < 3; ++i) Write(TestBlockServer::kHoldLba, &inflight);
  ASSERT_TRUE(WaitFor([this] { return service_.held() == 3; }));
  server_->Stop();
  ASSERT_TRUE(inflight.WaitFor(3));
  EXPECT_EQ(inflight.codes(), (std::vector<int>{-5, -5, -5}));
  service_.Release();  // their connection is gone: nothing is sent
  EXPECT_TRUE(PoolsFull());
  const uint16_t port = port_;
  server_.reset();

  StartServer(1, GetParam(), max_data_, port);
  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  const uint64_t seq = WriteUntilAnswered(2);
  EXPECT_GT(seq, 4u);
  EXPECT_NE(ClientConn()->id(), first_conn);
  EXPECT_TRUE(PoolsFull());
}

TEST_P(RdmaEndToEnd, UserHoldKeepsTheControllerAndItsBufferPastTheResponse) {
  Results results;
  Write(TestBlockServer::kUserHoldLba, &results, {Pattern(3000, 5)});
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
  EXPECT_EQ(server_->FreeControllerCount(0), pool_size_ - 1);
  EXPECT_EQ(service_.ReleaseUserHolds(), 1u);
  EXPECT_TRUE(PoolsFull());
}

TEST_P(RdmaEndToEnd, ReadReturnsItsDataInPlace) {
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

INSTANTIATE_TEST_SUITE_P(Srq, RdmaEndToEnd, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Srq" : "QpReceives");
                         });

TEST(RdmaTimeoutFloor, FollowsTheQueuePairsRetryTime) {
  struct Case {
    uint32_t timeout, retry_cnt, floor_ms;
  };
  const Case cases[] = {
      {17, 3, 2110},                  // the defaults
      {10, 1, 504},                   // trunc(4.19) + 500
      {0, 0, 500},                    // no retries: the margin alone
      {31, 7, 61573151},              // the largest the queue pair takes
      {40, 9, 61573151},              // beyond its fields: taken as the largest
  };
  for (const Case& c : cases) {
    tarn::WorkerOption::RdmaOption option;
    option.timeout = c.timeout;
    option.retry_cnt = c.retry_cnt;
    EXPECT_EQ(tarn::RpcClient::RdmaTimeoutFloorMs(option), c.floor_ms)
        << c.timeout << "/" << c.retry_cnt;
  }
}

}  // namespace
}  // namespace rdmarpc
