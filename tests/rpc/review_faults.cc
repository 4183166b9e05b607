// Faults found in review of the RPC layer, each pinned by a loopback test:
// calls queued behind the depth limit when the client has dropped its
// connection, a second Start of a running server, and a peer that stops
// reading while calls keep coming.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"

namespace rpctest {
namespace {

class ReviewFaults : public RpcFixture {
 protected:
  void SetUp() override {
    RpcFixture::SetUp();
    port_ = PickFreePort();
    StartServer(port_);
    MakeClient(port_);
  }

  void TearDown() override {
    service_.Release();
    service_.ReleaseUserHolds();
    RpcFixture::TearDown();
  }

  uint16_t port_ = 0;
};

// A queued call that gets its slot after DisConnect has dropped the
// connection has nothing to be sent on: it fails like a refused send instead
// of touching a connection that is no longer there.
TEST_F(ReviewFaults, QueuedCallAfterDisConnectFailsWithSendError) {
  RunOn(client_worker_, [this] {
    client_->set_depth(1);
    client_->set_timeout_ms(300);
  });
  Results held;
  Write(TestBlockServer::kHoldLba, &held);
  ASSERT_TRUE(WaitUntil([this] { return service_.held() == 1; }));
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
  ASSERT_TRUE(queued.WaitFor(1, 10.0));
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
TEST_F(ReviewFaults, SecondStartLeavesLiveControllersAlone) {
  Results held;
  Write(TestBlockServer::kHoldLba, &held);
  ASSERT_TRUE(WaitUntil([this] { return service_.held() == 1; }));
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

// A peer that accepts nothing and reads nothing: once the kernel buffers are
// full, the bytes of later calls would pile up in the connection's output
// ring without bound. A call that would take the backlog past the largest
// message fails at once with "conn send data error" instead.
class DeafPeer : public RpcFixture {
 protected:
  void SetUp() override {
    RpcFixture::SetUp();
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listen_fd_, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, ::listen(listen_fd_, 16));
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len));
    MakeClient(ntohs(addr.sin_port));
  }
  void TearDown() override {
    RpcFixture::TearDown();
    ::close(listen_fd_);
  }
  int listen_fd_ = -1;
};

TEST_F(DeafPeer, OutputBacklogStaysBoundedAndExtraCallsFailWithSendError) {
  const uint32_t kLimit = 1 << 20;
  ASSERT_TRUE(WaitUntil([this] {
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
