// Destruction and ordering faults of the TCP transport: callbacks that must
// not outlive their owner, and connections that must not be lost from the
// server's map when their first callbacks already act on them.
#include <atomic>

#include "tarn/event/event_worker_colony.h"
#include "tcp/tcp_fixture.h"

namespace tarn {
namespace testing_tcp {
namespace {

class TcpLifetimeTest : public TcpTest {};

// A client destroyed on another thread than its loop's must leave no
// callback behind that could still run into its (gone) owner.
TEST_F(TcpLifetimeTest, ClientDestroyedOffLoopRunsNoCallbackAfterwards) {
  std::unique_ptr<TcpServer> server = MakeServer(1);
  Recorder server_rec;
  server_rec.Install(server.get());
  ASSERT_EQ(0, server->Start());

  std::atomic<bool> owner_gone{false};
  std::atomic<int> late_callbacks{0};
  std::atomic<int> established{0};
  auto* client = new TcpClient(client_worker_, server->listen_addr(), "lifetime");
  client->set_connection_success_cb([&](const std::shared_ptr<Connection>&) { ++established; });
  client->set_connection_closed_cb([&](const std::shared_ptr<Connection>&) {
    if (owner_gone.load()) ++late_callbacks;
  });
  ASSERT_EQ(0, client->Connect());
  ASSERT_TRUE(WaitFor([&] { return established.load() == 1; }));

  // Keep the loop busy so that anything merely queued runs only later.
  client_worker_->loop()->RunInLoop([] { std::this_thread::sleep_for(300ms); }, true);
  delete client;
  owner_gone.store(true);

  ASSERT_TRUE(server_rec.WaitFor([&] { return server_rec.closed == 1; }));
  RunSync(client_worker_, [] {});  // whatever was queued has run by now
  EXPECT_EQ(0, late_callbacks.load());
}

// With the acceptor among the colony's workers, a new connection is
// established inline on the acceptor loop. When its established callback
// removes it, it must not come back into the map afterwards.
TEST_F(TcpLifetimeTest, ConnectionRemovedByItsEstablishedCallbackLeavesTheMap) {
  WorkerOption option;
  option.name_prefix = "same-";
  EventWorkerColony colony(1, option, nullptr);
  colony.Start();
  auto* worker = static_cast<EventWorker*>(colony.GetWorker(0u));
  std::unique_ptr<TcpServer> server(
      new TcpServer(worker, SockAddress("127.0.0.1", 0, false), "same", option, &colony));
  std::atomic<int> established{0};
  std::atomic<int> closed{0};
  TcpServer* raw = server.get();
  server->set_connection_success_cb([&, raw](const std::shared_ptr<Connection>& c) {
    ++established;
    raw->RemoveConnection(c);
  });
  server->set_connection_closed_cb([&](const std::shared_ptr<Connection>&) { ++closed; });
  ASSERT_EQ(0, server->Start());

  int fd = RawConnect(server->listen_addr().ToPort());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitFor([&] { return established.load() == 1 && closed.load() == 1; }));
  EXPECT_TRUE(PeerCloses(fd));
  ::close(fd);
  size_t count = 99;
  RunSync(worker, [&] { count = server->connection_count(); });
  EXPECT_EQ(0u, count);
  server.reset();
  colony.Stop();
}

// A server destroyed while connections are open on an outside colony (which
// lives on) must have closed them by the time it is gone: their closed
// callbacks typically call back into the server.
TEST_F(TcpLifetimeTest, ServerDestroyedWithOutsideColonyClosesBeforeItIsGone) {
  WorkerOption option;
  option.name_prefix = "outside-";
  EventWorkerColony colony(1, option, nullptr);
  colony.Start();
  auto* worker = static_cast<EventWorker*>(colony.GetWorker(0u));
  std::unique_ptr<TcpServer> server(
      new TcpServer(acceptor_, SockAddress("127.0.0.1", 0, false), "outside", option, &colony));
  std::atomic<bool> owner_gone{false};
  std::atomic<int> established{0};
  std::atomic<int> closed{0};
  std::atomic<int> late_callbacks{0};
  server->set_connection_success_cb([&](const std::shared_ptr<Connection>&) { ++established; });
  server->set_connection_closed_cb([&](const std::shared_ptr<Connection>&) {
    ++closed;
    if (owner_gone.load()) ++late_callbacks;
  });
  ASSERT_EQ(0, server->Start());
  int fd = RawConnect(server->listen_addr().ToPort());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitFor([&] { return established.load() == 1; }));

  worker->loop()->RunInLoop([] { std::this_thread::sleep_for(300ms); }, true);
  server.reset();
  owner_gone.store(true);
  EXPECT_TRUE(PeerCloses(fd));
  ::close(fd);
  RunSync(worker, [] {});
  EXPECT_EQ(1, closed.load());
  EXPECT_EQ(0, late_callbacks.load());
  colony.Stop();
}

}  // namespace
}  // namespace testing_tcp
}  // namespace tarn
