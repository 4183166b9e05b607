// RDMA teardown on a device as strict as real adapters (flushes written
// later, a destroyed queue pair's completions discarded, queue-pair numbers
// per device), with two emulated devices in the process: sends outstanding
// when a queue pair goes still complete exactly once, a last-WQE event of
// one device leaves the other device's same-numbered connection alone, and
// messages received before a local close are still delivered.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rdma/rdma_connection_pair.h"
#include "rdma/verbs_emu_helpers.h"
#include "support/log_capture.h"

namespace rdmatest {
namespace {

using tarn::kConnected;
using tarn::kConnecting;

class StrictDeviceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    verbs_emu::DefineDevices({verbs_emu::DefaultDevice(), verbs_emu_test::SecondDevice()});
  }
  void TearDown() override { verbs_emu::ResetFabric(); }

  static tarn::WorkerOption OptionOn(const char* device, bool srq) {
    tarn::WorkerOption option = Option(srq);
    option.rdma_option.device_name = device;
    return option;
  }

  // The step every case starts from: a pair of connections on `device`,
  // established.
  static void Connect(const char* device, bool srq, std::unique_ptr<ConnectionPair>* pair) {
    pair->reset(new ConnectionPair(OptionOn(device, srq)));
    ASSERT_NO_FATAL_FAILURE((*pair)->Build(kConnecting));
    ASSERT_NO_FATAL_FAILURE((*pair)->Establish());
  }
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, StrictDeviceTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

// Worker memory handed out right now, over every chunk size.
uint64_t MemoryOut(ConnectionPair* pair, ConnectionPair::Side* side) {
  uint64_t out = 0;
  pair->Run(side, [&] {
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
    side->worker->GetMemPoolStat(&stat);
    for (auto& entry : stat) out += entry.second.first - entry.second.second;
  });
  return out;
}

// a's sends stay outstanding: the port is down and the retry timeout long,
// so the device neither delivers nor fails them. Some (all with heap_only)
// come from memory outside every region (sent from a registered copy), the
// others from worker memory their callback frees.
void SendsThatStayOutstanding(ConnectionPair* pair, Results* results, int count,
                              std::vector<char>* heap, bool heap_only = false) {
  verbs_emu::SetTimeScale(1000.0);  // about half an hour per attempt
  ASSERT_TRUE(verbs_emu::SetPortState(pair->option().rdma_option.device_name, 1, false));
  pair->Run(&pair->a(), [&] {
    for (int i = 0; i < count; ++i) {
      if (i % 2 == 0 && !heap_only) {
        ConnectionPair::SendInLoop(&pair->a(), 1500, 'o', 1, results->Callback(i));
      } else {
        tarn::SgEntry sge;
        sge.addr = reinterpret_cast<uint64_t>(heap->data());
        sge.len = heap->size();
        pair->a().conn->SendSgeZeroCopy(&sge, 1, results->Callback(i));
      }
    }
  });
}

// Dropping the device with sends in flight: the device has flushed nothing
// yet when the queue pair is destroyed, and discards what it would have;
// every send still completes once (-1), its memory (the registered copy
// too) comes back and no work request is left taken.
TEST_P(StrictDeviceTest, SendsOutstandingWhenTheDeviceIsDroppedCompleteOnce) {
  std::unique_ptr<ConnectionPair> owned;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_1", GetParam(), &owned));
  ConnectionPair& pair = *owned;
  Results results;
  std::vector<char> heap(700, 'h');
  const int kSends = 10;
  ASSERT_NO_FATAL_FAILURE(SendsThatStayOutstanding(&pair, &results, kSends, &heap));
  EXPECT_EQ(results.Count(), 0u);
  testsupport::LogCapture logs;
  pair.Run(&pair.a(), [&] { pair.a().worker->ClearRdma(); });
  ASSERT_EQ(results.Count(), static_cast<size_t>(kSends));
  for (int i = 0; i < kSends; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{-1}) << i;
  EXPECT_EQ(MemoryOut(&pair, &pair.a()), 0u);
  EXPECT_EQ(logs.LineWith("object pool destroyed with"), "");
  EXPECT_EQ(pair.a().record.closed_count(), 1);
}

// A worker destroyed with sends outstanding: nobody is called back (its
// loop is gone), but no work request is left taken with its callback, and
// the registered copies go back (the worker's memory can be released).
TEST_P(StrictDeviceTest, WorkerDestroyedWithSendsOutstandingLeavesNoRequestTaken) {
  testsupport::LogCapture logs;
  std::vector<char> heap(700, 'h');
  Results results;
  {
    std::unique_ptr<ConnectionPair> pair;
    ASSERT_NO_FATAL_FAILURE(Connect("emu_0", GetParam(), &pair));
    ASSERT_NO_FATAL_FAILURE(SendsThatStayOutstanding(pair.get(), &results, 10, &heap, true));
  }
  EXPECT_EQ(results.Count(), 0u);
  EXPECT_EQ(logs.LineWith("object pool destroyed with"), "");
  EXPECT_EQ(logs.LineWith("still in use at destruction"), "");
  EXPECT_EQ(logs.LineWith("object returned twice"), "");
  verbs_emu::Counters counters = verbs_emu::GetCounters();
  EXPECT_EQ(counters.qps, 0);
  EXPECT_EQ(counters.cqs, 0);
  EXPECT_EQ(counters.srqs, 0);
}

// A provider that does deliver a destroyed queue pair's completions (here:
// taken off the queue before the destroy and handed in afterwards, twice,
// through the table and as orphans): the sends completed at the destroy
// are not completed again.
TEST_P(StrictDeviceTest, CompletionsArrivingAfterTheDestroyAreIgnored) {
  std::unique_ptr<ConnectionPair> owned;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_0", GetParam(), &owned));
  ConnectionPair& pair = *owned;
  Results results;
  std::vector<char> heap(700, 'h');
  const int kSends = 6;
  ASSERT_NO_FATAL_FAILURE(SendsThatStayOutstanding(&pair, &results, kSends, &heap));
  ConnectionPair::Side* a = &pair.a();
  std::vector<ibv_wc> saved;
  pair.Run(a, [&] {
    a->conn->ForceCloseInLoop();
    ibv_cq* cq = a->worker->rdma_handle()->send_cq();
    for (int polls = 0; polls < 1000 && saved.size() < static_cast<size_t>(kSends); ++polls) {
      ibv_wc wc[8];
      const int n = ibv_poll_cq(cq, 8, wc);
      for (int i = 0; i < n; ++i) saved.push_back(wc[i]);
    }
    ASSERT_EQ(saved.size(), static_cast<size_t>(kSends));
    EXPECT_EQ(results.Count(), 0u);
    a->qp->DestroyQp();
    EXPECT_EQ(results.Count(), static_cast<size_t>(kSends));
    const int n = static_cast<int>(saved.size());
    a->worker->TxWcHandle(saved.data(), n);  // the connection is still in the table
    a->worker->DelConnection(a->qp->qp_num());
    a->worker->TxWcHandle(saved.data(), n);  // now as orphans
  });
  for (int i = 0; i < kSends; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{-1}) << i;
  int left = 0;
  int capacity = 0;
  pair.Run(a, [&] {
    left = a->worker->rdma_handle()->work_request_pool().left();
    capacity = a->worker->rdma_handle()->work_request_pool().capacity();
  });
  EXPECT_EQ(left, capacity);
}

// Both devices number their queue pairs alike: the last-WQE event of
// emu_1's connection closes that one only, not emu_0's connection with the
// same number.
TEST_F(StrictDeviceTest, LastWqeOfOneDeviceLeavesTheOthersConnectionAlone) {
  std::unique_ptr<ConnectionPair> owned0;
  std::unique_ptr<ConnectionPair> owned1;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_0", true, &owned0));
  ASSERT_NO_FATAL_FAILURE(Connect("emu_1", true, &owned1));
  ConnectionPair& on0 = *owned0;
  ConnectionPair& on1 = *owned1;
  ASSERT_EQ(on0.a().qp->qp_num(), on1.a().qp->qp_num());

  // Closing it moves emu_1's queue pair to ERROR: the device reports its
  // last WQE, every worker hears of it, and it is torn down.
  on1.a().conn->ForceClose();
  ASSERT_TRUE(on1.TornDown(&on1.a()));
  // The event reached every worker before the torn-down one acted on it;
  // these round trips come after it on emu_0's workers.
  for (ConnectionPair::Side* side : {&on0.a(), &on0.b()}) on0.Run(side, [] {});
  int state = -1;
  on0.Run(&on0.a(), [&] { state = on0.a().conn->state(); });
  EXPECT_EQ(state, kConnected);
  EXPECT_EQ(on0.a().record.closed_count(), 0);
  EXPECT_EQ(on0.Send(&on0.a(), 100, 'x', 1, nullptr), 0);
  EXPECT_TRUE(testsupport::WaitFor([&] { return on0.b().record.message_count() == 1; }));
}

// With a shared receive queue a queue pair's receives complete on the
// receive queue, its marker on the send queue: queue pairs destroyed when
// their marker completes, with receives completed and not yet polled behind
// it, still deliver those messages, give their buffers back and leave the
// shared queue as deep as before.
TEST_F(StrictDeviceTest, ReceivesBehindTheMarkerGoBackToTheSharedQueue) {
  constexpr int kQueuePairs = 5;
  constexpr size_t kMessages = 3;  // all rounds together stay within the depth
  std::unique_ptr<ConnectionPair> pair;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_0", true, &pair));
  ConnectionPair::Side* a = &pair->a();
  ConnectionPair::Side* b = &pair->b();
  const size_t depth = pair->option().rdma_option.recv_depth;
  ASSERT_GT(depth, kQueuePairs * kMessages);
  for (int round = 0; round < kQueuePairs; ++round) {
    if (round > 0) {
      ASSERT_NO_FATAL_FAILURE(pair->Build(kConnecting));
      ASSERT_NO_FATAL_FAILURE(pair->Establish());
    }
    // On b's thread, so that b does not poll: a's messages land in b's
    // receive queue, b closes, and b's marker is taken by hand (flushes show
    // from the second poll on) and handled, which destroys the queue pair.
    pair->Run(b, [&] {
      auto send = [&] {
        for (size_t i = 0; i < kMessages; ++i) ConnectionPair::SendInLoop(a, 64, 'r', 1, nullptr);
      };
      if (a->worker == b->worker) {
        send();
      } else {
        pair->Run(a, send);
      }
      b->conn->ForceCloseInLoop();
      ASSERT_TRUE(b->conn->PostLastWqe());
      std::vector<ibv_wc> sent;
      bool marker = false;
      for (int polls = 0; polls < 1000 && !marker; ++polls) {
        ibv_wc wc[8];
        const int n = ibv_poll_cq(b->worker->rdma_handle()->send_cq(), 8, wc);
        for (int i = 0; i < n; ++i) {
          sent.push_back(wc[i]);
          marker = marker || wc[i].wr_id == tarn::kLastWqeWrId;
        }
      }
      ASSERT_TRUE(marker);
      b->worker->TxWcHandle(sent.data(), static_cast<int>(sent.size()));
      EXPECT_EQ(b->qp->qp(), nullptr);
    });
    EXPECT_EQ(b->record.message_count(), kMessages) << round;
    a->conn->ForceClose();
    ASSERT_TRUE(pair->TornDown(a));
  }
  size_t posted = 0;
  pair->Run(b, [&] { posted = b->worker->rdma_handle()->posted_buffers().size(); });
  EXPECT_EQ(posted, depth);
  const uint64_t workers = a->worker == b->worker ? 1 : 2;
  EXPECT_TRUE(testsupport::WaitFor(
      [&] { return verbs_emu::GetCounters().srq_wrs == workers * depth; }));
  EXPECT_EQ(pair->BuffersOut(b), depth);
}

// A message that arrived before the local close (its completion not polled
// yet) still reaches the reader.
TEST_P(StrictDeviceTest, MessagesReceivedBeforeALocalCloseAreDelivered) {
  std::unique_ptr<ConnectionPair> owned;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_1", GetParam(), &owned));
  ConnectionPair& pair = *owned;
  ConnectionPair::Side* a = &pair.a();
  ConnectionPair::Side* b = &pair.b();
  // On b's thread, so that b does not poll in between: a's send lands in
  // b's completion queue (the device delivers it inside the post), then b
  // closes.
  pair.Run(b, [&] {
    if (a->worker == b->worker) {
      ConnectionPair::SendInLoop(a, 64, 'm', 1, nullptr);
    } else {
      pair.Run(a, [&] { ConnectionPair::SendInLoop(a, 64, 'm', 1, nullptr); });
    }
    b->conn->ForceCloseInLoop();
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return b->record.message_count() == 1; }));
  EXPECT_EQ(b->record.closed_count(), 1);
  EXPECT_TRUE(pair.TornDown(b));
}

// A queue pair destroyed before it drained (its owner could not wait for
// the device): the device discards its flushes, so the receives still
// posted on it are given back at the destroy; what the workers list as
// posted is what the device holds, and no buffer is lost.
TEST_P(StrictDeviceTest, AQueuePairDestroyedBeforeItDrainedGivesItsReceivesBack) {
  std::unique_ptr<ConnectionPair> owned;
  ASSERT_NO_FATAL_FAILURE(Connect("emu_0", GetParam(), &owned));
  ConnectionPair& pair = *owned;
  ConnectionPair::Side* a = &pair.a();
  ConnectionPair::Side* b = &pair.b();
  testsupport::LogCapture logs;
  pair.Run(b, [&] { b->worker->DestroyConnectionNow(b->conn); });
  EXPECT_TRUE(pair.TornDown(b));
  EXPECT_EQ(b->record.closed_count(), 1);
  std::vector<ConnectionPair::Side*> sides = {a};
  if (b->worker != a->worker) sides.push_back(b);
  EXPECT_TRUE(testsupport::WaitFor([&] {
    const verbs_emu::Counters counters = verbs_emu::GetCounters();
    uint64_t listed = 0;
    for (ConnectionPair::Side* side : sides) {
      pair.Run(side, [&] { listed += side->worker->rdma_handle()->posted_buffers().size(); });
    }
    return counters.cqes == 0 && listed == counters.recv_wrs + counters.srq_wrs;
  }));
  size_t posted = 0;
  pair.Run(b, [&] { posted = b->worker->rdma_handle()->posted_buffers().size(); });
  EXPECT_EQ(pair.BuffersOut(b), posted);
  EXPECT_EQ(logs.LineWith("returned twice"), "");
}

}  // namespace
}  // namespace rdmatest
