// What the server's handshake asks of a polling worker whose loop goes
// with the request still queued (the loop drops it unrun): the call fails
// and nothing was made, the worker is asked nothing more, and the client
// sees its TCP connection closed, with no reply, rather than a reply for a
// connection that does not exist. Beside it, the same handshake on a
// worker that keeps running completes. The worker is turned by hand on a
// thread of its own, so that the test decides when its loop stops running
// and when it goes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "rdma/rdma_server_env.h"
#include "support/sockets.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/worker_colony.h"

namespace tarn {
namespace {

using rdmatest::Bytes;
using rdmatest::LiveQps;
using rdmatest::RawRecord;
using testsupport::WaitFor;

// A polling worker made and initialised on a thread of its own, whose loop
// only turns while told to: passes until `halt_when` (asked on that thread
// after each pass) holds, then none. Destroy() deletes it there, with
// whatever is still queued.
class HandTurnedWorker {
 public:
  explicit HandTurnedWorker(const WorkerOption& option) : option_(option) {
    thread_ = std::thread([this] { Body(); });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ready_; });
  }
  ~HandTurnedWorker() { Destroy(); }

  // Null when it could not be initialised.
  PollingWorker* worker() const { return worker_; }

  void TurnUntil(std::function<bool()> halt_when) {
    std::lock_guard<std::mutex> lock(mutex_);
    halt_when_ = std::move(halt_when);
    mode_ = kTurning;
    changed_.notify_all();
  }
  void TurnForEver() {
    TurnUntil([] { return false; });
  }
  bool WaitHalted() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return mode_ == kHalted; });
  }
  void Destroy() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      mode_ = kDestroy;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  enum Mode { kHalted, kTurning, kDestroy };

  void Body() {
    auto* worker = new PollingWorker(0, nullptr, option_);
    const bool ok = worker->Init() == 0;
    if (ok) worker->InitDone();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      worker_ = ok ? worker : nullptr;
      ready_ = true;
      changed_.notify_all();
    }
    for (;;) {
      std::function<bool()> halt_when;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return mode_ != kHalted; });
        if (mode_ == kDestroy) break;
        halt_when = halt_when_;
      }
      worker->Poll();
      if (halt_when()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mode_ == kTurning) mode_ = kHalted;
        changed_.notify_all();
      }
    }
    delete worker;  // its loop goes with what is still queued
  }

  const WorkerOption option_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ready_ = false;
  Mode mode_ = kHalted;
  std::function<bool()> halt_when_;
  PollingWorker* worker_ = nullptr;
};

// A started colony of that one worker, which it does not own.
class ColonyOfOne : public WorkerColony {
 public:
  ColonyOfOne(const WorkerOption& option, Worker* worker) : WorkerColony(1, option) {
    workers_.push_back(worker);
    state_.store(kStarted);
  }
  ~ColonyOfOne() override {
    workers_.clear();
    state_.store(kStopped);
  }
};

// What arrives on fd until the peer ends the stream (or 30 s pass).
std::string ReadUntilClosed(int fd, bool* closed) {
  std::string got;
  *closed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *closed = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(HandshakeGateTest, ACallTheLoopDropsUnrunFails) {
  auto gate = std::make_shared<HandshakeGate>();
  // Turning: the call runs.
  {
    HandTurnedWorker turning{WorkerOption()};
    ASSERT_NE(turning.worker(), nullptr);
    turning.TurnForEver();
    bool ran = false;
    EXPECT_TRUE(gate->Run(turning.worker(), [&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(gate->gone(turning.worker()));
  }
  // Never turned, then destroyed with the call queued: it fails unrun.
  HandTurnedWorker still{WorkerOption()};
  PollingWorker* worker = still.worker();
  ASSERT_NE(worker, nullptr);
  std::atomic<bool> ran{false};
  std::atomic<int> result{-1};
  std::thread caller([&] { result = gate->Run(worker, [&] { ran = true; }) ? 1 : 0; });
  ASSERT_TRUE(WaitFor([&] { return gate->queued() == 1; }));
  still.Destroy();
  caller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(gate->queued(), 0u);
  // Gone: a later call fails without reaching for it (it no longer exists).
  EXPECT_TRUE(gate->gone(worker));
  EXPECT_FALSE(gate->Run(worker, [&] { ran = true; }));
  EXPECT_FALSE(ran.load());
}

// A watched worker destroyed between two calls, with nothing queued: the
// gate knows it has gone from the moment its destruction began, and the
// next call (waiting or not) fails without reaching for it (under
// AddressSanitizer a touch of the freed worker fails the test).
TEST(HandshakeGateTest, AWatchedWorkerDestroyedBetweenTwoCallsIsNotReachedByTheNext) {
  auto gate = std::make_shared<HandshakeGate>();
  HandTurnedWorker hand{WorkerOption()};
  PollingWorker* worker = hand.worker();
  ASSERT_NE(worker, nullptr);
  gate->WatchWorker(worker);
  hand.TurnForEver();
  int ran = 0;
  EXPECT_TRUE(gate->Run(worker, [&] { ++ran; }));
  EXPECT_TRUE(gate->WithWorker(worker, [&] { ++ran; }));
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(gate->gone(worker));
  hand.Destroy();
  EXPECT_TRUE(gate->gone(worker));
  EXPECT_FALSE(gate->Run(worker, [&] { ++ran; }));
  EXPECT_FALSE(gate->WithWorker(worker, [&] { ++ran; }));
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(gate->queued(), 0u);
}

class HandshakeOnGoingWorkerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    hand_.reset(new HandTurnedWorker(rdmatest::ColonyOption(GetParam())));
    ASSERT_NE(hand_->worker(), nullptr);
    colony_.reset(new ColonyOfOne(rdmatest::ColonyOption(GetParam()), hand_->worker()));
    acceptor_.reset(new testsupport::WorkerOnThread("gate-acceptor"));
    server_.reset(new RdmaServer(acceptor_->worker(), SockAddress("127.0.0.1", 0, false),
                                 "gate-rdma", rdmatest::ColonyOption(GetParam()), colony_.get()));
    RdmaServer* server = server_.get();
    server_->set_connection_success_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(events_.mutex);
      events_.established.push_back(conn);
    });
    server_->set_connection_closed_cb(
        [server](const std::shared_ptr<Connection>& conn) { server->RemoveConnection(conn); });
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->listen_addr().ToPort();
  }

  void TearDown() override {
    server_.reset();
    acceptor_.reset();
    colony_.reset();
    hand_.reset();
    {
      std::lock_guard<std::mutex> lock(events_.mutex);
      events_.established.clear();
    }
    EXPECT_EQ(LiveQps(), 0);
    verbs_emu::ResetFabric();
  }

  size_t ConnectionCount() {
    size_t n = 0;
    acceptor_->RunSync([&] { n = server_->connection_count(); });
    return n;
  }

  std::unique_ptr<HandTurnedWorker> hand_;
  std::unique_ptr<ColonyOfOne> colony_;
  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<RdmaServer> server_;
  rdmatest::Events events_;
  uint16_t port_ = 0;
};

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, HandshakeOnGoingWorkerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "QpRecv";
                         });

// The worker keeps running: reply, ready, an established connection.
TEST_P(HandshakeOnGoingWorkerTest, ARunningWorkerCompletesTheHandshake) {
  hand_->TurnForEver();
  const int fd = testsupport::RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
  std::string reply;
  ASSERT_TRUE(testsupport::RecvExact(fd, kHandshakeRecordSize, &reply));
  EXPECT_EQ(static_cast<uint8_t>(reply[0]), RdmaHandshakeRecord::kReply);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kReady))));
  EXPECT_TRUE(testsupport::PeerCloses(fd));
  EXPECT_TRUE(WaitFor([&] { return events_.established_count() == 1; }));
  EXPECT_EQ(ConnectionCount(), 1u);
  close(fd);
}

// The request has brought the queue pair up; the worker's loop then stops
// turning and goes with the creation of the connection still queued. The
// handshake fails: no reply, the TCP connection closed, nothing in the
// server's map, no handshake left pending, and the queue pair destroyed
// with its worker.
TEST_P(HandshakeOnGoingWorkerTest, AWorkerGoingWithTheCreationQueuedClosesTheHandshake) {
  PollingWorker* worker = hand_->worker();
  // The queue pair reached RTS in the pass that cached its GID.
  hand_->TurnUntil([worker] { return worker->has_cached_gid(); });
  const int fd = testsupport::RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
  ASSERT_TRUE(hand_->WaitHalted());
  HandshakeGate* gate = server_->handshake_gate();
  ASSERT_TRUE(WaitFor([gate] { return gate->queued() == 1; }));
  hand_->Destroy();
  bool closed = false;
  const std::string got = ReadUntilClosed(fd, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(got.size(), 0u) << "a reply for a connection that was never made";
  EXPECT_TRUE(WaitFor([this] { return server_->pending_handshakes() == 0; }));
  EXPECT_TRUE(gate->gone(worker));
  EXPECT_EQ(gate->queued(), 0u);
  EXPECT_EQ(ConnectionCount(), 0u);
  EXPECT_EQ(events_.established_count(), 0u);
  EXPECT_EQ(LiveQps(), 0);
  close(fd);
}


// The worker goes between two steps of a handshake: after the accept made
// its queue pair, before the request. The server knows at once that it has
// gone (its queue pair went with it); the request reaches for it no more,
// and the client sees its TCP connection closed without a reply.
TEST_P(HandshakeOnGoingWorkerTest, AWorkerGoneBetweenTwoStepsIsNotReachedByTheNext) {
  PollingWorker* worker = hand_->worker();
  hand_->TurnForEver();
  const int fd = testsupport::RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitFor([this] { return server_->pending_handshakes() == 1 && LiveQps() == 1; }));
  hand_->Destroy();
  HandshakeGate* gate = server_->handshake_gate();
  EXPECT_TRUE(gate->gone(worker));
  EXPECT_EQ(LiveQps(), 0);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
  bool closed = false;
  EXPECT_EQ(ReadUntilClosed(fd, &closed).size(), 0u) << "a reply from a worker that has gone";
  EXPECT_TRUE(closed);
  EXPECT_TRUE(WaitFor([this] { return server_->pending_handshakes() == 0; }));
  EXPECT_EQ(ConnectionCount(), 0u);
  EXPECT_EQ(events_.established_count(), 0u);
  close(fd);
}

// A worker that went counts as gone for the server that saw it go, and for
// no other: the server and the colony are made again (the new worker may
// well sit where the old one did), and a handshake on the new server
// completes, then one more after it.
TEST_P(HandshakeOnGoingWorkerTest, AServerMadeAgainServesAWorkerWhereTheGoneOneWas) {
  PollingWorker* worker = hand_->worker();
  hand_->TurnUntil([worker] { return worker->has_cached_gid(); });
  int fd = testsupport::RawConnect(port_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
  ASSERT_TRUE(hand_->WaitHalted());
  HandshakeGate* gate = server_->handshake_gate();
  ASSERT_TRUE(WaitFor([gate] { return gate->queued() == 1; }));
  hand_->Destroy();
  bool closed = false;
  EXPECT_EQ(ReadUntilClosed(fd, &closed).size(), 0u);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(gate->gone(worker));
  close(fd);
  TearDown();
  SetUp();
  EXPECT_FALSE(server_->handshake_gate()->gone(hand_->worker()));
  hand_->TurnForEver();
  for (size_t round = 1; round <= 2; ++round) {
    SCOPED_TRACE("handshake " + std::to_string(round));
    fd = testsupport::RawConnect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
    std::string reply;
    ASSERT_TRUE(testsupport::RecvExact(fd, kHandshakeRecordSize, &reply));
    EXPECT_EQ(static_cast<uint8_t>(reply[0]), RdmaHandshakeRecord::kReply);
    ASSERT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kReady))));
    EXPECT_TRUE(testsupport::PeerCloses(fd));
    EXPECT_TRUE(WaitFor([&] { return events_.established_count() == round; }));
    EXPECT_EQ(ConnectionCount(), round);
    close(fd);
  }
}

}  // namespace
}  // namespace tarn
