#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Binds a fresh TCP socket of `family` to its loopback address, port 0, and
// returns the port the kernel chose (0 on any failure).
uint16_t BindAndRelease(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage storage{};
  socklen_t len = 0;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof(*a);
  }
  auto* addr = reinterpret_cast<sockaddr*>(&storage);
  uint16_t port = 0;
  if (::bind(fd, addr, len) == 0 && ::getsockname(fd, addr, &len) == 0) {
    port = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                             : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

uint16_t PickFreePort() { return BindAndRelease(AF_INET); }

uint16_t PickFreePort6() { return BindAndRelease(AF_INET6); }

bool Ipv6LoopbackAvailable() {
  static const bool available = BindAndRelease(AF_INET6) != 0;
  return available;
}

tarn::SockAddress Loopback(uint16_t port) { return tarn::SockAddress("127.0.0.1", port, false); }

tarn::SockAddress Loopback6(uint16_t port) { return tarn::SockAddress("::1", port, true); }

}  // namespace testsupport
