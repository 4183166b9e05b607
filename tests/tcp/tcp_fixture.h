// Shared pieces of the TCP transport tests: worker threads for the acceptor
// and the client side and a thread-safe record of connection callbacks.
// Ports, waits and the raw sockets of peers that must misbehave come from
// tests/support.
#ifndef TESTS_TCP_TCP_FIXTURE_H_
#define TESTS_TCP_TCP_FIXTURE_H_

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ports.h"
#include "support/sockets.h"
#include "support/wait.h"
#include "support/worker.h"
#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_client.h"
#include "tarn/event/tcp_connection.h"
#include "tarn/event/tcp_server.h"

namespace tarn {
namespace testing_tcp {

using namespace std::chrono_literals;

using testsupport::PeerCloses;
using testsupport::PickFreePort;
using testsupport::RawConnect;
using testsupport::RunSync;
using testsupport::WaitFor;
using testsupport::WorkerOnThread;

// Everything the four callbacks saw, readable from the test thread.
struct Recorder {
  std::mutex mu;
  std::condition_variable cv;
  int established = 0;
  int closed = 0;
  int write_complete = 0;
  std::string received;
  std::vector<std::shared_ptr<Connection>> conns;  // established, in order

  void Install(Client* client, bool consume = true) {
    client->set_connection_success_cb([this](const std::shared_ptr<Connection>& c) { OnUp(c); });
    client->set_connection_closed_cb([this](const std::shared_ptr<Connection>&) { OnClosed(); });
    client->set_message_read_cb([this, consume](const std::shared_ptr<Connection>& c) { OnRead(c, consume); });
    client->set_message_write_cb([this](const std::shared_ptr<Connection>&) { OnWrite(); });
  }
  void Install(Server* server) {
    server->set_connection_success_cb([this](const std::shared_ptr<Connection>& c) { OnUp(c); });
    server->set_connection_closed_cb([this](const std::shared_ptr<Connection>&) { OnClosed(); });
    server->set_message_write_cb([this](const std::shared_ptr<Connection>&) { OnWrite(); });
  }
  void OnUp(const std::shared_ptr<Connection>& c) {
    std::lock_guard<std::mutex> lock(mu);
    ++established;
    conns.push_back(c);
    cv.notify_all();
  }
  void OnClosed() {
    std::lock_guard<std::mutex> lock(mu);
    ++closed;
    cv.notify_all();
  }
  void OnWrite() {
    std::lock_guard<std::mutex> lock(mu);
    ++write_complete;
    cv.notify_all();
  }
  void OnRead(const std::shared_ptr<Connection>& c, bool consume) {
    if (!consume) return;
    size_t n = c->ReadableLength();
    std::string buf(n, '\0');
    c->RemoveData(&buf[0], n);
    std::lock_guard<std::mutex> lock(mu);
    received += buf;
    cv.notify_all();
  }
  // Waits (generously) until pred holds under the lock.
  bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, limit, pred);
  }
  int Closed() {
    std::lock_guard<std::mutex> lock(mu);
    return closed;
  }
  int WriteComplete() {
    std::lock_guard<std::mutex> lock(mu);
    return write_complete;
  }
  int Established() {
    std::lock_guard<std::mutex> lock(mu);
    return established;
  }
};

// Echoes every byte back on the connection it arrived on.
inline void EchoRead(const std::shared_ptr<Connection>& c) {
  size_t n = c->ReadableLength();
  std::string buf(n, '\0');
  c->RemoveData(&buf[0], n);
  c->SendData(buf.data(), n);
}

class TcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    acceptor_thread_.reset(new WorkerOnThread("acceptor"));
    acceptor_ = acceptor_thread_->worker();
    client_thread_.reset(new WorkerOnThread("client"));
    client_worker_ = client_thread_->worker();
  }
  void TearDown() override {
    client_thread_->Stop();
    acceptor_thread_->Stop();
  }

  // A started server on 127.0.0.1 (a system-chosen port unless given).
  std::unique_ptr<TcpServer> MakeServer(uint32_t workers, uint16_t port = 0,
                                        uint32_t policy = 0) {
    WorkerOption option;
    option.select_policy = policy;
    option.name_prefix = "srv-";
    std::unique_ptr<TcpServer> server(
        new TcpServer(acceptor_, SockAddress("127.0.0.1", port, false), "srv", option, nullptr));
    server->set_worker_num(workers);
    return server;
  }

  // Number of connections in the server's map, read on the acceptor loop.
  size_t ConnCount(TcpServer* server) {
    size_t n = 0;
    RunSync(acceptor_, [&] { n = server->connection_count(); });
    return n;
  }

  std::unique_ptr<WorkerOnThread> acceptor_thread_;
  EventWorker* acceptor_ = nullptr;
  std::unique_ptr<WorkerOnThread> client_thread_;
  EventWorker* client_worker_ = nullptr;
};

}  // namespace testing_tcp
}  // namespace tarn

#endif  // TESTS_TCP_TCP_FIXTURE_H_
