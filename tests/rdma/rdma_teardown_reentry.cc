// Tear-down reached again from the callbacks it runs, and verbs calls of
// the tear-down that fail, on the emulated device (flushes written late, a
// destroyed queue pair's completions discarded, failures injected):
//  - a device drop asked for from a callback the drop itself runs (held
//    sends failed, the closed callback, sends completed as the queue pairs
//    go) is deferred and spares a context opened again meanwhile;
//  - a connection destroyed from those callbacks does not poll under the
//    drop;
//  - a queue pair the device refuses to destroy gives each receive back
//    exactly once, and goes at the next try;
//  - a queue pair that cannot be moved to ERROR still delivers the
//    messages it received and leaves the receive queues as deep as before.
// Run with and without a shared receive queue.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rdma/rdma_connection_pair.h"
#include "support/log_capture.h"

namespace rdmatest {
namespace {

using tarn::kConnected;
using tarn::kConnecting;

class TeardownReentryTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override {
    pair_.reset();
    verbs_emu::ResetFabric();
  }

  void Connect(bool establish = true) {
    pair_.reset(new ConnectionPair(Option(GetParam())));
    ASSERT_NO_FATAL_FAILURE(pair_->Build(kConnecting));
    if (establish) {
      ASSERT_NO_FATAL_FAILURE(pair_->Establish());
    }
  }

  // Worker memory handed out on the side right now, over every size.
  uint64_t MemoryOut(ConnectionPair::Side* side) {
    uint64_t out = 0;
    pair_->Run(side, [&] {
      std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
      side->worker->GetMemPoolStat(&stat);
      for (auto& entry : stat) out += entry.second.first - entry.second.second;
    });
    return out;
  }

  // Receives the side's worker lists as posted, and the receive buffers
  // it has handed out: equal when none was lost or given back twice.
  void ExpectReceivesAccountedFor(ConnectionPair::Side* side) {
    size_t posted = 0;
    pair_->Run(side, [&] { posted = side->worker->rdma_handle()->posted_buffers().size(); });
    EXPECT_EQ(pair_->BuffersOut(side), posted);
  }

  std::unique_ptr<ConnectionPair> pair_;
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, TeardownReentryTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

// Where a's callback that drops the device again is hooked.
enum class Hook { kHeldSend, kClosedCallback, kOutstandingSend, kFlushedSend };

struct DropCase {
  const char* name;
  Hook hook;
  int code;  // what the hooked send reports
};

// a's device is dropped; a callback the drop runs drops it again (and
// destroys a's connection now, as an owner going away would). Nothing is
// freed under the drop, every send reports once, and the context opened
// again right after is not dropped by the deferred request.
TEST_P(TeardownReentryTest, ADropAskedForFromItsOwnCallbacksIsDeferred) {
  const DropCase cases[] = {
      {"held send", Hook::kHeldSend, -4},
      {"closed callback", Hook::kClosedCallback, 0},
      {"outstanding send", Hook::kOutstandingSend, -1},
      {"flushed send", Hook::kFlushedSend, -1},
  };
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Connect(c.hook != Hook::kHeldSend));
    ConnectionPair::Side* a = &pair_->a();
    tarn::PollingWorker* worker = a->worker;
    std::shared_ptr<tarn::RdmaConnection> conn = a->conn;
    int reentered = 0;
    auto drop_again = [worker, conn, &reentered] {
      ++reentered;
      worker->ClearRdma();
      worker->DestroyConnectionNow(conn);
      worker->SettleSendsNow(conn);
    };
    Results results;
    if (c.hook == Hook::kOutstandingSend || c.hook == Hook::kFlushedSend) {
      verbs_emu::SetTimeScale(1000.0);  // the device neither delivers nor fails them
      ASSERT_TRUE(verbs_emu::SetPortState(pair_->option().rdma_option.device_name, 1, false));
    }
    uint64_t generation = 0;
    pair_->Run(a, [&] {
      if (c.hook == Hook::kClosedCallback) {
        conn->set_connection_closed_cb(
            [&](const std::shared_ptr<tarn::Connection>&) { drop_again(); });
      } else {
        tarn::SendCompleteCallback record = results.Callback(0);
        ConnectionPair::SendInLoop(a, 100, 's', 1, [&, record](int code) {
          record(code);
          drop_again();
        });
      }
      if (c.hook == Hook::kFlushedSend) {
        // Closed first, and the device let write its flush (polls for no
        // entry reveal it without taking it), which the drop then finds.
        conn->ForceCloseInLoop();
        ibv_wc none[1];
        for (int i = 0; i < 3; ++i) ibv_poll_cq(worker->rdma_handle()->send_cq(), 0, none);
        EXPECT_GT(verbs_emu::GetCounters().cqes, 0u);
      }
      worker->ClearRdma();
      EXPECT_EQ(worker->rdma_handle(), nullptr);
      ASSERT_TRUE(verbs_emu::SetPortState(pair_->option().rdma_option.device_name, 1, true));
      ASSERT_TRUE(worker->InitRdma());
      generation = worker->rdma_handle()->generation();
    });
    EXPECT_EQ(reentered, 1);
    if (c.hook != Hook::kClosedCallback) {
      EXPECT_EQ(results.Of(0), std::vector<int>{c.code});
    }
    // The deferred drop has had its passes by the time two round trips
    // came back.
    for (int i = 0; i < 2; ++i) pair_->Run(a, [] {});
    pair_->Run(a, [&] {
      ASSERT_NE(worker->rdma_handle(), nullptr);
      EXPECT_EQ(worker->rdma_handle()->generation(), generation);
    });
    pair_.reset();
    verbs_emu::ResetFabric();
  }
}

// The device refuses the first destroy of b's queue pair (EBUSY): it lives
// on in ERROR, its receives come back as flushes, and it goes at the next
// try; each receive is given back once, whichever comes first.
TEST_P(TeardownReentryTest, AFailedDestroyGivesEachReceiveBackOnce) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ConnectionPair::Side* b = &pair_->b();
  testsupport::LogCapture logs;
  pair_->Run(b, [&] {
    ASSERT_TRUE(verbs_emu::FailNextCall("ibv_destroy_qp", EBUSY, 1));
    b->worker->DestroyConnectionNow(b->conn);
    EXPECT_NE(b->qp->qp(), nullptr);  // still the device's
    EXPECT_TRUE(b->qp->destroy_failed());
  });
  EXPECT_TRUE(pair_->TornDown(b));
  EXPECT_EQ(b->record.closed_count(), 1);
  // Every flush the device still had to write has been written and taken.
  EXPECT_TRUE(testsupport::WaitFor([] {
    const verbs_emu::Counters counters = verbs_emu::GetCounters();
    return counters.cqes == 0 && counters.flushes_in_transit == 0;
  }));
  for (int i = 0; i < 2; ++i) pair_->Run(b, [] {});
  ExpectReceivesAccountedFor(b);
  EXPECT_NE(logs.LineWith("ibv_destroy_qp failed"), "");
  EXPECT_EQ(logs.LineWith("returned twice"), "");
  EXPECT_EQ(logs.LineWith("double free"), "");
  // The worker still serves a new pair.
  ASSERT_NO_FATAL_FAILURE(pair_->Build(kConnecting));
  ASSERT_NO_FATAL_FAILURE(pair_->Establish());
  EXPECT_EQ(pair_->Send(&pair_->a(), 64, 'n', 1, nullptr), 0);
  EXPECT_TRUE(testsupport::WaitFor([b] { return b->record.message_count() == 1; }));
}

// The same for a connection its worker's table never held, let go by its
// owner right after: nothing keeps the connection for the next try, and
// the queue pair still goes.
TEST_P(TeardownReentryTest, ARefusedDestroyIsTriedAgainWhenTheConnectionIsGone) {
  pair_.reset(new ConnectionPair(Option(GetParam())));
  ASSERT_NO_FATAL_FAILURE(pair_->Build(kConnecting, 0, false));
  ConnectionPair::Side* b = &pair_->b();
  pair_->Run(b, [&] {
    ASSERT_TRUE(verbs_emu::FailNextCall("ibv_destroy_qp", EBUSY, 1));
    b->worker->DestroyConnectionNow(b->conn);
    EXPECT_NE(b->qp->qp(), nullptr);
    b->conn.reset();
    b->qp.reset();
  });
  EXPECT_TRUE(testsupport::WaitFor([] { return verbs_emu::GetCounters().qps == 1; }, 10.0));
  for (int i = 0; i < 2; ++i) pair_->Run(b, [] {});
  ExpectReceivesAccountedFor(b);
}

// The device keeps refusing to destroy b's queue pair, so the device is
// dropped with it still there: the drop lets it go, every receive is given
// back once, and the worker opens its device again and serves a new pair.
TEST_P(TeardownReentryTest, AQueuePairNeverDestroyedGoesWithTheDevice) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ConnectionPair::Side* b = &pair_->b();
  testsupport::LogCapture logs;
  const uint64_t before = pair_->BuffersOut(b);
  pair_->Run(b, [&] {
    ASSERT_TRUE(verbs_emu::FailNextCall("ibv_destroy_qp", EBUSY, 1000));
    b->worker->DestroyConnectionNow(b->conn);
    EXPECT_NE(b->qp->qp(), nullptr);
  });
  EXPECT_TRUE(testsupport::WaitFor([] { return verbs_emu::GetCounters().cqes == 0; }));
  pair_->Run(b, [&] {
    b->worker->ClearRdma();
    EXPECT_EQ(b->worker->rdma_handle(), nullptr);
    EXPECT_EQ(b->qp->qp(), nullptr);
  });
  verbs_emu::ClearFailures();
  EXPECT_LT(pair_->BuffersOut(b), before);
  EXPECT_EQ(logs.LineWith("returned twice"), "");
  EXPECT_EQ(logs.LineWith("double free"), "");
  pair_->Run(b, [&] { EXPECT_TRUE(b->worker->InitRdma()); });
  ASSERT_NO_FATAL_FAILURE(pair_->Build(kConnecting));
  ASSERT_NO_FATAL_FAILURE(pair_->Establish());
  EXPECT_EQ(pair_->Send(&pair_->a(), 64, 'n', 1, nullptr), 0);
  EXPECT_TRUE(testsupport::WaitFor([b] { return b->record.message_count() == 1; }));
}

// b's move to ERROR fails, so settling its sends destroys the queue pair:
// the messages that had arrived are still delivered, and the receive
// queues are as deep as before (with a shared queue: refilled).
TEST_P(TeardownReentryTest, AFailedMoveToErrorStillTakesTheReceivedMessages) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ConnectionPair::Side* a = &pair_->a();
  ConnectionPair::Side* b = &pair_->b();
  constexpr size_t kMessages = 3;
  Results results;
  pair_->Run(b, [&] {
    // On b's thread, so that b polls nothing meanwhile: a's messages land
    // in b's receive queue, b's own send stays outstanding.
    auto send = [&] {
      for (size_t i = 0; i < kMessages; ++i) ConnectionPair::SendInLoop(a, 64, 'r', 1, nullptr);
    };
    if (a->worker == b->worker) {
      send();
    } else {
      pair_->Run(a, send);
    }
    ConnectionPair::SendInLoop(b, 64, 'b', 1, results.Callback(0));
    ASSERT_TRUE(verbs_emu::FailNextCall("ibv_modify_qp", EIO, 1));
    b->conn->ForceCloseInLoop();
    EXPECT_FALSE(b->qp->in_error());
    b->worker->SettleSendsNow(b->conn);
    EXPECT_EQ(b->qp->qp(), nullptr);
    EXPECT_EQ(results.Count(), 1u);
  });
  EXPECT_EQ(b->record.message_count(), kMessages);
  EXPECT_TRUE(pair_->TornDown(b));
  EXPECT_TRUE(testsupport::WaitFor([] { return verbs_emu::GetCounters().cqes == 0; }));
  for (int i = 0; i < 2; ++i) pair_->Run(b, [] {});
  ExpectReceivesAccountedFor(b);
  if (GetParam()) {
    const size_t depth = pair_->option().rdma_option.recv_depth;
    const uint64_t workers = a->worker == b->worker ? 1 : 2;
    EXPECT_TRUE(
        testsupport::WaitFor([&] { return verbs_emu::GetCounters().srq_wrs == workers * depth; }));
  }
}

// The same from inside a completion callback of b (nothing may be polled
// there): the messages that had arrived meanwhile are still delivered, once
// that poll's completions are handled, and the receive queues keep their
// depth.
TEST_P(TeardownReentryTest, AFailedMoveToErrorFromACallbackStillTakesTheReceivedMessages) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ConnectionPair::Side* a = &pair_->a();
  ConnectionPair::Side* b = &pair_->b();
  constexpr size_t kMessages = 3;
  Results results;
  std::atomic<bool> settled{false};
  pair_->Run(b, [&] {
    b->conn->set_message_read_cb([&](const std::shared_ptr<tarn::Connection>& conn) {
      void* data = nullptr;
      uint32_t len = 0;
      ASSERT_GE(conn->ReceiveDataZeroCopy(&data, &len), 0);
      conn->worker()->Free(data);
      {
        std::lock_guard<std::mutex> lock(b->record.mu);
        b->record.messages.emplace_back(len, 'x');
      }
      if (settled.exchange(true)) return;
      // a's messages land in b's receive queue after this poll.
      auto send = [&] {
        for (size_t i = 0; i < kMessages; ++i) ConnectionPair::SendInLoop(a, 64, 'r', 1, nullptr);
      };
      if (a->worker == b->worker) {
        send();
      } else {
        pair_->Run(a, send);
      }
      ConnectionPair::SendInLoop(b, 64, 'b', 1, results.Callback(0));
      ASSERT_TRUE(verbs_emu::FailNextCall("ibv_modify_qp", EIO, 1));
      b->conn->ForceCloseInLoop();
      EXPECT_FALSE(b->qp->in_error());
      b->worker->SettleSendsNow(b->conn);
      EXPECT_EQ(results.Count(), 1u);
    });
  });
  EXPECT_EQ(pair_->Send(a, 64, 't', 1, nullptr), 0);
  EXPECT_TRUE(testsupport::WaitFor([&] { return settled.load(); }));
  EXPECT_TRUE(pair_->TornDown(b));
  EXPECT_TRUE(testsupport::WaitFor([] { return verbs_emu::GetCounters().cqes == 0; }));
  for (int i = 0; i < 2; ++i) pair_->Run(b, [] {});
  EXPECT_EQ(b->record.message_count(), 1 + kMessages);
  ExpectReceivesAccountedFor(b);
  if (GetParam()) {
    const size_t depth = pair_->option().rdma_option.recv_depth;
    const uint64_t workers = a->worker == b->worker ? 1 : 2;
    EXPECT_TRUE(
        testsupport::WaitFor([&] { return verbs_emu::GetCounters().srq_wrs == workers * depth; }));
  }
}

// A registered copy (a send from memory outside every region) stays with
// its request while the device may still read it: sends abandoned from a
// callback of a queue pair in ERROR report at once, and the copies go back
// only as their requests do.
TEST_P(TeardownReentryTest, AbandonedSendsKeepTheirCopyUntilTheirRequestGoes) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  ConnectionPair::Side* a = &pair_->a();
  verbs_emu::SetTimeScale(1000.0);
  ASSERT_TRUE(verbs_emu::SetPortState(pair_->option().rdma_option.device_name, 1, false));
  std::vector<char> heap(700, 'h');
  Results results;
  const uint64_t before = MemoryOut(a);
  constexpr int kSends = 4;
  pair_->Run(a, [&] {
    for (int i = 0; i < kSends; ++i) {
      tarn::SgEntry sge;
      sge.addr = reinterpret_cast<uint64_t>(heap.data());
      sge.len = heap.size();
      a->conn->SendSgeZeroCopy(&sge, 1, results.Callback(i));
    }
  });
  const uint64_t with_copies = MemoryOut(a);
  EXPECT_GT(with_copies, before);
  pair_->Run(a, [&] {
    a->conn->ForceCloseInLoop();
    ASSERT_TRUE(a->qp->in_error());
    a->qp->AbandonSends();
    EXPECT_EQ(results.Count(), static_cast<size_t>(kSends));
    EXPECT_EQ(MemoryOut(a), with_copies);  // still the device's
    a->worker->DestroyConnectionNow(a->conn);
  });
  EXPECT_TRUE(pair_->TornDown(a));
  EXPECT_EQ(results.Count(), static_cast<size_t>(kSends));  // nobody called twice
  for (int i = 0; i < kSends; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{-1}) << i;
  EXPECT_LT(MemoryOut(a), with_copies);
}

}  // namespace
}  // namespace rdmatest
