// Faults found in review of the RPC layer, each pinned by a loopback test:
// calls queued behind the depth limit when the client has dropped its
// connection, and a second Start of a running server.

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

}  // namespace
}  // namespace rpctest
