// TcpServer on loopback: spreading connections over workers, the blacklist,
// stopping with live connections, addresses in use, running out of
// descriptors or event slots, and the read cursor a parser walks with.
#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include <event2/event.h>

#include "support/log_capture.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/event/libevent_driver.h"
#include "tarn/worker_colony.h"
#include "tcp/tcp_fixture.h"

namespace tarn {
namespace testing_tcp {
namespace {

class ServerTest : public TcpTest {
 protected:
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
    server_.reset();
    TcpTest::TearDown();
  }
  uint16_t port() const { return server_->listen_addr().ToPort(); }
  int Connect() {
    int fd = RawConnect(port());
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  std::unique_ptr<TcpServer> server_;
  Recorder rec_;
  std::vector<int> fds_;
};

TEST_F(ServerTest, BurstIsSpreadOverWorkersByPolicy) {
  for (uint32_t policy : {0u, 2u}) {
    server_ = MakeServer(4, 0, policy);
    Recorder rec;
    rec.Install(server_.get());
    ASSERT_EQ(0, server_->Start());
    for (int i = 0; i < 200; ++i) ASSERT_GE(Connect(), 0);
    ASSERT_TRUE(rec.WaitFor([&] { return rec.established == 200; }));
    EXPECT_EQ(200u, ConnCount(server_.get()));
    for (Worker* w : server_->worker_colony()->GetAllWorkers()) EXPECT_EQ(50, w->load());
    // Connections are named after the server and numbered by the process.
    const std::string& name = rec.conns[0]->name();
    EXPECT_EQ(0u, name.find("srv-connection-"));
    EXPECT_EQ(server_->listen_addr().ToString(), rec.conns[0]->local_addr().ToString());
    for (int fd : fds_) ::close(fd);
    fds_.clear();
    ASSERT_TRUE(rec.WaitFor([&] { return rec.closed == 200; }));
    server_.reset();
  }
}

// With first-idle selection and every worker busy the policy finds nobody;
// connections still land on a worker.
TEST_F(ServerTest, FirstIdlePolicyWithAllWorkersBusyStillPlacesConnections) {
  server_ = MakeServer(2, 0, 1);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  for (int i = 0; i < 6; ++i) ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 6; }));
  int total = 0;
  for (Worker* w : server_->worker_colony()->GetAllWorkers()) total += w->load();
  EXPECT_EQ(6, total);
}

TEST_F(ServerTest, BlacklistClosesAndRefusesUntilRemoved) {
  server_ = MakeServer(2);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  int before = Connect();
  ASSERT_GE(before, 0);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));

  server_->AddBlacklist("127.0.0.1", 0);
  RunSync(acceptor_, [] {});
  EXPECT_TRUE(PeerCloses(before));
  ASSERT_TRUE(WaitFor([&] { return ConnCount(server_.get()) == 0; }));
  int refused = Connect();
  ASSERT_GE(refused, 0);
  EXPECT_TRUE(PeerCloses(refused));
  EXPECT_EQ(1, rec_.Established());

  server_->RemoveBlacklist("127.0.0.1");
  server_->RemoveBlacklist("127.0.0.1");  // not there: only a warning
  RunSync(acceptor_, [] {});  // the removal is posted: let it run first
  ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 2; }));
}

TEST_F(ServerTest, TimedBlacklistExpires) {
  server_ = MakeServer(1);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  server_->AddBlacklist("127.0.0.1", 1);
  RunSync(acceptor_, [] {});
  int refused = Connect();
  ASSERT_GE(refused, 0);
  EXPECT_TRUE(PeerCloses(refused));
  ASSERT_TRUE(WaitFor([&] {
    int fd = Connect();
    return fd >= 0 && rec_.WaitFor([&] { return rec_.established >= 1; }, 200ms);
  }));
  // A timed entry removed early: its timer finds nothing to remove.
  server_->AddBlacklist("10.1.2.3", 1);
  server_->RemoveBlacklist("10.1.2.3");
  // A timed entry made permanent: the earlier timer does not lift it.
  server_->AddBlacklist("10.4.5.6", 1);
  server_->AddBlacklist("10.4.5.6", 0);
  std::this_thread::sleep_for(1500ms);
  RunSync(acceptor_, [&] {
    EXPECT_TRUE(server_->VerifySrcIp("10.1.2.3"));
    EXPECT_FALSE(server_->VerifySrcIp("10.4.5.6"));
    EXPECT_TRUE(server_->VerifySrcIp("127.0.0.1"));
  });
}

TEST_F(ServerTest, StopClosesEveryConnectionAndKeepsThemMapped) {
  server_ = MakeServer(3);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  for (int i = 0; i < 20; ++i) ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 20; }));
  EXPECT_EQ(0, server_->Stop());
  for (int fd : fds_) EXPECT_TRUE(PeerCloses(fd));
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 20; }));
  EXPECT_EQ(20u, ConnCount(server_.get()));
  // No longer listening.
  EXPECT_LT(RawConnect(port()), 0);
  for (auto& c : rec_.conns) EXPECT_TRUE(c->IsClosed());
  rec_.conns.clear();
}

TEST_F(ServerTest, RemoveConnectionClosesOnceAndForgets) {
  server_ = MakeServer(1);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  int fd = Connect();
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));
  std::shared_ptr<Connection> conn = rec_.conns[0];
  server_->RemoveConnection(conn);
  server_->RemoveConnection(conn);  // already removed: logged only
  EXPECT_TRUE(PeerCloses(fd));
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 1; }));
  EXPECT_EQ(0u, ConnCount(server_.get()));
}

// The log line of the failing start names the reason the bind failed with,
// although the bind itself ran on the acceptor's thread.
TEST_F(ServerTest, AddressInUseIsAnErrorNotTheEnd) {
  server_ = MakeServer(1);
  ASSERT_EQ(0, server_->Start());
  auto second = MakeServer(1, port());
  {
    testsupport::LogCapture log;
    errno = ENOENT;  // whatever the caller's thread saw last
    EXPECT_NE(0, second->Start());
    const std::string line = log.LineWith("server bind error");
    ASSERT_FALSE(line.empty()) << log.text();
    EXPECT_NE(std::string::npos, line.find("(errno=" + std::to_string(EADDRINUSE) + ")"))
        << line;
  }
  EXPECT_FALSE(second->started());
  second.reset();
  // The first server still serves.
  rec_.Install(server_.get());
  ASSERT_GE(Connect(), 0);
  EXPECT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));
}

TEST_F(ServerTest, SettingsIgnoredWithAnOutsideColony) {
  WorkerOption option;
  option.name_prefix = "outside-";
  EventWorkerColony colony(2, option, nullptr);
  colony.Start();
  {
    TcpServer server(acceptor_, SockAddress("127.0.0.1", 0, false), "outside", WorkerOption(),
                     &colony);
    EXPECT_EQ(2u, server.worker_num());
    EXPECT_EQ("outside-", server.option().name_prefix);
    server.set_worker_num(5);
    server.SetCreateUserHandleCb([](Loop*) { return nullptr; });
    EXPECT_EQ(2u, server.worker_num());
    ASSERT_EQ(0, server.Start());
    EXPECT_NE(0, server.Start());  // started twice: refused, not fatal
  }
  colony.Stop();
  TcpServer own(acceptor_, SockAddress("127.0.0.1", 0, false), "own", WorkerOption(), nullptr);
  own.set_worker_num(0);
  EXPECT_EQ(1u, own.worker_num());
}

// With the process out of descriptors the acceptor pauses; once descriptors
// are free again the waiting clients are accepted.
TEST_F(ServerTest, AcceptorRecoversFromDescriptorExhaustion) {
  server_ = MakeServer(1);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port());
  rlimit old{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &old));
  int probe = ::dup(0);
  ::close(probe);
  rlimit low = old;
  low.rlim_cur = probe;  // no descriptor above the ones open now
  std::vector<int> socks;
  for (int i = 0; i < 4; ++i) socks.push_back(::socket(AF_INET, SOCK_STREAM, 0));
  // Nothing but plain system calls while the limit is low: sanitizers
  // need descriptors of their own for their checks.
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
  for (int fd : socks) {
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(0, rec_.Established());
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &old));
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 4; }));
  for (int fd : socks) ::close(fd);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 4; }));
}

// A worker whose event table is full refuses the one connection cleanly,
// on both the accepting and the connecting side.
TEST_F(ServerTest, FullEventTableFailsOneConnectionOnly) {
  server_ = MakeServer(1);
  rec_.Install(server_.get());
  ASSERT_EQ(0, server_->Start());
  auto* worker = static_cast<EventWorker*>(server_->worker_colony()->GetWorker(0u));
  std::vector<int> filler;
  auto fill = [&](EventWorker* w) {
    RunSync(w, [&] {
      for (;;) {
        int idx = w->event_loop()->driver()->CreateEvent(0, EV_READ, nullptr, nullptr);
        if (idx < 0) break;
        filler.push_back(idx);
      }
    });
  };
  auto drain = [&](EventWorker* w) {
    RunSync(w, [&] {
      for (int idx : filler) w->event_loop()->driver()->FreeEvent(idx);
    });
    filler.clear();
  };
  fill(worker);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(PeerCloses(fd));
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.closed == 1; }));
  EXPECT_EQ(0, rec_.Established());
  drain(worker);
  ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(rec_.WaitFor([&] { return rec_.established == 1; }));

  TcpClient client(client_worker_, server_->listen_addr(), "full");
  Recorder crec;
  crec.Install(&client);
  fill(client_worker_);
  EXPECT_EQ(-1, client.Connect());
  EXPECT_EQ(1, crec.Closed());
  drain(client_worker_);
  EXPECT_EQ(0, client.TryConnect());
  ASSERT_TRUE(crec.WaitFor([&] { return crec.established == 1; }));
  client.DisConnect();
}

// A parser walks frames with the forward cursor and consumes them at once.
TEST_F(ServerTest, ReadCursorWalksAndDrains) {
  server_ = MakeServer(1);
  std::mutex mu;
  std::vector<int64_t> seen;
  bool done = false;
  server_->set_message_read_cb([&](const std::shared_ptr<Connection>& c) {
    if (done || c->ReadableLength() < 10) return;
    std::lock_guard<std::mutex> lock(mu);
    char buf[8] = {0};
    seen.push_back(c->ReceiveData(buf, 4));             // "0123", cursor untouched
    seen.push_back(c->forward_offset());                // 0
    seen.push_back(c->ReceiveDataForward(buf, 3));      // "012", cursor 3
    seen.push_back(c->forward_offset());                // 3
    seen.push_back(buf[0]);                             // '0'
    seen.push_back(c->ReceiveData(2u, buf, 2));         // "23", cursor 5
    seen.push_back(buf[0]);                             // '2'
    seen.push_back(c->OffAvailable());                  // 10 - 5
    seen.push_back(c->ForwardOff(100));                 // 105, cursor stays 5
    seen.push_back(c->forward_offset());                // 5
    seen.push_back(c->ForwardOff(5));                   // 10
    seen.push_back(c->OffAvailable());                  // 0
    seen.push_back(c->ReceiveDataForward(buf, 1));      // -1
    seen.push_back(c->DrainData(11));                   // -1, cursor reset
    seen.push_back(c->forward_offset());                // 0
    seen.push_back(c->DrainData(4));                    // 0
    seen.push_back(c->RemoveData(buf, 6));              // 0, "456789"
    seen.push_back(buf[0]);                             // '4'
    seen.push_back(static_cast<int64_t>(c->ReadableLength()));  // 0
    done = true;
  });
  ASSERT_EQ(0, server_->Start());
  int fd = Connect();
  ASSERT_EQ(10, ::write(fd, "0123456789", 10));
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mu);
    return done;
  }));
  std::lock_guard<std::mutex> lock(mu);
  std::vector<int64_t> want = {0, 0, 0, 3, '0', 0, '2', 5, 105, 5, 10, 0, -1, -1, 0, 0, 0, '4', 0};
  EXPECT_EQ(want, seen);
}

}  // namespace
}  // namespace testing_tcp
}  // namespace tarn
