// The end of RDMA connections over the emulated device: closing with sends in
// flight, a queue pair killed by the device, a peer that vanished, completions
// of queue pairs no longer in the table, receive refill, a fatal device event
// and workers destroyed with connections still open. Every case checks that
// callbacks ran once, queue pairs were destroyed only after they drained and
// no buffer was lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rdma/rdma_connection_pair.h"
#include "support/log_capture.h"

namespace rdmatest {
namespace {

using tarn::kConnected;
using tarn::kConnecting;
using tarn::kDisconnected;

class TeardownTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override { verbs_emu::ClearFailures(); }
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, TeardownTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

// Receive buffers handed out equal those posted: none was lost. With a
// shared receive queue the queue is full again.
void ExpectReceivesAccounted(ConnectionPair* pair, ConnectionPair::Side* side, bool srq) {
  size_t posted = 0;
  int work_left = 0;
  int work_capacity = 0;
  pair->Run(side, [&] {
    tarn::RdmaHandle* handle = side->worker->rdma_handle();
    posted = handle->posted_buffers().size();
    work_left = handle->work_request_pool().left();
    work_capacity = handle->work_request_pool().capacity();
  });
  EXPECT_EQ(pair->BuffersOut(side), posted);
  EXPECT_EQ(work_left, work_capacity);
  if (srq) {
    EXPECT_EQ(posted, pair->option().rdma_option.recv_depth);
  }
}

// Has the side's peer connection seen the end? Keepalives find out.
bool KeepAliveUntilClosed(ConnectionPair* pair, ConnectionPair::Side* side) {
  return testsupport::WaitFor([&] {
    pair->Run(side, [&] { side->worker->DoKeepAlive(); });
    return side->record.closed_count() == 1;
  });
}

TEST_P(TeardownTest, CloseWithSendsInFlightDrainsThenDestroys) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  Results results;
  const int kSends = 300;  // some posted, some held behind the depth
  pair.Run(&pair.a(), [&] {
    for (int i = 0; i < kSends; ++i) {
      ConnectionPair::SendInLoop(&pair.a(), 2000, 's', 2, results.Callback(i));
    }
    pair.a().conn->ForceCloseInLoop();
    pair.a().conn->ForceCloseInLoop();  // a second close does nothing
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == kSends; }));
  int held_failures = 0;
  for (int i = 0; i < kSends; ++i) {
    std::vector<int> codes = results.Of(i);
    ASSERT_EQ(codes.size(), 1u) << i;
    EXPECT_TRUE(codes[0] == 0 || codes[0] == -1 || codes[0] == -4) << codes[0];
    held_failures += codes[0] == -4;
  }
  EXPECT_EQ(held_failures, kSends - static_cast<int>(tarn::RdmaConnection::kMaxDepth));
  EXPECT_TRUE(pair.TornDown(&pair.a()));
  EXPECT_EQ(pair.a().record.closed_count(), 1);
  ExpectReceivesAccounted(&pair, &pair.a(), GetParam());

  ASSERT_TRUE(KeepAliveUntilClosed(&pair, &pair.b()));
  EXPECT_TRUE(pair.TornDown(&pair.b()));
  ExpectReceivesAccounted(&pair, &pair.b(), GetParam());
  EXPECT_EQ(verbs_emu::GetCounters().qps, 0);
}

// The device kills a queue pair mid-stream: its connection is closed (its
// users hear of it), every send reports once, and both ends wind down.
TEST_P(TeardownTest, QueuePairKilledMidStream) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  Results results;
  const int kSends = 200;
  for (int i = 0; i < kSends; ++i) pair.Send(&pair.a(), 3000, 'k', 1, results.Callback(i));
  ASSERT_TRUE(verbs_emu::KillQp(pair.a().qp->qp_num()));
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == kSends; }));
  for (int i = 0; i < kSends; ++i) ASSERT_EQ(results.Of(i).size(), 1u) << i;
  EXPECT_TRUE(pair.TornDown(&pair.a()));
  EXPECT_EQ(pair.a().record.closed_count(), 1);
  ASSERT_TRUE(KeepAliveUntilClosed(&pair, &pair.b()));
  EXPECT_TRUE(pair.TornDown(&pair.b()));
  ExpectReceivesAccounted(&pair, &pair.a(), GetParam());
  ExpectReceivesAccounted(&pair, &pair.b(), GetParam());
  EXPECT_EQ(verbs_emu::GetCounters().qps, 0);
}

// A queue pair that dies without traffic is still closed with its callback
// before it goes away; its peer learns of it from a keepalive.
TEST_P(TeardownTest, SilentQueuePairDeathIsNotSilent) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  ASSERT_TRUE(verbs_emu::KillQp(pair.b().qp->qp_num()));
  EXPECT_TRUE(pair.TornDown(&pair.b()));
  EXPECT_EQ(pair.b().record.closed_count(), 1);
  ASSERT_TRUE(KeepAliveUntilClosed(&pair, &pair.a()));
  EXPECT_TRUE(pair.TornDown(&pair.a()));
  EXPECT_EQ(verbs_emu::GetCounters().qps, 0);
}

// b's queue pair is connected but its connection is in no table: its sends
// still report (-1), its receives still go back and are replaced; entered
// into the table later it winds down like any other (its receive count was
// kept true).
TEST_P(TeardownTest, CompletionsOfQueuePairsOutsideTheTable) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting, 0, false);
  ConnectionPair::Side* b = &pair.b();
  pair.Run(b, [&] { b->conn->ConnectionEstablished(); });
  pair.a().worker->SetConnectionPeerReady(pair.a().qp->qp_num());
  Results results;
  testsupport::LogCapture logs;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(pair.Send(b, 500, 'o', 1, results.Callback(i)), 0);
    ASSERT_EQ(pair.Send(&pair.a(), 500, 'i', 1, nullptr), 0);
  }
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == 3; }));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{-1});
  // a got b's messages: the sends did go out.
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.a().record.message_count() == 3; }));
  const size_t depth = pair.option().rdma_option.recv_depth;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    size_t posted = 0;
    pair.Run(b, [&] {
      posted = GetParam() ? b->worker->rdma_handle()->posted_buffers().size()
                          : static_cast<size_t>(b->qp->posted_recv_count);
    });
    return posted == depth;
  }));
  EXPECT_EQ(b->record.message_count(), 0u);
  EXPECT_NE(logs.LineWith("Can't find connect with qp_num: " + std::to_string(b->qp->qp_num())),
            "");
  ExpectReceivesAccounted(&pair, b, GetParam());

  pair.Run(b, [&] { b->worker->AddConnection(b->conn); });
  b->conn->ForceClose();
  EXPECT_TRUE(pair.TornDown(b));
  ExpectReceivesAccounted(&pair, b, GetParam());
}

// Without a shared receive queue: replacements that cannot be posted leave a
// live connection with no receive at all; it is refilled, not torn down.
TEST(RefillTest, LiveConnectionWithoutReceivesIsRefilled) {
  verbs_emu::ResetFabric();
  const uint32_t kDepth = 4;
  ConnectionPair pair(Option(false, kDepth));
  pair.Build(kConnecting);
  pair.Establish();
  ASSERT_TRUE(verbs_emu::FailNextCall("ibv_post_recv", ENOMEM, kDepth));
  for (uint32_t i = 0; i < kDepth; ++i) ASSERT_EQ(pair.Send(&pair.a(), 100, 'r', 1, nullptr), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.b().record.message_count() == kDepth; }));
  ASSERT_TRUE(testsupport::WaitFor([&] {
    int posted = 0;
    pair.Run(&pair.b(), [&] { posted = pair.b().qp->posted_recv_count; });
    return posted == static_cast<int>(kDepth);
  }));
  for (uint32_t i = 0; i < 2 * kDepth; ++i) {
    ASSERT_EQ(pair.Send(&pair.a(), 100, 'r', 1, nullptr), 0);
  }
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.b().record.message_count() == 3 * kDepth; }));
  EXPECT_EQ(pair.b().record.closed_count(), 0);
  int32_t deficit = -1;
  pair.Run(&pair.b(), [&] { deficit = pair.b().qp->recv_deficit; });
  EXPECT_EQ(deficit, 0);
  verbs_emu::ClearFailures();
  // The sends' completions (which give their buffers back) are in before
  // the workers go: a worker destroyed first drops them uncalled.
  EXPECT_TRUE(testsupport::WaitFor([&] {
    uint32_t in_flight = 1;
    pair.Run(&pair.a(), [&] { in_flight = pair.a().conn->sends_in_flight(); });
    return in_flight == 0;
  }));
}

// A fatal device event: a second later every worker drops its device; every
// connection is closed once, nothing of the device is left, no buffer is
// lost, and the closed connections refuse sends.
TEST_P(TeardownTest, FatalDeviceEventClearsEveryWorker) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  Results results;
  for (int i = 0; i < 20; ++i) pair.Send(&pair.a(), 1000, 'f', 1, results.Callback(i));
  ASSERT_TRUE(verbs_emu::InjectDeviceEvent("emu_0", IBV_EVENT_DEVICE_FATAL));
  for (ConnectionPair::Side* side : {&pair.a(), &pair.b()}) {
    ASSERT_TRUE(testsupport::WaitFor([&] {
      bool cleared = false;
      pair.Run(side, [&] { cleared = side->worker->rdma_handle() == nullptr; });
      return cleared;
    }));
    EXPECT_EQ(side->record.closed_count(), 1);
    EXPECT_EQ(pair.BuffersOut(side), 0u);
    EXPECT_EQ(pair.Send(side, 10, 'x', 1, nullptr), -2);
  }
  EXPECT_EQ(results.Count(), 20u);
  verbs_emu::Counters counters = verbs_emu::GetCounters();
  EXPECT_EQ(counters.qps, 0);
  EXPECT_EQ(counters.cqs, 0);
  EXPECT_EQ(counters.srqs, 0);
  EXPECT_EQ(counters.mrs, 0);
}

// The client side's handshake ends: a connection still connecting is closed
// and goes once drained; an established one is left alone.
TEST_P(TeardownTest, HandshakeEndClosesOnlyWhatIsStillConnecting) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  tarn::SockAddress local("127.0.0.1", 4242, false);
  pair.b().worker->UpdateConnectionWithQueuePair(pair.b().qp, false, local);
  pair.b().worker->UpdateConnectionWithQueuePair(pair.b().qp, true, local);
  pair.a().worker->UpdateConnectionWithQueuePair(pair.a().qp, true, local);
  EXPECT_TRUE(pair.TornDown(&pair.a()));
  EXPECT_EQ(pair.a().record.closed_count(), 1);
  std::string local_text;
  int b_state = -1;
  pair.Run(&pair.b(), [&] {
    local_text = pair.b().conn->local_addr().ToString();
    b_state = pair.b().conn->state();
  });
  EXPECT_EQ(b_state, kConnected);
  EXPECT_EQ(local_text, local.ToString());
  EXPECT_EQ(pair.b().record.established_count(), 1);
  EXPECT_EQ(pair.b().record.closed_count(), 0);
}

// Workers stopped and destroyed with connections still open and sends in
// flight or held (from memory that has to be copied): nothing crashes, no
// worker memory is left out, and the device is left with no queue pair.
TEST_P(TeardownTest, WorkersDestroyedWithLiveConnections) {
  std::vector<char> heap(700, 'd');
  {
    ConnectionPair pair(Option(GetParam()));
    pair.Build(kConnecting);
    pair.Establish();
    pair.Run(&pair.a(), [&] {
      tarn::SgEntry sge;
      sge.addr = reinterpret_cast<uint64_t>(heap.data());
      sge.len = heap.size();
      for (int i = 0; i < 300; ++i) pair.a().conn->SendSgeZeroCopy(&sge, 1, nullptr);
    });
  }
  verbs_emu::Counters counters = verbs_emu::GetCounters();
  EXPECT_EQ(counters.qps, 0);
  EXPECT_EQ(counters.cqs, 0);
  EXPECT_EQ(counters.mrs, 0);
}

}  // namespace
}  // namespace rdmatest
