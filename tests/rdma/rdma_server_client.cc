// RDMA clients against an RDMA server over the emulated device, end to end:
// the handshake on the negotiation thread and the inner TCP server, messages
// both ways through SendSgeZeroCopy and the message-read callbacks, sends
// held until the connection is established, reconnection with rising ids,
// an attempt dropped before its queue pair is ready, the blacklist, a
// server that is not there or never answers, and a client colony destroyed
// mid-handshake. Run with and without a shared receive queue.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rdma/rdma_server_env.h"
#include "support/log_capture.h"
#include "support/ports.h"
#include "support/sockets.h"
#include "tarn/event/event_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/rdma_client.h"
#include "tarn/polling/rdma_connection.h"

namespace tarn {
namespace {

using rdmatest::Events;
using rdmatest::LiveQps;
using testsupport::RunSync;
using testsupport::WaitFor;

class DebugLogging {
 public:
  DebugLogging() : level_(plinth::Logger::logLevel()) {
    plinth::Logger::setLogLevel(plinth::Logger::DEBUG);
  }
  ~DebugLogging() { plinth::Logger::setLogLevel(level_); }

 private:
  plinth::Logger::kLogLevel level_;
};

class ClientServerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    verbs_emu::ResetFabric();
    acceptor_.reset(new testsupport::WorkerOnThread("e2e-acceptor"));
    colony_.reset(new PollingWorkerColony(rdmatest::PollingWorkers(2),
                                          rdmatest::ColonyOption(GetParam()), nullptr));
    colony_->Start();
    server_.reset(new RdmaServer(acceptor_->worker(), SockAddress("127.0.0.1", 0, false),
                                 "e2e-rdma", WorkerOption(), colony_.get()));
    server_raw_ = server_.get();
    server_->set_connection_success_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(server_events_.mutex);
      server_events_.established.push_back(conn);
    });
    server_->set_connection_closed_cb([this](const std::shared_ptr<Connection>& conn) {
      {
        std::lock_guard<std::mutex> lock(server_events_.mutex);
        server_events_.closed.push_back(conn);
      }
      server_raw_->RemoveConnection(conn);  // also while it is being destroyed
    });
    // An echo server.
    server_->set_message_read_cb([this](const std::shared_ptr<Connection>& conn) {
      std::string text = rdmatest::TakeMessage(conn);
      {
        std::lock_guard<std::mutex> lock(server_events_.mutex);
        server_events_.messages.push_back(text);
      }
      rdmatest::SendText(conn, "echo:" + text, nullptr);
    });
    ASSERT_EQ(server_->Start(), 0);
    port_ = server_->listen_addr().ToPort();
    client_worker_ =
        static_cast<PollingWorker*>(colony_->GetWorker(colony_->worker_num() - 1));
  }

  void TearDown() override {
    clients_.clear();
    EXPECT_TRUE(WaitFor([] { return RdmaClientHelper::Instance().JobCount() == 0; }));
    server_.reset();
    colony_->Stop();
    colony_.reset();
    acceptor_.reset();
    EXPECT_EQ(LiveQps(), 0);
  }

  RdmaClient* NewClient(uint16_t port) {
    clients_.emplace_back(
        new RdmaClient(client_worker_, SockAddress("127.0.0.1", port, false), "e2e-client"));
    RdmaClient* client = clients_.back().get();
    client->set_connection_success_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(client_events_.mutex);
      client_events_.established.push_back(conn);
    });
    client->set_connection_closed_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(client_events_.mutex);
      client_events_.closed.push_back(conn);
    });
    client->set_message_read_cb([this](const std::shared_ptr<Connection>& conn) {
      std::string text = rdmatest::TakeMessage(conn);
      std::lock_guard<std::mutex> lock(client_events_.mutex);
      client_events_.messages.push_back(text);
    });
    return client;
  }

  // The client's current connection, read on its worker.
  std::shared_ptr<Connection> ConnOf(RdmaClient* client) {
    std::shared_ptr<Connection> conn;
    RunSync(client_worker_, [&] { conn = client->conn(); });
    return conn;
  }

  std::unique_ptr<testsupport::WorkerOnThread> acceptor_;
  std::unique_ptr<PollingWorkerColony> colony_;
  std::unique_ptr<RdmaServer> server_;
  RdmaServer* server_raw_ = nullptr;
  PollingWorker* client_worker_ = nullptr;
  std::vector<std::unique_ptr<RdmaClient>> clients_;
  Events server_events_;
  Events client_events_;
  uint16_t port_ = 0;
};

TEST_P(ClientServerTest, MessagesBothWaysAndSendsHeldUntilEstablished) {
  RdmaClient* client = NewClient(port_);
  std::atomic<int> results[3];
  RunSync(client_worker_, [&] {
    EXPECT_EQ(client->Connect(), 0);
    std::shared_ptr<Connection> conn = client->conn();
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->state(), kConnecting);
    for (int i = 0; i < 3; ++i) {
      results[i].store(1);
      EXPECT_EQ(rdmatest::SendText(conn, "m" + std::to_string(i), &results[i]), 0);
    }
    EXPECT_EQ(client->Connect(), 0);  // holds a connection: nothing new
    EXPECT_EQ(client->conn(), conn);
  });
  ASSERT_TRUE(WaitFor([&] { return client_events_.message_count() == 3; }));
  EXPECT_EQ(server_events_.TakeMessages(), (std::vector<std::string>{"m0", "m1", "m2"}));
  EXPECT_EQ(client_events_.TakeMessages(),
            (std::vector<std::string>{"echo:m0", "echo:m1", "echo:m2"}));
  for (auto& result : results) EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(client_events_.established_count(), 1u);
  EXPECT_TRUE(WaitFor([&] { return server_events_.established_count() == 1; }));

  std::shared_ptr<Connection> conn = ConnOf(client);
  EXPECT_EQ(conn->name(), "rdma-conn-" + std::to_string(conn->id()));
  EXPECT_EQ(conn->state(), kConnected);
  EXPECT_EQ(conn->local_addr().ToIpString(), "127.0.0.1");  // the handshake's local end
  EXPECT_NE(conn->my_qp_num(), 0u);
  std::shared_ptr<Connection> accepted = server_events_.last_established();
  EXPECT_EQ(accepted->peer_qp_num(), conn->my_qp_num());
  EXPECT_EQ(accepted->my_qp_num(), conn->peer_qp_num());
}

TEST_P(ClientServerTest, ReconnectsWithRisingIds) {
  RdmaClient* client = NewClient(port_);
  client->Connect();
  ASSERT_TRUE(WaitFor([&] { return client_events_.established_count() == 1; }));
  std::shared_ptr<Connection> first = ConnOf(client);
  client->TryConnect();  // open: left alone
  EXPECT_EQ(ConnOf(client), first);

  client->DisConnect();
  EXPECT_EQ(ConnOf(client), nullptr);
  EXPECT_TRUE(first->IsClosed());
  client->Connect();
  ASSERT_TRUE(WaitFor([&] { return client_events_.established_count() == 2; }));
  std::shared_ptr<Connection> second = ConnOf(client);
  EXPECT_GT(second->id(), first->id());
  EXPECT_NE(second->my_qp_num(), first->my_qp_num());

  RunSync(client_worker_, [&] { rdmatest::SendText(second, "again", nullptr); });
  ASSERT_TRUE(WaitFor([&] { return client_events_.message_count() == 1; }));
  EXPECT_EQ(client_events_.TakeMessages()[0], "echo:again");
  EXPECT_TRUE(WaitFor([&] { return server_events_.established_count() == 2; }));
}

TEST_P(ClientServerTest, AttemptDroppedBeforeItsQueuePairIsReady) {
  testsupport::LogCapture logs;
  RdmaClient* client = NewClient(port_);
  int64_t id = -1;
  RunSync(client_worker_, [&] {
    client->Connect();
    id = client->conn()->id();
    client->DisConnect();  // before the negotiation thread has made the queue pair
  });
  EXPECT_TRUE(logs.WaitForText("previous connection has been destroyed, conn_id: " +
                               std::to_string(id) + ", job_id: "));
  EXPECT_TRUE(WaitFor([] { return RdmaClientHelper::Instance().JobCount() == 0; }));
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  EXPECT_EQ(client_events_.closed_count(), 1u);
  EXPECT_EQ(client_events_.established_count(), 0u);
  EXPECT_EQ(server_events_.established_count(), 0u);
}

TEST_P(ClientServerTest, BlacklistClosesConnectionsAndRefusesHandshakes) {
  RdmaClient* client = NewClient(port_);
  client->Connect();
  ASSERT_TRUE(WaitFor([&] { return server_events_.established_count() == 1; }));

  server_->AddBlacklist("127.0.0.1", 0);
  EXPECT_TRUE(WaitFor([&] { return server_events_.closed_count() == 1; }));

  client->DisConnect();
  client->Connect();  // refused by the inner server: the attempt closes
  ASSERT_TRUE(WaitFor([&] { return client_events_.closed_count() == 2; }));
  EXPECT_EQ(server_events_.established_count(), 1u);
  EXPECT_TRUE(ConnOf(client)->IsClosed());

  server_->RemoveBlacklist("127.0.0.1");
  // The removal is posted to the acceptor, which also accepts: let it run
  // before the next attempt arrives, or that attempt may still be refused.
  acceptor_->RunSync([] {});
  client->TryConnect();  // closed: a fresh attempt
  EXPECT_TRUE(WaitFor([&] { return client_events_.established_count() == 2; }));
  EXPECT_TRUE(WaitFor([&] { return server_events_.established_count() == 2; }));
}

// Nobody listening, and an address whose connect fails at once (inside the
// negotiation thread's own connect call): either way the attempt closes and
// its job goes away without pulling the TCP client from under itself.
TEST_P(ClientServerTest, NoServerClosesTheAttempt) {
  const SockAddress peers[] = {SockAddress("127.0.0.1", testsupport::PickFreePort(), false),
                               SockAddress("/nonexistent/rdma-handshake.sock")};
  // DEBUG lines run code of the TCP client after its connect call returns.
  DebugLogging debug;
  size_t closed = 0;
  for (const SockAddress& peer : peers) {
    SCOPED_TRACE(peer.ToString());
    clients_.emplace_back(new RdmaClient(client_worker_, peer, "e2e-client"));
    RdmaClient* client = clients_.back().get();
    client->set_connection_closed_cb([this](const std::shared_ptr<Connection>& conn) {
      std::lock_guard<std::mutex> lock(client_events_.mutex);
      client_events_.closed.push_back(conn);
    });
    client->Connect();
    ASSERT_TRUE(WaitFor([&] { return client_events_.closed_count() == closed + 1; }));
    ++closed;
    EXPECT_TRUE(ConnOf(client)->IsClosed());
    EXPECT_TRUE(WaitFor([] { return RdmaClientHelper::Instance().JobCount() == 0; }));
    EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
  }
  EXPECT_EQ(client_events_.established_count(), 0u);
}

// A server that accepts TCP (the kernel does, from the backlog) and never
// answers the handshake.
class SilentServer {
 public:
  SilentServer() : fd_(testsupport::ListenLoopback(&port_)) {}
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
  }
  SockAddress addr() const { return SockAddress("127.0.0.1", port_, false); }

 private:
  uint16_t port_ = 0;
  int fd_;
};

TEST_P(ClientServerTest, UnansweredHandshakeClosesAtItsDeadline) {
  SilentServer silent;
  RdmaClientHelper::Instance().set_handshake_deadline(0.2);
  clients_.emplace_back(new RdmaClient(client_worker_, silent.addr(), "e2e-client"));
  RdmaClient* client = clients_.back().get();
  client->set_connection_closed_cb([this](const std::shared_ptr<Connection>& conn) {
    std::lock_guard<std::mutex> lock(client_events_.mutex);
    client_events_.closed.push_back(conn);
  });
  client->Connect();
  const bool closed = WaitFor([&] { return client_events_.closed_count() == 1; });
  RdmaClientHelper::Instance().set_handshake_deadline(10.0);
  ASSERT_TRUE(closed);
  EXPECT_TRUE(ConnOf(client)->IsClosed());
  EXPECT_TRUE(WaitFor([] { return RdmaClientHelper::Instance().JobCount() == 0; }));
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
}

// The client's whole colony goes while its handshake waits for a reply: the
// job goes with it, and nothing reaches the destroyed worker later.
TEST_P(ClientServerTest, ClientColonyDestroyedMidHandshake) {
  SilentServer silent;
  auto own = std::make_unique<PollingWorkerColony>(1, rdmatest::ColonyOption(GetParam()),
                                                   nullptr);
  own->Start();
  auto* worker = static_cast<PollingWorker*>(own->GetWorker(0));
  auto client = std::make_unique<RdmaClient>(worker, silent.addr(), "doomed-client");
  client->Connect();
  // The job's TCP connection is up and its queue pair attached.
  ASSERT_TRUE(WaitFor([&] {
    bool attached = false;
    RunSync(worker, [&] {
      auto* conn = static_cast<RdmaConnection*>(client->conn().get());
      attached = conn != nullptr && conn->queue_pair() != nullptr;
    });
    return attached;
  }));
  ASSERT_EQ(RdmaClientHelper::Instance().JobCount(), 1u);
  client.reset();
  own->Stop();
  own.reset();
  EXPECT_EQ(RdmaClientHelper::Instance().JobCount(), 0u);
  EXPECT_TRUE(WaitFor([] { return LiveQps() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(SharedReceiveQueue, ClientServerTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Srq" : "OwnReceives";
                         });

}  // namespace
}  // namespace tarn
