#include "support/sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineIn(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds));
}

// Milliseconds left until deadline, at least 0.
int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for fd to be readable before deadline.
bool Readable(int fd, Clock::time_point deadline) {
  for (;;) {
    const int ms = MsLeft(deadline);
    if (ms <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

int Listen(uint32_t host_order_addr, uint16_t* port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(host_order_addr);
  socklen_t len = sizeof(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int ListenLoopback(uint16_t* port, int backlog) { return Listen(INADDR_LOOPBACK, port, backlog); }

int ListenAnyAddress(uint16_t* port, int backlog) { return Listen(INADDR_ANY, port, backlog); }

int AcceptWithin(int listen_fd, double timeout_s) {
  if (!Readable(listen_fd, DeadlineIn(timeout_s))) return -1;
  return ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int RawConnect(uint16_t port, int rcvbuf) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

bool SendAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& bytes) { return SendAll(fd, bytes.data(), bytes.size()); }

bool ReadFull(int fd, void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    const ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvExact(int fd, size_t n, std::string* out, double timeout_s) {
  out->clear();
  const auto deadline = DeadlineIn(timeout_s);
  char buf[65536];
  while (out->size() < n) {
    if (!Readable(fd, deadline)) return false;
    const ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - out->size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
  }
  return true;
}

bool PeerCloses(int fd, double timeout_s) {
  const auto deadline = DeadlineIn(timeout_s);
  char buf[4096];
  for (;;) {
    if (!Readable(fd, deadline)) return false;
    const ssize_t r = ::recv(fd, buf, sizeof(buf), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return true;
  }
}

std::string HttpGet(uint16_t port, const std::string& path, double timeout_s) {
  const int fd = RawConnect(port);
  if (fd < 0) return "";
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string answer;
  if (SendAll(fd, request)) {
    const auto deadline = DeadlineIn(timeout_s);
    char buf[4096];
    while (Readable(fd, deadline)) {
      const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

std::string HttpBody(const std::string& answer) {
  const size_t pos = answer.find("\r\n\r\n");
  return pos == std::string::npos ? "" : answer.substr(pos + 4);
}

}  // namespace testsupport
