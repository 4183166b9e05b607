// TcpClient against a real TcpServer on loopback: connecting, sending early,
// failing to connect, reconnecting after a server restart, and closing from
// other threads.
#include "tcp/tcp_fixture.h"

namespace tarn {
namespace testing_tcp {
namespace {

class ClientTest : public TcpTest {
 protected:
  void TearDown() override {
    if (client_) RunSync(client_worker_, [&] { client_.reset(); });
    server_.reset();
    TcpTest::TearDown();
  }
  void StartEcho(uint16_t port = 0) {
    server_ = MakeServer(2, port);
    server_rec_.Install(server_.get());
    server_->set_message_read_cb(EchoRead);
    ASSERT_EQ(0, server_->Start());
  }
  void MakeClient(const SockAddress& peer) {
    client_.reset(new TcpClient(client_worker_, peer, "client"));
    rec_.Install(client_.get());
  }

  std::unique_ptr<TcpServer> server_;
  std::unique_ptr<TcpClient> client_;
  Recorder server_rec_;
  Recorder rec_;
};

TEST_F(ClientTest, NewClientStartsWithDoNothingCallbacksAndNoWriteCallback) {
  TcpClient client(client_worker_, SockAddress("127.0.0.1", 1, false), "fresh");
  EXPECT_TRUE(static_cast<bool>(client.connection_success_cb()));
  EXPECT_TRUE(static_cast<bool>(client.connection_closed_cb()));
  EXPECT_TRUE(static_cast<bool>(client.message_read_cb()));
  EXPECT_FALSE(static_cast<bool>(client.message_write_cb()));
  EXPECT_EQ(nullptr, client.conn());
}

TEST_F(ClientTest, BytesSentWhileConnectingLeaveOnceEstablished) {
  StartEcho();
  MakeClient(server_->listen_addr());
  RunSync(client_worker_, [&] {
    ASSERT_EQ(0, client_->Connect());
    EXPECT_EQ(kConnecting, client_->conn()->state());
    EXPECT_EQ(0, client_->conn()->SendData("early bytes", 11));
    // Pieces queue the same way.
    iovec pieces[] = {{const_cast<char*>(", "), 2}, {const_cast<char*>("in pieces"), 9}};
    EXPECT_EQ(0, client_->conn()->SendDataV(pieces, 2));
  });
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.received == "early bytes, in pieces"; }));
  EXPECT_EQ(1, rec_.Established());
  RunSync(client_worker_, [&] {
    EXPECT_EQ(kConnected, client_->conn()->state());
    EXPECT_EQ("127.0.0.1", client_->conn()->local_addr().ToIpString());
    EXPECT_EQ(server_->listen_addr().ToString(), client_->conn()->peer_addr().ToString());
  });
}

TEST_F(ClientTest, ConnectToAClosedPortClosesWithoutEstablishing) {
  MakeClient(SockAddress("127.0.0.1", PickFreePort(), false));
  int ret = client_->Connect();
  EXPECT_TRUE(ret == 0 || ret == -1);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(0, rec_.Established());
  EXPECT_EQ(1, rec_.Closed());
  RunSync(client_worker_, [&] {
    EXPECT_TRUE(client_->conn()->IsClosed());
    EXPECT_EQ(-2, client_->conn()->SendData("x", 1));
  });
}

TEST_F(ClientTest, TryConnectReconnectsAfterTheServerRestartsOnTheSamePort) {
  // A port below the ephemeral range: no outgoing connection of another
  // test takes it between the stop and the restart.
  StartEcho(PickFreePort());
  const uint16_t port = server_->listen_addr().ToPort();
  MakeClient(server_->listen_addr());
  ASSERT_EQ(0, client_->Connect());
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));
  int64_t first_id = -1;
  RunSync(client_worker_, [&] { first_id = client_->conn()->id(); });

  server_.reset();
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 1; }));

  // An open connection is left alone; a closed one is replaced.
  StartEcho(port);
  EXPECT_EQ(0, client_->TryConnect());
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 2; }));
  EXPECT_EQ(0, client_->TryConnect());
  RunSync(client_worker_, [&] {
    EXPECT_GT(client_->conn()->id(), first_id);
    client_->conn()->SendData("again", 5);
  });
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.received == "again"; }));
  EXPECT_EQ(2, rec_.Established());
}

TEST_F(ClientTest, ForceCloseAndDisConnectFromAnotherThreadTwice) {
  StartEcho();
  MakeClient(server_->listen_addr());
  ASSERT_EQ(0, client_->Connect());
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));
  std::shared_ptr<Connection> conn;
  RunSync(client_worker_, [&] { conn = client_->conn(); });

  std::thread closer([&] {
    conn->ForceClose();
    conn->ForceClose();
  });
  closer.join();
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 1; }));
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));

  // Reconnect, then drop it from another thread: when DisConnect returns the
  // connection is closed and its closed callback has run.
  EXPECT_EQ(0, client_->TryConnect());
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 2; }));
  std::thread dropper([&] {
    client_->DisConnect();
    EXPECT_EQ(2, rec_.Closed());
    client_->DisConnect();
  });
  dropper.join();
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 2; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(2, rec_.Closed());
  RunSync(client_worker_, [&] { EXPECT_EQ(nullptr, client_->conn()); });
}

TEST_F(ClientTest, DestroyingAClientClosesItsOpenConnection) {
  StartEcho();
  MakeClient(server_->listen_addr());
  ASSERT_EQ(0, client_->Connect());
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  std::shared_ptr<Connection> conn;
  RunSync(client_worker_, [&] { conn = client_->conn(); });
  client_.reset();  // from the test thread: the close is handed to the loop
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));
  ASSERT_TRUE(WaitFor([&] { return conn->IsClosed(); }));
}

// No server here: its accepted connections would take ids in between.
TEST_F(ClientTest, ConnectionsTakeConsecutiveProcessWideIds) {
  const SockAddress nowhere("127.0.0.1", PickFreePort(), false);
  MakeClient(nowhere);
  TcpClient other(client_worker_, nowhere, "other");
  int64_t a = -1, b = -1;
  RunSync(client_worker_, [&] {
    client_->Connect();
    other.Connect();
    a = client_->conn()->id();
    b = other.conn()->id();
    other.DisConnect();
  });
  EXPECT_EQ(a + 1, b);
}

TEST_F(ClientTest, UninitialisedTcpConnectionAnswersAsClosedAndUnsupported) {
  auto conn = std::make_shared<TcpConnection>(client_worker_, "bare", 7,
                                              SockAddress("127.0.0.1", 9, false));
  EXPECT_TRUE(conn->IsClosed());
  EXPECT_EQ(kTcp, conn->transport());
  EXPECT_EQ(-1, conn->SendSgeZeroCopy(nullptr, 0, nullptr));
  void* data = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(-1, conn->ReceiveDataZeroCopy(&data, &len));
  EXPECT_EQ(0u, conn->my_qp_num());
  EXPECT_EQ(0u, conn->peer_qp_num());
  EXPECT_EQ(64u, conn->max_send_sge());
  EXPECT_EQ(1073741824u, conn->max_send_data_size());
  EXPECT_EQ(8192u, conn->max_send_meta_size());
  EXPECT_EQ(1073750016u, conn->max_send_size());
  EXPECT_EQ(65535u, conn->max_depth());
  EXPECT_EQ(-1, conn->proto_index());
  EXPECT_EQ(nullptr, conn->h2_context());
  conn->ForceClose();  // nothing to close
}

}  // namespace
}  // namespace testing_tcp
}  // namespace tarn
