// RPC client and server over RDMA queue pairs of the emulated device, with
// and without the shared receive queue: the cases every transport shares
// (rpc/end_to_end_cases.h; attachments are served in place) and those of
// RDMA alone: the client's depth follows the queue pair's, both ends print
// the same uuid, and the timeout floor follows the queue pair's retry time.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/end_to_end_cases.h"

namespace rpctest {
namespace {

// Without a depth of its own the client follows the queue pair's: calls
// beyond it wait their turn instead of overrunning the send queue.
TEST_P(EndToEnd, DepthFollowsTheQueuePair) {
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
      WriteInLoop(static_cast<uint64_t>(i), &results, {Pattern(64, 2)});
    }
    EXPECT_EQ(client_->inflight_count(), depth);
    EXPECT_EQ(client_->pending_count(), 40u);
  });
  ASSERT_TRUE(results.WaitFor(static_cast<size_t>(calls)));
  for (int code : results.codes()) EXPECT_EQ(code, 0);
  EXPECT_TRUE(PoolsFull());
}

// Both ends name a call alike: addresses from the handshake's TCP
// connection (the server's end by its listen address) and queue-pair numbers.
TEST_P(EndToEnd, BothEndsPrintTheSameUuid) {
  Results results;
  std::string client_uuid;
  Write(3, &results, {}, [&](tarn::RpcController* ctrl) { client_uuid = ctrl->uuid(); });
  ASSERT_TRUE(results.WaitFor(1));
  EXPECT_NE(client_uuid.find("-127.0.0.1:" + std::to_string(port_) + ":"), std::string::npos)
      << client_uuid;
  EXPECT_EQ(service_.last_uuid(), client_uuid);
}

INSTANTIATE_TEST_SUITE_P(Over, EndToEnd, ::testing::Values(OverRdma(true), OverRdma(false)),
                         TransportName);

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
}  // namespace rpctest
