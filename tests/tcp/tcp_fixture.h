// Shared pieces of the TCP transport tests: worker threads for the acceptor
// and the client side, a thread-safe record of connection callbacks, and
// blocking raw sockets for peers that must misbehave.
#ifndef TESTS_TCP_TCP_FIXTURE_H_
#define TESTS_TCP_TCP_FIXTURE_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

#include "tarn/connection.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/tcp_client.h"
#include "tarn/event/tcp_connection.h"
#include "tarn/event/tcp_server.h"
#include "tarn/worker_thread.h"

namespace tarn {
namespace testing_tcp {

using namespace std::chrono_literals;

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

// Polls cond every few milliseconds for up to `limit`.
inline bool Eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 20s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return cond();
}

// Runs fn on the worker's loop and waits for it.
inline void RunOn(Worker* worker, const std::function<void()>& fn) {
  worker->loop()->RunInLoop(fn, false);
}

// A port nothing listens on (bound once, then released).
inline uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A blocking client socket connected to 127.0.0.1:port (-1 on failure).
inline int RawConnect(uint16_t port, int rcvbuf = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the peer ends the stream (or resets it) within `limit`; data
// read meanwhile is discarded.
inline bool SeesEof(int fd, std::chrono::milliseconds limit = 20s) {
  auto end = std::chrono::steady_clock::now() + limit;
  char buf[4096];
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      ssize_t n = ::read(fd, buf, sizeof(buf));
      if (n <= 0) return true;
    }
  }
  return false;
}

class TcpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    acceptor_thread_.reset(new WorkerThread("acceptor", nullptr, WorkerOption(), false));
    acceptor_ = static_cast<EventWorker*>(acceptor_thread_->Start());
    client_thread_.reset(new WorkerThread("client", nullptr, WorkerOption(), false));
    client_worker_ = static_cast<EventWorker*>(client_thread_->Start());
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
    RunOn(acceptor_, [&] { n = server->connection_count(); });
    return n;
  }

  std::unique_ptr<WorkerThread> acceptor_thread_;
  EventWorker* acceptor_ = nullptr;
  std::unique_ptr<WorkerThread> client_thread_;
  EventWorker* client_worker_ = nullptr;
};

}  // namespace testing_tcp
}  // namespace tarn

#endif  // TESTS_TCP_TCP_FIXTURE_H_
