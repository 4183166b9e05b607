// The server side of the handshake against a raw TCP peer that the test
// plays itself: well-formed exchanges, and truncated, oversized, wrong-magic,
// wrong-version, wrong-type and out-of-order records. Whatever the peer
// sends, the server never crashes, never leaves a queue pair behind and
// keeps serving the next client. Run with and without a shared receive
// queue (the teardown of a live queue pair differs).
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rdma/rdma_server_env.h"
#include "support/log_capture.h"
#include "support/sockets.h"
#include "tarn/event/event_worker.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/worker_colony.h"

namespace tarn {
namespace {

using rdmatest::Bytes;
using rdmatest::LiveQps;
using rdmatest::RawRecord;
using testsupport::WaitFor;

class RawPeerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    acceptor_.reset(new testsupport::WorkerOnThread("raw-acceptor"));
    server_.reset(new RdmaServer(acceptor_->worker(), SockAddress("127.0.0.1", 0, false),
                                 "raw-rdma", rdmatest::ColonyOption(GetParam()), nullptr));
    server_raw_ = server_.get();
    server_->set_worker_num(0);  // taken as one worker of its own
    server_->set_connection_success_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(events_.mutex);
      events_.established.push_back(conn);
    });
    // As the RPC server does: a closed connection leaves the map.
    server_->set_connection_closed_cb([this](const std::shared_ptr<Connection>& conn) {
      {
        std::lock_guard<std::mutex> lock(events_.mutex);
        events_.closed.push_back(conn);
      }
      server_raw_->RemoveConnection(conn);  // also while it is being destroyed
    });
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->listen_addr().ToPort();
    ASSERT_NE(port_, 0);
  }

  void TearDown() override {
    server_.reset();
    acceptor_.reset();
    {
      std::lock_guard<std::mutex> lock(events_.mutex);
      events_.established.clear();
      events_.closed.clear();
    }
    EXPECT_EQ(LiveQps(), 0);
  }

  int Connect() {
    int fd = testsupport::RawConnect(port_);
    EXPECT_GE(fd, 0);
    return fd;
  }

  // A well-formed request; the reply the server sends back.
  bool Request(int fd, RdmaHandshakeRecord* reply, uint32_t qp_num = 0x123456) {
    if (!testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest, qp_num)))) {
      return false;
    }
    std::string bytes;
    if (!testsupport::RecvExact(fd, kHandshakeRecordSize, &bytes)) return false;
    std::memcpy(reply, bytes.data(), sizeof(*reply));
    return true;
  }

  // A whole exchange on a fresh connection ends with an established
  // connection on the server and the TCP connection closed by it.
  void ExpectServing() {
    size_t before = events_.established_count();
    int fd = Connect();
    RdmaHandshakeRecord reply;
    ASSERT_TRUE(Request(fd, &reply));
    EXPECT_EQ(+reply.type, RdmaHandshakeRecord::kReply);
    ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kReady))));
    EXPECT_TRUE(testsupport::PeerCloses(fd));
    EXPECT_TRUE(WaitFor([&] { return events_.established_count() == before + 1; }));
    close(fd);
  }

  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<RdmaServer> server_;
  RdmaServer* server_raw_ = nullptr;
  rdmatest::Events events_;
  uint16_t port_ = 0;
};

TEST_P(RawPeerTest, ReplyCarriesOurQueuePairAndEchoesThePeers) {
  int fd = Connect();
  RdmaHandshakeRecord reply;
  ASSERT_TRUE(Request(fd, &reply));
  const RdmaHandshakeRecord request = RawRecord(RdmaHandshakeRecord::kRequest);
  EXPECT_EQ(+reply.type, RdmaHandshakeRecord::kReply);
  EXPECT_EQ(+reply.version, 0);
  EXPECT_EQ(+reply.magic, RdmaHandshakeRecord::kMagic);
  EXPECT_EQ(+reply.constant, 1u);
  EXPECT_NE(+reply.qp_num, 0u);
  EXPECT_EQ(std::memcmp(reply.gid, request.gid, sizeof(reply.gid)), 0);  // the loopback GID
  EXPECT_EQ(+reply.max_recv_size, rdmatest::kRecvSize);
  EXPECT_EQ(+reply.peer_lid, +request.lid);
  EXPECT_EQ(+reply.peer_qp_num, +request.qp_num);
  EXPECT_EQ(std::memcmp(reply.peer_gid, request.gid, sizeof(reply.gid)), 0);
  EXPECT_EQ(events_.established_count(), 0u);  // not before the ready record

  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kReady))));
  EXPECT_TRUE(testsupport::PeerCloses(fd));
  ASSERT_TRUE(WaitFor([&] { return events_.established_count() == 1; }));
  std::shared_ptr<Connection> conn = events_.last_established();
  EXPECT_EQ(conn->name(), "rdma-conn");
  EXPECT_EQ(conn->transport(), kRdma);
  EXPECT_EQ(conn->state(), kConnected);
  EXPECT_EQ(conn->peer_addr().ToIpString(), "127.0.0.1");
  EXPECT_EQ(conn->max_send_size(), rdmatest::kRecvSize);
  close(fd);

  // Request and ready in one write: both are taken from the one read.
  fd = Connect();
  std::string both = Bytes(RawRecord(RdmaHandshakeRecord::kRequest, 0x222)) +
                     Bytes(RawRecord(RdmaHandshakeRecord::kReady, 0x222));
  ASSERT_TRUE(testsupport::SendAll(fd, both));
  std::string bytes;
  ASSERT_TRUE(testsupport::RecvExact(fd, kHandshakeRecordSize, &bytes));
  EXPECT_TRUE(testsupport::PeerCloses(fd));
  EXPECT_TRUE(WaitFor([&] { return events_.established_count() == 2; }));
  close(fd);
}

struct BadPeer {
  const char* name;
  std::string bytes;
  bool peer_closes_first;  // the peer hangs up instead of waiting
  const char* log;         // what the server says about it
};

std::string WithMagic(uint32_t magic) {
  RdmaHandshakeRecord record = RawRecord(RdmaHandshakeRecord::kRequest);
  record.magic = magic;
  return Bytes(record);
}

TEST_P(RawPeerTest, BadRecordsEndTheirConnectionAndNothingElse) {
  const BadPeer cases[] = {
      {"truncated request", Bytes(RawRecord(RdmaHandshakeRecord::kRequest)).substr(0, 30), true,
       "cannot find dirty connection, conn_id: -1"},
      {"wrong version, rejected on 3 bytes", std::string("\x01\x01\x01", 3), false,
       "unknown handshake message, version: 1"},
      {"wrong magic", WithMagic(0xdeadbeef), false, "magic invalid, 3735928559"},
      {"unknown type", Bytes(RawRecord(5)), false, "unexpected handshake message, type: 5"},
      {"ready before request", Bytes(RawRecord(RdmaHandshakeRecord::kReady)), false,
       "unexpected handshake message, type: 2"},
      {"oversized stream", std::string(65536, 'G'), false, "unknown handshake message"},
  };
  for (const BadPeer& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture logs;
    int fd = Connect();
    // The accepted connection gets its queue pair before any byte arrives.
    ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));
    // The server may hang up before the last of a long stream is sent.
    testsupport::SendAll(fd, c.bytes);
    if (c.peer_closes_first) {
      close(fd);
      EXPECT_TRUE(logs.WaitForText("clean up dirty connection, qp_num: "));
    } else {
      EXPECT_TRUE(testsupport::PeerCloses(fd));
      close(fd);
    }
    EXPECT_TRUE(logs.WaitForText(c.log));
    EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
    EXPECT_EQ(events_.established_count(), 0u);
  }
  ExpectServing();
}

// A second request, or a hang-up, after the reply: the RDMA connection that
// owns the queue pair is closed and tears the queue pair down itself; the
// clean-up never destroys it under the live connection.
TEST_P(RawPeerTest, AbortAfterTheReplyClosesTheLiveConnection) {
  for (bool hang_up : {false, true}) {
    SCOPED_TRACE(hang_up ? "hang-up after the reply" : "duplicate request");
    testsupport::LogCapture logs;
    size_t closed_before = events_.closed_count();
    int fd = Connect();
    RdmaHandshakeRecord reply;
    ASSERT_TRUE(Request(fd, &reply));
    if (hang_up) {
      close(fd);
    } else {
      ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
      EXPECT_TRUE(testsupport::PeerCloses(fd));
      close(fd);
      EXPECT_TRUE(logs.WaitForText("unexpected handshake message, type: 1"));
    }
    EXPECT_TRUE(logs.WaitForText("abort connection, server name: raw-rdma"));
    ASSERT_TRUE(WaitFor([&] { return events_.closed_count() == closed_before + 1; }));
    EXPECT_EQ(events_.last_closed()->state(), kDisconnected);
    EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  }
  EXPECT_EQ(events_.established_count(), 0u);
  ExpectServing();
}

TEST_P(RawPeerTest, StopAbortsHandshakesInProgressAndClosesConnections) {
  ExpectServing();
  int fd = Connect();
  ASSERT_TRUE(WaitFor([] { return LiveQps() == 2; }));  // established + accepted
  EXPECT_EQ(server_->Stop(), 0);
  EXPECT_TRUE(testsupport::PeerCloses(fd));
  close(fd);
  EXPECT_TRUE(WaitFor([&] { return events_.closed_count() == 1; }));
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  EXPECT_FALSE(server_->started());
}

// Peers that connect and then send nothing, part of a record, or only the
// request: each is closed at the server's handshake deadline and its queue
// pair destroyed; the server goes on serving.
TEST_P(RawPeerTest, StalledHandshakesAreClosedAtTheDeadline) {
  server_->set_handshake_deadline_for_test(2.0);
  testsupport::LogCapture logs;
  const std::string request = Bytes(RawRecord(RdmaHandshakeRecord::kRequest, 0x333));
  const std::string stalls[] = {std::string(), request.substr(0, 2), request.substr(0, 30)};
  std::vector<int> fds;
  for (const std::string& bytes : stalls) {
    fds.push_back(Connect());
    if (!bytes.empty()) {
      ASSERT_TRUE(testsupport::SendAll(fds.back(), bytes));
    }
  }
  // One that got its reply and never sent the ready record.
  fds.push_back(Connect());
  RdmaHandshakeRecord reply;
  ASSERT_TRUE(Request(fds.back(), &reply, 0x444));
  for (int fd : fds) {
    EXPECT_TRUE(testsupport::PeerCloses(fd));
    close(fd);
  }
  EXPECT_TRUE(logs.WaitForText("rdma handshake not completed in time"));
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  EXPECT_TRUE(WaitFor([&] { return server_->pending_handshakes() == 0; }));
  EXPECT_EQ(events_.established_count(), 0u);
  server_->set_handshake_deadline_for_test(kHandshakeDeadlineSeconds);
  ExpectServing();
}

// Beyond the handshakes a server runs at once, a connection is closed at
// accept, before any queue pair is made; once one ends, the next is served.
TEST_P(RawPeerTest, HandshakesBeyondTheLimitAreRefusedAtAccept) {
  server_->set_max_pending_handshakes_for_test(2);
  testsupport::LogCapture logs;
  int silent[2] = {Connect(), Connect()};
  ASSERT_TRUE(WaitFor([] { return LiveQps() == 2; }));
  int refused = Connect();
  EXPECT_TRUE(testsupport::PeerCloses(refused));
  close(refused);
  EXPECT_TRUE(logs.WaitForText("refused so far: 1"));
  EXPECT_EQ(LiveQps(), 2);
  close(silent[0]);
  EXPECT_TRUE(WaitFor([&] { return server_->pending_handshakes() == 1; }));
  ExpectServing();
  close(silent[1]);
  EXPECT_TRUE(WaitFor([&] { return server_->pending_handshakes() == 0; }));
}

// The places are taken exactly, however many threads ask at once (the
// handshakes of a server with more than one accepting loop): never more
// than the limit, and every refusal leaves the count as it was.
TEST_P(RawPeerTest, HandshakePlacesAreExactUnderConcurrency) {
  constexpr int kLimit = 37;
  constexpr int kThreads = 8;
  constexpr int kTries = 200;
  server_->set_max_pending_handshakes_for_test(kLimit);
  std::atomic<int> taken{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kTries; ++i) {
        if (server_->TryStartHandshake()) taken.fetch_add(1);
      }
    });
  }
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), kLimit);
  EXPECT_EQ(server_->pending_handshakes(), kLimit);
  for (int i = 0; i < kLimit; ++i) server_->HandshakeEnded();
  EXPECT_EQ(server_->pending_handshakes(), 0);
  server_->set_max_pending_handshakes_for_test(kMaxPendingHandshakes);
  ExpectServing();
}

// The worker drops its device while a handshake's queue pair belongs to no
// connection yet: the queue pair goes with the device, and so do the
// completion queues and the shared receive queue it used. When the peer
// goes on, its handshake is refused even though the worker has opened a
// device again (a new context, whatever its address).
TEST_P(RawPeerTest, HandshakeQueuePairsGoWithTheDevice) {
  testsupport::LogCapture logs;
  int fd = Connect();
  ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));
  auto* worker = static_cast<PollingWorker*>(server_->worker_colony()->GetWorker(0u));
  ASSERT_TRUE(testsupport::RunSync(worker, [worker] { worker->ClearRdma(); }));
  verbs_emu::Counters counters = verbs_emu::GetCounters();
  EXPECT_EQ(counters.qps, 0);
  EXPECT_EQ(counters.cqs, 0);
  EXPECT_EQ(counters.srqs, 0);
  bool reopened = false;
  ASSERT_TRUE(testsupport::RunSync(worker, [&] { reopened = worker->InitRdma(); }));
  ASSERT_TRUE(reopened);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
  EXPECT_TRUE(testsupport::PeerCloses(fd));
  close(fd);
  EXPECT_TRUE(logs.WaitForText("device context of qp gone during handshake"));
  EXPECT_EQ(testsupport::WaitForCount(LiveQps, 0), 0);
  ExpectServing();
}

// A server starts once: once a Stop() has run, before or after a Start(),
// a Start() fails with a line that says so, and the server takes no
// handshake (its gate is shut for good).
TEST_P(RawPeerTest, AStartAfterAStopFails) {
  const struct {
    const char* name;
    bool started_before;
  } cases[] = {{"StartedThenStopped", true}, {"StoppedBeforeItStarted", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture logs;
    std::unique_ptr<RdmaServer> server(
        new RdmaServer(acceptor_->worker(), SockAddress("127.0.0.1", 0, false), "once-rdma",
                       rdmatest::ColonyOption(GetParam()), nullptr));
    server->set_worker_num(0);
    if (c.started_before) {
      ASSERT_EQ(server->Start(), 0);
    }
    server->Stop();
    // The stop runs on the acceptor's loop.
    ASSERT_TRUE(WaitFor([&] { return server->handshake_gate()->closed() && !server->started(); }));
    EXPECT_EQ(server->Start(), -1);
    EXPECT_NE(logs.LineWith("a server starts once"), "") << logs.text();
    EXPECT_FALSE(server->started());
    server.reset();
  }
  ExpectServing();
}

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, RawPeerTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "OwnReceives";
                         });

}  // namespace
}  // namespace tarn
