// An RDMA server destroyed on a polling worker of the (outside) colony it
// serves, while a client's handshake waits for that very worker: from a
// task, and from another server's completion callback on the same worker.
// The destructor returns (no thread waits on another for ever), the
// waiting client sees its TCP connection close, and no queue pair is left
// behind. Run with and without a shared receive queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>

#include "rdma/rdma_server_env.h"
#include "support/sockets.h"
#include "tarn/event/event_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/polling/rdma_handle.h"

namespace tarn {
namespace {

using rdmatest::Bytes;
using rdmatest::LiveQps;
using rdmatest::RawRecord;
using testsupport::RunSync;
using testsupport::WaitFor;

// Where the client's handshake is when the server goes: accepted (the
// handshake thread waits to make its queue pair), or its request sent (it
// waits to bring the queue pair up).
enum class Stage { kAccepted, kRequestSent };

struct Case {
  const char* name;
  Stage stage;
};

// By name: gtest's default prints the bytes (a pointer and padding), and the
// discovered test names would change from one build to the next.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class DestroyOnWorkerTest : public ::testing::TestWithParam<std::tuple<Case, bool>> {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    acceptor_.reset(new testsupport::WorkerOnThread("destroy-acceptor"));
    // One worker: the server's handshakes and the destroying thread meet.
    colony_.reset(new PollingWorkerColony(1, rdmatest::ColonyOption(srq()), nullptr));
    colony_->Start();
    worker_ = static_cast<PollingWorker*>(colony_->GetWorker(0u));
  }
  void TearDown() override {
    client_.reset();
    EXPECT_TRUE(WaitFor([] { return RdmaClientHelper::Instance().JobCount() == 0; }));
    victim_.reset();
    other_.reset();
    colony_->Stop();
    colony_.reset();
    acceptor_.reset();
    EXPECT_EQ(LiveQps(), 0);
  }

  bool srq() const { return std::get<1>(GetParam()); }
  Stage stage() const { return std::get<0>(GetParam()).stage; }

  std::unique_ptr<RdmaServer> NewServer(const char* name) {
    std::unique_ptr<RdmaServer> server(new RdmaServer(acceptor_->worker(),
                                                      SockAddress("127.0.0.1", 0, false), name,
                                                      WorkerOption(), colony_.get()));
    EXPECT_EQ(server->Start(), 0);
    return server;
  }

  // A raw client of the victim, its handshake brought to stage() with the
  // worker still free; returns its socket.
  int StartHandshake() {
    const int fd = testsupport::RawConnect(victim_->listen_addr().ToPort());
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(WaitFor([this] { return victim_->pending_handshakes() == 1; }));
    return fd;
  }

  // On the worker: the handshake is made to wait for it, then the victim
  // goes. Returns how long the destructor took.
  double DestroyWhileHandshakeWaits(int fd) {
    if (stage() == Stage::kAccepted) {
      // The accept was seen; the handshake thread is on its way to the
      // worker (which is busy here).
    } else {
      EXPECT_TRUE(testsupport::SendAll(fd, Bytes(RawRecord(RdmaHandshakeRecord::kRequest))));
    }
    // Long enough for the handshake thread to get to its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    victim_.reset();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<PollingWorkerColony> colony_;
  PollingWorker* worker_ = nullptr;
  std::unique_ptr<RdmaServer> victim_;
  std::unique_ptr<RdmaServer> other_;
  std::unique_ptr<RdmaClient> client_;
};

TEST_P(DestroyOnWorkerTest, FromATaskWhileAHandshakeWaits) {
  victim_ = NewServer("victim");
  int fd = -1;
  if (stage() == Stage::kRequestSent) {
    fd = StartHandshake();
    ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));  // its queue pair exists
  }
  double took = -1;
  ASSERT_TRUE(RunSync(worker_, [&] {
    if (fd < 0) {
      fd = StartHandshake();
    }
    took = DestroyWhileHandshakeWaits(fd);
  }));
  EXPECT_GE(took, 0);
  // The client's handshake fails cleanly: its TCP connection closes.
  EXPECT_TRUE(testsupport::PeerCloses(fd, 10.0));
  close(fd);
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  if (!srq()) {
    // Receives posted on the handshake's queue pair went back with it.
    EXPECT_TRUE(WaitFor([this] {
      size_t posted = 1;
      RunSync(worker_, [&] { posted = worker_->rdma_handle()->posted_buffers().size(); });
      return posted == 0;
    }));
  }
}

// Two servers on one worker: the victim is destroyed from a message
// callback of the other server's connection (a completion being handled).
TEST_P(DestroyOnWorkerTest, FromAnotherServersCallbackWhileAHandshakeWaits) {
  victim_ = NewServer("victim");
  other_ = NewServer("other");
  int fd = -1;
  if (stage() == Stage::kRequestSent) {
    fd = StartHandshake();
    ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));
  }
  std::atomic<bool> destroyed{false};
  other_->set_message_read_cb([&](const std::shared_ptr<Connection>& conn) {
    rdmatest::TakeMessage(conn);
    if (victim_ == nullptr) return;
    if (fd < 0) fd = StartHandshake();
    DestroyWhileHandshakeWaits(fd);
    destroyed.store(true);
  });
  client_.reset(new RdmaClient(worker_, other_->listen_addr(), "destroy-client"));
  std::shared_ptr<Connection> conn;
  ASSERT_TRUE(RunSync(worker_, [&] {
    ASSERT_EQ(client_->Connect(), 0);
    conn = client_->conn();
  }));
  ASSERT_NE(conn, nullptr);
  ASSERT_TRUE(WaitFor([&] {
    int state = 0;
    RunSync(worker_, [&] { state = conn->state(); });
    return state == kConnected;
  }));
  ASSERT_TRUE(RunSync(worker_, [&] { rdmatest::SendText(conn, "go", nullptr); }));
  ASSERT_TRUE(WaitFor([&] { return destroyed.load(); }));
  EXPECT_TRUE(testsupport::PeerCloses(fd, 10.0));
  close(fd);
  // The other server still serves.
  std::atomic<int> result{1};
  ASSERT_TRUE(RunSync(worker_, [&] { rdmatest::SendText(conn, "again", &result); }));
  EXPECT_TRUE(WaitFor([&] { return result.load() == 0; }));
  ASSERT_TRUE(RunSync(worker_, [&] { client_->DisConnect(); }));
}

// While the victim goes on the worker, a real client's handshake with the
// other server of that worker waits for the worker too: it is only held up,
// not given up, and the client connects, is served, and connects again.
TEST_P(DestroyOnWorkerTest, AnotherServersHandshakeMeanwhileCompletes) {
  victim_ = NewServer("victim");
  other_ = NewServer("other");
  std::atomic<int> messages{0};
  other_->set_message_read_cb([&](const std::shared_ptr<Connection>& conn) {
    rdmatest::TakeMessage(conn);
    messages.fetch_add(1);
  });
  client_.reset(new RdmaClient(worker_, other_->listen_addr(), "meanwhile-client"));
  int fd = -1;
  if (stage() == Stage::kRequestSent) {
    fd = StartHandshake();
    ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));
  }
  ASSERT_TRUE(RunSync(worker_, [&] {
    if (fd < 0) fd = StartHandshake();
    ASSERT_EQ(client_->Connect(), 0);
    DestroyWhileHandshakeWaits(fd);
  }));
  EXPECT_TRUE(testsupport::PeerCloses(fd, 10.0));
  close(fd);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::shared_ptr<Connection> conn;
    ASSERT_TRUE(WaitFor([&] {
      int state = 0;
      RunSync(worker_, [&] {
        conn = client_->conn();
        state = conn != nullptr ? conn->state() : 0;
      });
      return state == kConnected;
    }));
    std::atomic<int> result{1};
    ASSERT_TRUE(RunSync(worker_, [&] { rdmatest::SendText(conn, "meanwhile", &result); }));
    EXPECT_TRUE(WaitFor([&] { return result.load() == 0 && messages.load() == round + 1; }));
    ASSERT_TRUE(RunSync(worker_, [&] {
      client_->DisConnect();
      ASSERT_EQ(client_->Connect(), 0);
    }));
  }
  ASSERT_TRUE(RunSync(worker_, [&] { client_->DisConnect(); }));
}

// The device refuses to destroy the given-up handshake's queue pair once:
// it still goes (at a later try), and with it the receives it had posted.
TEST_P(DestroyOnWorkerTest, AGivenUpHandshakesQueuePairGoesThoughItsDestroyIsRefused) {
  if (stage() != Stage::kRequestSent) GTEST_SKIP() << "no queue pair before the request";
  victim_ = NewServer("victim");
  const int fd = StartHandshake();
  ASSERT_TRUE(WaitFor([] { return LiveQps() == 1; }));
  ASSERT_TRUE(RunSync(worker_, [&] {
    ASSERT_TRUE(verbs_emu::FailNextCall("ibv_destroy_qp", EBUSY, 1));
    DestroyWhileHandshakeWaits(fd);
  }));
  EXPECT_TRUE(testsupport::PeerCloses(fd, 10.0));
  close(fd);
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }, 10.0));
  if (srq()) return;
  EXPECT_TRUE(WaitFor(
      [this] {
        size_t posted = 1;
        RunSync(worker_, [&] { posted = worker_->rdma_handle()->posted_buffers().size(); });
        return posted == 0;
      },
      10.0));
}

INSTANTIATE_TEST_SUITE_P(Stages, DestroyOnWorkerTest,
                         ::testing::Combine(::testing::Values(Case{"Accepted", Stage::kAccepted},
                                                              Case{"RequestSent",
                                                                   Stage::kRequestSent}),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Case, bool>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Srq" : "QpRecv");
                         });

}  // namespace
}  // namespace tarn
