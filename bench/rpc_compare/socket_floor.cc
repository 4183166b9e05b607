// The floors: a 4 KiB request and a 64-byte answer over one TCP connection
// on loopback with nothing else in the way — no framing, no serialisation,
// no event loop. One call in flight. "floor-blocking" sleeps in recv(),
// "floor-spinning" keeps both ends on non-blocking sockets and retries
// recv() without ever sleeping (each end burns one core).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "rpc_compare/system_under_test.h"
#include "support/sockets.h"

namespace rpc_compare {
namespace {

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Moves exactly len bytes; on a non-blocking socket spins through EAGAIN.
// Returns false on error or when the peer closed.
bool RecvAll(int fd, char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = ::recv(fd, buf + got, len - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      return false;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool SendAll(int fd, const char* buf, size_t len) {
  size_t sent = 0;
  while (sent < len) {
    ssize_t n = ::send(fd, buf + sent, len - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
  }
  return true;
}

class SocketFloor : public SystemUnderTest {
 public:
  explicit SocketFloor(bool spin) : spin_(spin) {}
  ~SocketFloor() override {
    if (client_fd_ >= 0) ::close(client_fd_);
  }

  std::string Name() const override { return spin_ ? "floor-spinning" : "floor-blocking"; }
  Role role() const override { return spin_ ? Role::kSpinningFloor : Role::kBlockingFloor; }
  int MaxOutstanding() const override { return 1; }
  std::string Describe() const override {
    return spin_ ? "non-blocking TCP, both ends spin on recv(), TCP_NODELAY, 1 call in flight"
                 : "blocking TCP send/recv, TCP_NODELAY, 1 call in flight";
  }

  int StartServer() override {
    uint16_t port = 0;
    listen_fd_ = testsupport::ListenLoopback(&port);
    if (listen_fd_ < 0) return -1;
    // The process exits right after StopServer, so the thread is left to it.
    std::thread([this] { Serve(); }).detach();
    return port;
  }

  void StopServer() override { ::shutdown(listen_fd_, SHUT_RDWR); }

  bool ConnectClient(uint16_t port) override {
    client_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddress(port);
    if (client_fd_ < 0 ||
        ::connect(client_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      return false;
    }
    SetNoDelay(client_fd_);
    if (spin_) SetNonBlocking(client_fd_);
    return true;
  }

  ClientResult RunClient(const ClientRun& run) override {
    ClientResult result;
    result.latency_ns.reserve(run.calls);
    std::string request(kRequestBytes, 'q');
    char response[kResponseBytes];
    while (result.calls < run.calls) {
      Clock::time_point start = Clock::now();
      if (start >= run.deadline) break;
      if (!SendAll(client_fd_, request.data(), request.size()) ||
          !RecvAll(client_fd_, response, sizeof(response))) {
        result.failures++;
        result.error = std::string("socket: ") + strerror(errno);
        break;
      }
      result.latency_ns.push_back(
          static_cast<uint32_t>(std::chrono::nanoseconds(Clock::now() - start).count()));
      result.calls++;
    }
    return result;
  }

  void DisconnectClient() override {
    ::close(client_fd_);
    client_fd_ = -1;
  }

 private:
  static sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

  // One connection at a time: the harness connects one client.
  void Serve() {
    std::string request(kRequestBytes, '\0');
    std::string response(kResponseBytes, 'r');
    for (;;) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      SetNoDelay(fd);
      if (spin_) SetNonBlocking(fd);
      while (RecvAll(fd, &request[0], request.size()) &&
             SendAll(fd, response.data(), response.size())) {
      }
      ::close(fd);
    }
  }

  const bool spin_;
  int listen_fd_ = -1;
  int client_fd_ = -1;
};

class BlockingFloor : public SocketFloor {
 public:
  BlockingFloor() : SocketFloor(false) {}
};

class SpinningFloor : public SocketFloor {
 public:
  SpinningFloor() : SocketFloor(true) {}
};

RPC_COMPARE_REGISTER(BlockingFloor);
RPC_COMPARE_REGISTER(SpinningFloor);

}  // namespace
}  // namespace rpc_compare
