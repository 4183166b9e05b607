// RPC over RDMA when the fabric misbehaves: a queue pair killed mid-stream,
// a port taken down and brought back, a request that could not leave
// before its call timed out, and a fatal device event that clears every
// polling worker. Every call ends exactly once, and traffic resumes.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rpc/rpc_test_util.h"

namespace rpctest {
namespace {

class RdmaFaults : public RpcFixture {
 protected:
  RdmaFaults() { transport_ = OverRdma(true); }

  void SetUp() override {
    RpcFixture::SetUp();
    StartServerAndClient();
    ASSERT_EQ(WriteUntilAnswered(1), 1u);
  }

  bool ClientClosed() {
    std::shared_ptr<tarn::Connection> conn = ClientConn();
    return conn == nullptr || conn->IsClosed();
  }
};

bool IsCallCode(int code) {
  return code == 0 || code == tarn::kRpcSendError || code == tarn::kRpcTimeout ||
         code == tarn::kRpcConnectError;
}

TEST_F(RdmaFaults, QueuePairKilledMidStream) {
  constexpr int kCalls = 200;
  std::shared_ptr<tarn::Connection> conn = ClientConn();
  const uint32_t qp_num = conn->my_qp_num();
  // Answers lost with the queue pair end at this budget.
  RunOn(client_worker_, [this] { client_->set_timeout_ms(1000); });
  Results results;
  RunOn(client_worker_, [&] {
    for (int i = 0; i < kCalls; ++i) {
      WriteInLoop(100 + i, &results, {Pattern(2048, static_cast<char>(i))});
    }
  });
  ASSERT_TRUE(verbs_emu::KillQp(qp_num));
  ASSERT_TRUE(results.WaitFor(kCalls));
  EXPECT_TRUE(WaitFor([&] { return conn->IsClosed(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::vector<int> codes = results.codes();
  EXPECT_EQ(codes.size(), static_cast<size_t>(kCalls));  // each exactly once
  EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), IsCallCode));

  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  EXPECT_GT(WriteUntilAnswered(2), static_cast<uint64_t>(kCalls));
  EXPECT_NE(ClientConn()->id(), conn->id());
  EXPECT_TRUE(PoolsFull());  // the server's side of the dead pair let go too
}

TEST_F(RdmaFaults, PortDownFailsSendsAndTrafficResumesWhenItComesBack) {
  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, false));
  Results down;
  Write(2, &down, {Pattern(512, 1)});
  ASSERT_TRUE(down.WaitFor(1));
  EXPECT_EQ(down.codes()[0], tarn::kRpcSendError);  // the transport gave up at once
  EXPECT_TRUE(WaitFor([this] { return ClientClosed(); }));

  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, true));
  EXPECT_GT(WriteUntilAnswered(3), 2u);
  EXPECT_TRUE(PoolsFull());
}

// A call whose request is still waiting in the queue pair when its budget
// runs out closes the connection: its caller frees the request's buffers
// next, and the request must not leave from them once the fabric recovers.
TEST_F(RdmaFaults, RequestUnsentAtItsTimeoutNeverLeavesLater) {
  constexpr uint64_t kStaleLba = 0x57a1e;
  RunOn(client_worker_, [this] { client_->set_timeout_ms(200); });  // the floor: 504 ms
  // One attempt of the queue pair now lasts seconds, past the budget.
  verbs_emu::SetTimeScale(1000.0);
  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, false));
  Results stale;
  Write(kStaleLba, &stale, {Pattern(4096, 9)});
  ASSERT_TRUE(stale.WaitFor(1));
  EXPECT_EQ(stale.codes()[0], tarn::kRpcTimeout);
  EXPECT_TRUE(ClientClosed());

  ASSERT_TRUE(verbs_emu::SetPortState("emu_0", 1, true));
  verbs_emu::SetTimeScale(0.001);
  RunOn(client_worker_, [this] { client_->set_timeout_ms(kAnsweredBudgetMs); });
  EXPECT_GT(WriteUntilAnswered(2), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::vector<uint64_t> lbas = service_.lbas();
  EXPECT_EQ(std::count(lbas.begin(), lbas.end(), kStaleLba), 0);
}

TEST_F(RdmaFaults, FatalDeviceEventClearsTheWorkersAndTheClientReopens) {
  const int64_t first_conn = ClientConn()->id();
  ASSERT_TRUE(verbs_emu::InjectDeviceEvent("emu_0", IBV_EVENT_DEVICE_FATAL));
  // Every polling worker of the process drops its device context.
  EXPECT_TRUE(WaitFor([this] {
    bool cleared = false;
    RunOn(client_worker_, [&] { cleared = client_poller()->rdma_handle() == nullptr; });
    return cleared;
  }));
  EXPECT_TRUE(ClientClosed());

  // The server's workers lost their device as well: a new server takes the
  // port, and the client opens its device again on its next call.
  const uint16_t port = port_;
  server_.reset();
  StartServer(1, port);
  EXPECT_GT(WriteUntilAnswered(2), 1u);
  EXPECT_NE(ClientConn()->id(), first_conn);
  RunOn(client_worker_, [this] { EXPECT_NE(client_poller()->rdma_handle(), nullptr); });
  EXPECT_TRUE(PoolsFull());
}

}  // namespace
}  // namespace rpctest
