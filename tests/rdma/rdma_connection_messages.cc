// RDMA connections over the emulated device: messages both ways, held sends,
// the in-flight depth, the size and entry limits, buffers outside registered
// memory, and received messages that lie about their size.
#include <gtest/gtest.h>
#include <infiniband/verbs.h>

#include <string>
#include <vector>

#include "rdma/rdma_connection_pair.h"
#include "support/log_capture.h"
#include "tarn/polling/mr_manager.h"
#include "tarn/polling/rdma_message.h"

namespace rdmatest {
namespace {

using tarn::kConnected;
using tarn::kConnecting;
using tarn::kDisconnected;

std::string Pattern(uint32_t len, char fill) { return std::string(len, fill); }

class MessagesTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { verbs_emu::ResetFabric(); }
  void TearDown() override { verbs_emu::ClearFailures(); }
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, MessagesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

// Far more sends than the in-flight depth, issued at once, and far more
// messages than posted receives: every message arrives once, in order, and
// every callback runs once with 0.
TEST_P(MessagesTest, ManyMessagesBothWaysInOrderWithinTheDepth) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  const int kToB = 600;
  const int kToA = 100;
  auto len_of = [](int i) { return static_cast<uint32_t>(i * 37 % 5000); };
  auto fill_of = [](int i) { return static_cast<char>('a' + i % 26); };
  Results results;
  uint32_t in_flight = 0;
  size_t held = 0;
  uint32_t depth = 0;
  ASSERT_TRUE(pair.Run(&pair.a(), [&] {
    for (int i = 0; i < kToB; ++i) {
      ASSERT_EQ(ConnectionPair::SendInLoop(&pair.a(), len_of(i), fill_of(i), 1 + i % 4,
                                           results.Callback(i)),
                0);
    }
    in_flight = pair.a().conn->sends_in_flight();
    held = pair.a().conn->pending_send_count();
    depth = pair.a().conn->max_depth();
  }));
  EXPECT_EQ(depth, tarn::RdmaConnection::kMaxDepth);
  EXPECT_EQ(in_flight, depth);
  EXPECT_EQ(held, static_cast<size_t>(kToB) - depth);
  for (int i = 0; i < kToA; ++i) {
    ASSERT_EQ(pair.Send(&pair.b(), len_of(i), fill_of(i), 1, results.Callback(kToB + i)), 0);
  }
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return pair.b().record.message_count() == kToB && pair.a().record.message_count() == kToA &&
           results.Count() == static_cast<size_t>(kToB + kToA);
  }));
  std::lock_guard<std::mutex> lock_b(pair.b().record.mu);
  for (int i = 0; i < kToB; ++i) {
    ASSERT_EQ(pair.b().record.messages[i], Pattern(len_of(i), fill_of(i))) << "message " << i;
  }
  std::lock_guard<std::mutex> lock_a(pair.a().record.mu);
  for (int i = 0; i < kToA; ++i) {
    ASSERT_EQ(pair.a().record.messages[i], Pattern(len_of(i), fill_of(i))) << "message " << i;
  }
  for (int i = 0; i < kToB + kToA; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{0}) << i;
  EXPECT_EQ(pair.a().record.closed, 0);
  EXPECT_EQ(pair.b().record.closed, 0);
}

// One entry is the header's: max_send_sge data entries are refused, one
// fewer go out; an empty message is just a header.
TEST_P(MessagesTest, EntryLimitLeavesRoomForTheHeader) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  const uint32_t max_sge = pair.a().conn->max_send_sge();
  ASSERT_GE(max_sge, 2u);
  ASSERT_LE(max_sge, tarn::RdmaConnection::kMaxSendSge);
  struct Case {
    uint32_t pieces;
    uint32_t len;
    int expected;
  };
  const Case cases[] = {{max_sge, 4 * max_sge, -3}, {max_sge - 1, 4 * max_sge, 0}, {0, 0, 0}};
  Results results;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pair.Send(&pair.a(), cases[i].len, 'x', cases[i].pieces, results.Callback(i)),
              cases[i].expected == -3 ? -3 : 0);
  }
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.b().record.message_count() == 2; }));
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == 3; }));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(results.Of(i), std::vector<int>{cases[i].expected}) << i;
  std::lock_guard<std::mutex> lock(pair.b().record.mu);
  EXPECT_EQ(pair.b().record.messages[0], Pattern(4 * max_sge, 'x'));
  EXPECT_EQ(pair.b().record.messages[1], "");
}

// Sends issued while connecting wait and leave in order once established.
TEST_P(MessagesTest, HeldSendsLeaveInOrderOnceEstablished) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  Results results;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(pair.Send(&pair.a(), 100 + i, static_cast<char>('0' + i), 2, results.Callback(i)), 0);
  }
  size_t held = 0;
  pair.Run(&pair.a(), [&] { held = pair.a().conn->pending_send_count(); });
  EXPECT_EQ(held, 5u);
  EXPECT_EQ(results.Count(), 0u);
  pair.Establish();
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return pair.b().record.message_count() == 5 && results.Count() == 5; }));
  std::lock_guard<std::mutex> lock(pair.b().record.mu);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(pair.b().record.messages[i], Pattern(100 + i, static_cast<char>('0' + i)));
    EXPECT_EQ(results.Of(i), std::vector<int>{0});
  }
}

// A held send fails once with -4 when the connection closes first; the
// closed connection is never revived by a late ready, and refuses sends.
TEST_P(MessagesTest, ClosedBeforeEstablishedStaysClosed) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  Results results;
  ASSERT_EQ(pair.Send(&pair.a(), 64, 'h', 1, results.Callback(0)), 0);
  pair.a().conn->ForceClose();  // from this thread: posted to the worker
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == 1; }));
  EXPECT_EQ(results.Of(0), std::vector<int>{-4});
  EXPECT_EQ(pair.a().record.closed_count(), 1);

  pair.a().worker->SetConnectionPeerReady(pair.a().qp->qp_num());  // if still in the table
  pair.Run(&pair.a(), [&] { pair.a().conn->ConnectionEstablished(); });
  int state = -1;
  pair.Run(&pair.a(), [&] { state = pair.a().conn->state(); });
  EXPECT_EQ(state, kDisconnected);
  EXPECT_EQ(pair.a().record.established_count(), 0);
  EXPECT_EQ(pair.Send(&pair.a(), 64, 'h', 1, results.Callback(1)), -2);
  EXPECT_EQ(results.Of(1), std::vector<int>{-2});
  pair.Run(&pair.a(), [&] {
    tarn::SgEntry sge;
    EXPECT_EQ(pair.a().conn->SendSgeZeroCopy(&sge, 1, nullptr), -2);
  });
  EXPECT_TRUE(pair.TornDown(&pair.a()));
  EXPECT_EQ(pair.a().record.closed_count(), 1);
}

// What the peer announced as its receive size bounds every send: a larger
// one fails on its own, and the connection carries on.
TEST_P(MessagesTest, PeerReceiveSizeBoundsSends) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting, 4096);
  pair.Establish();
  uint32_t max_send_size = 0;
  pair.Run(&pair.a(), [&] { max_send_size = pair.a().conn->max_send_size(); });
  EXPECT_EQ(max_send_size, 4096u);
  Results results;
  EXPECT_EQ(pair.Send(&pair.a(), 4097, 'o', 2, results.Callback(0)), -1);
  EXPECT_EQ(results.Of(0), std::vector<int>{-1});
  EXPECT_EQ(pair.Send(&pair.a(), 4096, 'k', 2, results.Callback(1)), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.b().record.message_count() == 1; }));
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == 2; }));
  EXPECT_EQ(results.Of(1), std::vector<int>{0});
  EXPECT_EQ(pair.b().record.closed_count(), 0);
  EXPECT_EQ(pair.a().record.closed_count(), 0);
}

// Memory no region covers (the heap here) is copied into registered worker
// memory, which goes back once the send completes.
TEST_P(MessagesTest, UnregisteredBufferIsCopied) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  const uint64_t out_before = pair.BuffersOut(&pair.a());
  std::vector<char> heap(266240);
  for (size_t i = 0; i < heap.size(); ++i) heap[i] = static_cast<char>('A' + i % 23);
  Results results;
  char* pooled = nullptr;
  pair.Run(&pair.a(), [&] {
    pooled = static_cast<char*>(pair.a().worker->Malloc(1000));
    memset(pooled, 'p', 1000);
    tarn::SgEntry sges[2];
    sges[0].addr = reinterpret_cast<uint64_t>(pooled);
    sges[0].len = 1000;
    sges[1].addr = reinterpret_cast<uint64_t>(heap.data());
    sges[1].len = heap.size();
    EXPECT_EQ(pair.a().conn->SendSgeZeroCopy(sges, 2, results.Callback(0)), 0);
  });
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return pair.b().record.message_count() == 1 && results.Count() == 1; }));
  EXPECT_EQ(results.Of(0), std::vector<int>{0});
  {
    std::lock_guard<std::mutex> lock(pair.b().record.mu);
    EXPECT_EQ(pair.b().record.messages[0],
              Pattern(1000, 'p') + std::string(heap.begin(), heap.end()));
  }
  pair.Run(&pair.a(), [&] { pair.a().worker->Free(pooled); });
  EXPECT_EQ(pair.BuffersOut(&pair.a()), out_before);
  EXPECT_EQ(pair.a().record.closed_count(), 0);
}

// With the header or request pool empty a send fails with -5 and its
// callback runs once with -5 (it is not lost in the failed take); once the
// pool has room again sends go out.
TEST_P(MessagesTest, EmptyPoolsFailTheSendOnce) {
  ConnectionPair pair(Option(GetParam()));
  pair.Build(kConnecting);
  pair.Establish();
  Results results;
  for (int exhaust_headers = 0; exhaust_headers < 2; ++exhaust_headers) {
    ConnectionPair::Side* a = &pair.a();
    std::vector<tarn::RdmaMessageHeader*> headers;
    std::vector<tarn::RdmaWorkRequest*> requests;
    pair.Run(a, [&] {
      tarn::RdmaHandle* handle = a->worker->rdma_handle();
      if (exhaust_headers) {
        while (tarn::RdmaMessageHeader* h = handle->NewMessage(0, 4)) headers.push_back(h);
      } else {
        while (tarn::RdmaWorkRequest* r = handle->NewWorkRequest(nullptr, nullptr)) {
          requests.push_back(r);
        }
      }
      EXPECT_EQ(ConnectionPair::SendInLoop(a, 100, 'e', 1, results.Callback(exhaust_headers)), -5);
      for (tarn::RdmaMessageHeader* h : headers) handle->DeleteMessage(h);
      for (tarn::RdmaWorkRequest* r : requests) handle->DeleteWorkRequest(r);
    });
    EXPECT_EQ(results.Of(exhaust_headers), std::vector<int>{-5});
  }
  EXPECT_EQ(pair.Send(&pair.a(), 100, 'g', 1, results.Callback(2)), 0);
  ASSERT_TRUE(testsupport::WaitFor([&] { return pair.b().record.message_count() == 1; }));
  ASSERT_TRUE(testsupport::WaitFor([&] { return results.Count() == 3; }));
  EXPECT_EQ(results.Of(2), std::vector<int>{0});
}

// Raw sends from b's queue pair with forged headers. Only what arrived is
// trusted: a header claiming more, or a message shorter than a header,
// closes a; an unknown type is dropped and a carries on.
struct Forged {
  const char* name;
  uint32_t type;
  uint32_t claimed;
  uint32_t header_bytes;
  uint32_t payload;
  bool closes;
  const char* log;
};

void PostForged(ConnectionPair* pair, const Forged& f) {
  ConnectionPair::Side* b = &pair->b();
  pair->Run(b, [&] {
    tarn::RdmaHandle* handle = b->worker->rdma_handle();
    tarn::RdmaMessageHeader* header = handle->NewMessage(f.claimed, f.type);
    char* data = static_cast<char*>(b->worker->Malloc(std::max<uint32_t>(f.payload, 1)));
    memset(data, 'f', f.payload);
    tarn::PollingWorker* worker = b->worker;
    tarn::RdmaWorkRequest* request =
        handle->NewWorkRequest(header, [worker, data](int) { worker->Free(data); });
    uint32_t lkey = 0;
    ASSERT_EQ(handle->mr_manager()->GetKeyByAddr(data, &lkey, nullptr), 0);
    ibv_sge sge[2] = {{reinterpret_cast<uint64_t>(header), f.header_bytes, handle->header_lkey()},
                      {reinterpret_cast<uint64_t>(data), f.payload, lkey}};
    ibv_send_wr wr{};
    ibv_send_wr* bad = nullptr;
    wr.wr_id = reinterpret_cast<uint64_t>(request);
    wr.sg_list = sge;
    wr.num_sge = f.payload > 0 ? 2 : 1;
    wr.opcode = IBV_WR_SEND;
    wr.send_flags = IBV_SEND_SIGNALED;
    ASSERT_EQ(ibv_post_send(b->qp->qp(), &wr, &bad), 0);
    b->qp->TrackSend(request);  // outstanding, as every posted send is
  });
}

TEST_P(MessagesTest, ForgedHeadersAreTrustedOnlyAsFarAsTheBytes) {
  const Forged cases[] = {
      {"claims more than arrived", 4, 1000, 8, 100, true, "message length error, header len: 1000"},
      {"shorter than a header", 4, 0, 4, 0, true, "message shorter than its header"},
      {"unknown type", 7, 100, 8, 100, false, "OnRecv Unexpected message type: 7"},
  };
  for (const Forged& f : cases) {
    SCOPED_TRACE(f.name);
    verbs_emu::ResetFabric();
    testsupport::LogCapture logs;
    ConnectionPair pair(Option(GetParam()));
    pair.Build(kConnecting);
    pair.Establish();
    const uint64_t out_before = pair.BuffersOut(&pair.a());
    PostForged(&pair, f);
    EXPECT_TRUE(logs.WaitForText(f.log));
    if (f.closes) {
      EXPECT_TRUE(pair.TornDown(&pair.a()));
      EXPECT_EQ(pair.a().record.closed_count(), 1);
    } else {
      ASSERT_EQ(pair.Send(&pair.b(), 10, 'n', 1, nullptr), 0);
      ASSERT_TRUE(testsupport::WaitFor([&] { return pair.a().record.message_count() == 1; }));
      EXPECT_EQ(pair.a().record.closed_count(), 0);
      EXPECT_EQ(pair.BuffersOut(&pair.a()), out_before);
    }
    EXPECT_EQ(pair.a().record.message_count(), f.closes ? 0u : 1u);
  }
}

}  // namespace
}  // namespace rdmatest
