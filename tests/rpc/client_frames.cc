// The RPC client against a raw loopback peer that answers with crafted
// frames: unknown and late sequence numbers, bad bodies, hostile heads,
// reconnection and the idle limit; and against a peer that reads nothing.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"

namespace rpctest {
namespace {

// A client of a loopback listener that the test plays the server on.
class RawPeer : public RpcFixture {
 protected:
  void SetUp() override {
    RpcFixture::SetUp();
    listen_fd_ = testsupport::ListenLoopback(&port_);
    ASSERT_GE(listen_fd_, 0);
    MakeClient();
  }
  void TearDown() override {
    RpcFixture::TearDown();
    ::close(listen_fd_);
  }
  int listen_fd_ = -1;
};

class ClientFrames : public RawPeer {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RawPeer::SetUp());
    SetBudget(kAnsweredMs);
    peer_ = AcceptPeer();
    ASSERT_GE(peer_, 0);
  }

  void TearDown() override {
    if (peer_ >= 0) close(peer_);
    RawPeer::TearDown();
  }

  // Calls the test answers get a budget that a slow, loaded machine still
  // meets; calls meant to time out get a short one.
  static constexpr uint32_t kAnsweredMs = 10000;
  static constexpr uint32_t kExpiringMs = 300;
  void SetBudget(uint32_t ms) {
    RunOn(client_worker_, [this, ms] { client_->set_timeout_ms(ms); });
  }

  int AcceptPeer() { return testsupport::AcceptWithin(listen_fd_); }

  // Reads one request frame from the peer socket; returns its sequence.
  uint64_t ReadRequest(int fd) {
    std::string head_bytes;
    EXPECT_TRUE(RecvExact(fd, 20, &head_bytes));
    tarn::FrameHead head;
    EXPECT_TRUE(head.Decode(head_bytes.data()));
    std::string rest;
    EXPECT_TRUE(RecvExact(fd, head.total - 20, &rest));
    EXPECT_EQ(rest.substr(0, head.service_len), "BlockServerService");
    EXPECT_EQ(rest.substr(head.service_len, head.method_len), "Write");
    tarn::RpcHeader header;
    EXPECT_TRUE(header.ParseFromArray(rest.data() + head.service_len + head.method_len,
                                      static_cast<int>(head.header_len)));
    EXPECT_EQ(header.method_index(), 0u);
    return header.seq_no();
  }

  static std::string Response(uint64_t seq, uint64_t lba, const std::string& att = "") {
    vovorav::BlockServerWriteResponse resp;
    resp.set_offset_in_extent(lba);
    return BuildFrame("", "", testsupport::ResponseHeader(seq), resp.SerializeAsString(), att);
  }

  int peer_ = -1;
};

TEST_F(ClientFrames, UnknownSequenceIsDroppedAndTheCallStillCompletes) {
  Results results;
  uint64_t got = 0;
  std::string att;
  Write(8, &results, {}, [&](tarn::RpcController* ctrl) {
    got = static_cast<const vovorav::BlockServerWriteResponse*>(ctrl->response())
              ->offset_in_extent();
    for (const auto& a : ctrl->response_attachments()) {
      att.append(static_cast<const char*>(a.data), a.len);
    }
  });
  const uint64_t seq = ReadRequest(peer_);
  EXPECT_EQ(seq, 1u);
  // An answer for no call, then the real one split across two writes.
  const std::string real = Response(seq, 8, "payload");
  ASSERT_TRUE(SendAll(peer_, Response(999, 1) + real.substr(0, 10)));
  ASSERT_TRUE(SendAll(peer_, real.substr(10)));
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(att, "payload");
}

TEST_F(ClientFrames, BadResponseBodyFailsTheCallWithMinusOne) {
  Results results;
  Write(1, &results);
  const uint64_t seq = ReadRequest(peer_);
  tarn::RpcHeader h;
  h.set_seq_no(seq);
  ASSERT_TRUE(SendAll(peer_, BuildFrame("", "", h.SerializeAsString(), "\xff\xff\xff")));
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], -1);
  // The connection is still in use.
  Results next;
  Write(2, &next);
  const uint64_t seq2 = ReadRequest(peer_);
  ASSERT_TRUE(SendAll(peer_, Response(seq2, 2)));
  ASSERT_TRUE(next.WaitFor(1));
  EXPECT_EQ(next.codes()[0], 0);
}

TEST_F(ClientFrames, HostileResponsesCloseTheConnectionAndCallsTimeOut) {
  tarn::RpcHeader h;
  h.set_seq_no(1);
  const std::vector<std::string> hostile = {
      "NOPE and more",                                               // wrong magic
      std::string("TARN\xff\xff\xff\xff", 8),                        // total 0xFFFFFFFF
      std::string("TARN\x00\x00\x00\x0c", 8) + std::string(12, 0),   // total below the head
      BuildFrame("", "", "\x0a\xff", ""),                            // header does not parse
  };
  uint64_t expected_seq = 1;
  for (const std::string& bytes : hostile) {
    Results results;
    SetBudget(kExpiringMs);
    Write(1, &results);
    EXPECT_EQ(ReadRequest(peer_), expected_seq++);
    ASSERT_TRUE(SendAll(peer_, bytes));
    EXPECT_TRUE(PeerCloses(peer_));
    close(peer_);
    peer_ = -1;
    ASSERT_TRUE(results.WaitFor(1));
    EXPECT_EQ(results.codes()[0], -5);
    // The next call reconnects; numbering goes on.
    Results next;
    SetBudget(kAnsweredMs);
    Write(2, &next);
    peer_ = AcceptPeer();
    ASSERT_GE(peer_, 0);
    const uint64_t seq = ReadRequest(peer_);
    EXPECT_EQ(seq, expected_seq++);
    ASSERT_TRUE(SendAll(peer_, Response(seq, 2)));
    ASSERT_TRUE(next.WaitFor(1));
    EXPECT_EQ(next.codes()[0], 0);
  }
}

TEST_F(ClientFrames, PeerCloseLeavesCallsToTheirBudget) {
  SetBudget(kExpiringMs);
  Results results;
  const auto start = Clock::now();
  Write(1, &results);
  ReadRequest(peer_);
  close(peer_);
  peer_ = -1;
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], -5);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.25);
}

TEST_F(ClientFrames, EveryCallCompletesOnceWhateverTheAnswerOrderTimeoutsAndCloses) {
  // Pooled controllers throughout. 200 calls (more than the in-flight
  // index's first slots) answered in shuffled order, 50 left to expire and
  // answered late, then 30 of which half are answered before the peer
  // closes. Each call ends exactly once, with its own answer or -5.
  constexpr int kAnswered = 200, kExpired = 50, kCut = 30;
  constexpr int kCalls = kAnswered + kExpired + kCut;
  struct Outcome {
    std::atomic<int> runs{0};
    std::atomic<int> code{1};
  };
  std::vector<Outcome> out(kCalls);
  std::vector<uint64_t> seq(kCalls);
  // budget_ms: each call's own budget, when not the client's.
  auto issue = [&](int first, int n, const std::function<uint32_t(int)>& budget_ms = nullptr) {
    RunOn(client_worker_, [&, first, n] {
      for (int k = first; k < first + n; ++k) {
        if (budget_ms) client_->set_timeout_ms(budget_ms(k));
        auto* ctrl = tarn::RpcController::Acquire(client_->conn());
        auto* req = new vovorav::BlockServerWriteRequest;
        auto* resp = new vovorav::BlockServerWriteResponse;
        req->set_lba(static_cast<uint64_t>(k));
        auto finish = [&out, k, ctrl, req, resp] {
          out[k].runs.fetch_add(1);
          // A success must carry this call's own answer.
          out[k].code = ctrl->Failed() ? ctrl->error_code()
                                       : (resp->offset_in_extent() == static_cast<uint64_t>(k) ? 0 : 99);
          tarn::RpcController::Recycle(ctrl);
          delete req;
          delete resp;
        };
        vovorav::BlockServerService_Stub stub(client_.get());
        stub.Write(ctrl, req, resp, google::protobuf::NewCallback(&RunFunction, new Fn(finish)));
      }
    });
    for (int k = first; k < first + n; ++k) seq[k] = ReadRequest(peer_);
  };
  auto ended = [&](int first, int n) {
    return WaitFor([&] {
      for (int k = first; k < first + n; ++k) {
        if (out[k].runs.load() == 0) return false;
      }
      return true;
    });
  };

  issue(0, kAnswered);
  SetBudget(kExpiringMs);
  issue(kAnswered, kExpired);
  std::vector<int> order(kAnswered);
  for (int k = 0; k < kAnswered; ++k) order[k] = k;
  std::mt19937 rng(7);
  std::shuffle(order.begin(), order.end(), rng);
  std::string answers = Response(999999, 1);  // no such call
  for (int k : order) answers += Response(seq[k], static_cast<uint64_t>(k));
  ASSERT_TRUE(SendAll(peer_, answers));
  ASSERT_TRUE(ended(0, kAnswered + kExpired));
  std::string late;
  for (int k = kAnswered; k < kAnswered + kExpired; ++k) late += Response(seq[k], k);
  ASSERT_TRUE(SendAll(peer_, late));

  const int cut = kAnswered + kExpired;
  // Only the calls left unanswered may expire: an answered one expiring
  // before a busy machine delivers its answer would end with -5.
  auto cut_answered = [&](int k) { return (cut + kCut - 1 - k) % 2 == 0; };
  issue(cut, kCut, [&](int k) { return cut_answered(k) ? kAnsweredMs : kExpiringMs; });
  std::string some;
  for (int k = cut + kCut - 1; k >= cut; k -= 2) some += Response(seq[k], static_cast<uint64_t>(k));
  ASSERT_TRUE(SendAll(peer_, some));
  ASSERT_TRUE(WaitFor([&] { return out[cut + kCut - 1].runs.load() == 1; }));
  close(peer_);
  peer_ = -1;
  ASSERT_TRUE(ended(cut, kCut));
  // Room for a second completion to show, should there be one.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * kExpiringMs));

  for (int k = 0; k < kCalls; ++k) {
    ASSERT_EQ(out[k].runs.load(), 1) << "call " << k;
    const bool answered = k < kAnswered || (k >= cut && cut_answered(k));
    EXPECT_EQ(out[k].code.load(), answered ? 0 : tarn::kRpcTimeout) << "call " << k;
  }
  RunOn(client_worker_, [&] {
    EXPECT_EQ(client_->inflight_count(), 0u);
    EXPECT_EQ(client_->pending_count(), 0u);
  });
}

TEST_F(ClientFrames, IdleConnectionIsClosedAndReopenedByTheNextCall) {
  RunOn(client_worker_, [this] { client_->set_idle_limit_s(0); });
  EXPECT_TRUE(PeerCloses(peer_, 8.0));
  close(peer_);
  peer_ = -1;
  Results results;
  Write(4, &results);
  peer_ = AcceptPeer();
  ASSERT_GE(peer_, 0);
  const uint64_t seq = ReadRequest(peer_);
  ASSERT_TRUE(SendAll(peer_, Response(seq, 4)));
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_EQ(results.codes()[0], 0);
}

TEST_F(ClientFrames, IdleTimeCountsFromTheConnect) {
  // Checked every 2 s: not idle beyond 3 s at the first check, but at the
  // second.
  RunOn(client_worker_, [this] { client_->set_idle_limit_s(3); });
  EXPECT_FALSE(PeerCloses(peer_, 2.5));
  EXPECT_TRUE(PeerCloses(peer_, 8.0));
}

// A peer that accepts nothing and reads nothing: once the kernel buffers are
// full, the bytes of later calls would pile up in the connection's output
// ring without bound. A call that would take the backlog past the largest
// message fails at once with "conn send data error" instead.
class DeafPeer : public RawPeer {};

TEST_F(DeafPeer, OutputBacklogStaysBoundedAndExtraCallsFailWithSendError) {
  const uint32_t kLimit = 1 << 20;
  ASSERT_TRUE(WaitFor([this] {
    bool up = false;
    RunOn(client_worker_, [&] { up = client_->conn() && !client_->conn()->IsClosed() &&
                                     client_->conn()->state() == tarn::kConnected; });
    return up;
  }));
  RunOn(client_worker_, [this] {
    client_->set_depth(0);  // no in-flight limit: only the backlog bound holds
    client_->set_timeout_ms(2000);
    client_->conn()->set_max_send_size(kLimit);
  });
  const int kCalls = 800;  // 50 MiB in all, far beyond loopback's buffers
  const std::string block(64 * 1024, 'x');
  Results results;
  size_t max_backlog = 0;
  for (int i = 0; i < kCalls; ++i) {
    Write(static_cast<uint64_t>(i), &results, {block});
    RunOn(client_worker_, [&] {
      max_backlog = std::max(max_backlog, client_->conn()->ReadableLengthOutBuf());
    });
  }
  EXPECT_LE(max_backlog, kLimit);
  ASSERT_TRUE(results.WaitFor(kCalls, 60.0));
  int refused = 0;
  for (int code : results.codes()) {
    EXPECT_TRUE(code == tarn::kRpcSendError || code == tarn::kRpcTimeout) << code;
    if (code == tarn::kRpcSendError) ++refused;
  }
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace rpctest
