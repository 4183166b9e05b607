// Bytes through a real TcpServer and TcpClient on loopback: order and
// completeness, write completion, end of stream, slow readers and broken
// peers.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "tcp/tcp_fixture.h"

namespace tarn {
namespace testing_tcp {
namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245 + 12345;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

class EchoTest : public TcpTest {
 protected:
  void StartEcho(uint32_t workers) {
    server_ = MakeServer(workers);
    server_rec_.Install(server_.get());
    server_->set_message_read_cb(EchoRead);
    ASSERT_EQ(0, server_->Start());
    client_.reset(new TcpClient(client_worker_, server_->listen_addr(), "echo-client"));
    client_rec_.Install(client_.get());
    ASSERT_EQ(0, client_->Connect());
    ASSERT_TRUE(client_rec_.WaitFor([&] { return client_rec_.established == 1; }));
  }
  void TearDown() override {
    if (client_) RunSync(client_worker_, [&] { client_.reset(); });
    server_.reset();
    TcpTest::TearDown();
  }

  std::unique_ptr<TcpServer> server_;
  std::unique_ptr<TcpClient> client_;
  Recorder server_rec_;
  Recorder client_rec_;
};

TEST_F(EchoTest, TenMegabytesInOddChunksArriveCompleteAndInOrder) {
  StartEcho(3);
  const std::string data = Pattern(10 * 1024 * 1024);
  const size_t sizes[] = {1, 7, 4093, 65537, 13, 131071, 999, 3};
  RunSync(client_worker_, [&] {
    size_t off = 0;
    for (int i = 0; off < data.size(); ++i) {
      size_t n = std::min(sizes[i % 8], data.size() - off);
      ASSERT_EQ(0, client_->conn()->SendData(data.data() + off, n));
      off += n;
    }
    // Sending nothing is allowed and changes nothing.
    ASSERT_EQ(0, client_->conn()->SendData(nullptr, 0));
  });
  ASSERT_TRUE(client_rec_.WaitFor([&] { return client_rec_.received.size() >= data.size(); }, 60s));
  {
    std::lock_guard<std::mutex> lock(client_rec_.mu);
    EXPECT_EQ(data.size(), client_rec_.received.size());
    EXPECT_TRUE(client_rec_.received == data);
  }
  // All of it was queued in one loop task, so the ring drained once.
  EXPECT_EQ(1, client_rec_.WriteComplete());

  RunSync(client_worker_, [&] { client_->conn()->SendData("ping", 4); });
  ASSERT_TRUE(client_rec_.WaitFor([&] { return client_rec_.write_complete == 2; }));
  ASSERT_TRUE(client_rec_.WaitFor([&] { return client_rec_.received.size() == data.size() + 4; }));
  std::lock_guard<std::mutex> lock(client_rec_.mu);
  EXPECT_EQ("ping", client_rec_.received.substr(data.size()));
}

TEST_F(EchoTest, ClosingAHeldConnectionSendsEndOfStreamAndClosesOnce) {
  StartEcho(2);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  // The test keeps a reference to the server's side, as an owner would.
  std::shared_ptr<Connection> server_side = server_rec_.conns[0];
  server_side->ForceClose();
  server_side->ForceClose();
  ASSERT_TRUE(client_rec_.WaitFor([&] { return client_rec_.closed == 1; }));
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1, client_rec_.Closed());
  EXPECT_EQ(1, server_rec_.Closed());
  EXPECT_TRUE(server_side->IsClosed());
  EXPECT_EQ(kDisconnected, server_side->state());
  RunSync(client_worker_, [&] {
    EXPECT_TRUE(client_->conn()->IsClosed());
    EXPECT_EQ(-2, client_->conn()->SendData("x", 1));
  });
}

TEST_F(EchoTest, SendsOfOnePassLeaveTogetherAndSurviveACloseInThatPass) {
  // A raw peer, so that what arrives before end of stream is visible as is.
  server_ = MakeServer(1);
  server_rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  int fd = RawConnect(server_->listen_addr().ToPort());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  std::shared_ptr<Connection> conn = server_rec_.conns[0];
  Worker* worker = conn->worker();
  // Many small messages from one task, then a close in the same pass: all of
  // them arrive, in order, before the end of stream.
  std::string expected;
  RunSync(worker, [&] {
    for (int i = 0; i < 100; ++i) {
      std::string msg = "m" + std::to_string(i) + ";";
      expected += msg;
      ASSERT_EQ(0, conn->SendData(msg.data(), msg.size()));
    }
    conn->ForceClose();
  });
  std::string got;
  char buf[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 20000), 0);
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(expected, got);
  // The ring was written once at the end of the pass, as one drained send.
  EXPECT_LE(server_rec_.WriteComplete(), 1);
  ::close(fd);
}

TEST_F(EchoTest, PeerEndOfStreamGivesExactlyOneClosedCallback) {
  StartEcho(1);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  client_->DisConnect();
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));
  EXPECT_EQ(1, client_rec_.Closed());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1, server_rec_.Closed());
}

// The server writes far more than a small receive window holds to a reader
// that is slow to start: writes are partial, the rest waits in the output
// ring, and everything arrives once the reader drains it. Without a
// write-complete callback the first bytes go to the socket directly.
void SlowReader(std::unique_ptr<TcpServer>* server, Recorder* rec, bool write_cb) {
  const std::string data = Pattern(4 * 1024 * 1024);
  rec->Install(server->get());
  if (!write_cb) (*server)->set_message_write_cb(nullptr);
  (*server)->set_connection_success_cb([&](const std::shared_ptr<Connection>& c) {
    rec->OnUp(c);
    c->SendData(data.data(), data.size());
  });
  ASSERT_EQ(0, (*server)->Start());
  int fd = RawConnect((*server)->listen_addr().ToPort(), 4096);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(rec->WaitFor([&] { return rec->established == 1; }));
  std::shared_ptr<Connection> conn = rec->conns[0];
  // Nothing read yet: the kernel buffers are full and the ring holds the rest.
  size_t pending = 0;
  ASSERT_TRUE(WaitFor([&] {
    RunSync(conn->worker(), [&] { pending = conn->ReadableLengthOutBuf(); });
    return pending > 0 && pending < data.size();
  }));
  EXPECT_EQ(0, rec->WriteComplete());
  std::string got;
  char buf[1000];
  while (got.size() < data.size()) {
    ssize_t n = ::read(fd, buf, sizeof(buf));
    ASSERT_GT(n, 0);
    got.append(buf, n);
  }
  EXPECT_TRUE(got == data);
  if (write_cb) {
    ASSERT_TRUE(rec->WaitFor([&] { return rec->write_complete == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] {
    RunSync(conn->worker(), [&] { pending = conn->ReadableLengthOutBuf(); });
    return pending == 0;
  }));
  ::close(fd);
  ASSERT_TRUE(rec->WaitFor([&] { return rec->closed == 1; }));
}

TEST_F(EchoTest, SlowReaderGetsEverythingAfterPartialWrites) {
  server_ = MakeServer(1);
  SlowReader(&server_, &server_rec_, true);
}

TEST_F(EchoTest, SlowReaderWithoutWriteCallbackGetsEverything) {
  server_ = MakeServer(1);
  SlowReader(&server_, &server_rec_, false);
}

// A peer that resets while we still have bytes for it: the write fails hard
// and the connection closes once.
TEST_F(EchoTest, ResetByPeerWhileWritingClosesTheConnection) {
  const std::string data = Pattern(8 * 1024 * 1024);
  server_ = MakeServer(1);
  server_rec_.Install(server_.get());
  server_->set_connection_success_cb([&](const std::shared_ptr<Connection>& c) {
    server_rec_.OnUp(c);
    c->SendData(data.data(), data.size());
  });
  ASSERT_EQ(0, server_->Start());
  int fd = RawConnect(server_->listen_addr().ToPort(), 4096);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  linger lg{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  ::close(fd);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(1, server_rec_.Closed());
  EXPECT_EQ(0, server_rec_.WriteComplete());
}

// A message sent as pieces (SendDataV) arrives whole and in order by every
// route: straight to the socket, partly through the ring when the socket
// is full, in more pieces than one gather call takes, behind bytes already
// queued, through the ring when small, and before establishment; a write
// completion follows once, and a closed connection refuses the pieces.
TEST_F(EchoTest, GatheredSendsArriveCompleteAndInOrder) {
  struct Case {
    const char* name;
    size_t total;
    std::vector<size_t> sizes;  // piece sizes, cycled
    int rcvbuf;                 // the reader's receive buffer (0: default)
    bool queued_before;         // bytes already wait in the ring
    bool ring_holds_some;       // the socket cannot take it all at once
  };
  const Case cases[] = {
      {"large, to the socket at once", 3 << 20, {16384, 9}, 0, false, false},
      {"into a full socket", 8 << 20, {16384, 9, 0}, 4096, false, true},
      {"more pieces than one gather call", 300000, {100, 0, 33}, 0, false, false},
      {"behind queued bytes", 1 << 20, {4093, 65537}, 0, true, false},
      {"small, through the ring", 1000, {10, 0, 1}, 0, false, false},
  };
  server_ = MakeServer(1);
  server_rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const std::string data = Pattern(tc.total);
    std::vector<iovec> pieces;
    for (size_t off = 0, i = 0; off < data.size(); ++i) {
      const size_t n = std::min(tc.sizes[i % tc.sizes.size()], data.size() - off);
      pieces.push_back({const_cast<char*>(data.data() + off), n});
      off += n;
    }
    const int established = server_rec_.Established();
    const int completions = server_rec_.WriteComplete();
    int fd = RawConnect(server_->listen_addr().ToPort(), tc.rcvbuf);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == established + 1; }));
    std::shared_ptr<Connection> conn = server_rec_.conns.back();
    const std::string head = tc.queued_before ? "head" : "";
    size_t pending = 0;
    RunSync(conn->worker(), [&] {
      if (!head.empty()) {
        ASSERT_EQ(0, conn->SendData(head.data(), head.size()));
      }
      ASSERT_EQ(0, conn->SendDataV(pieces.data(), static_cast<int>(pieces.size())));
      pending = conn->ReadableLengthOutBuf();
    });
    if (tc.ring_holds_some) {
      EXPECT_GT(pending, 0u);
      EXPECT_LT(pending, data.size());
    }
    std::string got;
    char buf[65536];
    while (got.size() < head.size() + data.size()) {
      pollfd p{fd, POLLIN, 0};
      ASSERT_GT(::poll(&p, 1, 20000), 0);
      ssize_t n = ::read(fd, buf, sizeof(buf));
      ASSERT_GT(n, 0);
      got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == head + data);
    ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.write_complete == completions + 1; }));
    RunSync(conn->worker(), [&] { EXPECT_EQ(0u, conn->ReadableLengthOutBuf()); });
    conn->ForceClose();
    ASSERT_TRUE(WaitFor([&] { return conn->IsClosed(); }));
    RunSync(conn->worker(), [&] { EXPECT_EQ(-2, conn->SendDataV(pieces.data(), 1)); });
    ::close(fd);
  }
}

// A server whose owner set no callbacks at all still serves and closes
// connections: unset callbacks do nothing.
TEST_F(EchoTest, UnsetCallbacksDoNothing) {
  server_ = MakeServer(1);
  ASSERT_EQ(0, server_->Start());
  int fd = RawConnect(server_->listen_addr().ToPort());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(5, ::write(fd, "hello", 5));
  ASSERT_TRUE(WaitFor([&] { return ConnCount(server_.get()) == 1; }));
  ::close(fd);
  std::this_thread::sleep_for(100ms);
  server_->Stop();
}

// A peer that sends what nobody consumes cannot make the connection buffer
// without bound: past the largest message the connection is closed.
TEST_F(EchoTest, UnconsumedInputBeyondTheMessageLimitClosesTheConnection) {
  server_ = MakeServer(1);
  server_rec_.Install(server_.get());
  server_->set_connection_success_cb([&](const std::shared_ptr<Connection>& c) {
    c->set_max_send_size(1 << 20);
    server_rec_.OnUp(c);
  });
  ASSERT_EQ(0, server_->Start());
  int fd = RawConnect(server_->listen_addr().ToPort());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.established == 1; }));
  std::string chunk(64 * 1024, 'x');
  size_t sent = 0;
  while (sent < (4u << 20)) {
    ssize_t n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += n;
  }
  ASSERT_TRUE(server_rec_.WaitFor([&] { return server_rec_.closed == 1; }));
  EXPECT_TRUE(PeerCloses(fd));
  ::close(fd);
}

}  // namespace
}  // namespace testing_tcp
}  // namespace tarn
