#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <random>

namespace testsupport {

namespace {

// Binds a fresh TCP socket of `family` to its loopback address and `port`
// (0: the kernel chooses) and returns the port bound (0 on any failure).
uint16_t BindAndRelease(int family, uint16_t port_wanted = 0) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage storage{};
  socklen_t len = 0;
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port_wanted);
    len = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port_wanted);
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

// The kernel's own choice of port 0 comes from the ephemeral range, the
// same range every outgoing connection of the machine takes its local port
// from: with many tests connecting at once, a port picked there is often
// taken before the test binds it. Ports are picked at random below that
// range instead, and the kernel's choice is only the last resort.
uint16_t PickBelowEphemeral(int family) {
  static constexpr uint16_t kFirst = 10000;
  uint16_t first_ephemeral = 32768;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    unsigned low = 0, high = 0;
    if (std::fscanf(f, "%u %u", &low, &high) == 2 && low > kFirst + 1000u && low <= 65535u) {
      first_ephemeral = static_cast<uint16_t>(low);
    }
    std::fclose(f);
  }
  static thread_local std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  std::uniform_int_distribution<int> pick(kFirst, first_ephemeral - 1);
  for (int attempt = 0; attempt < 64; ++attempt) {
    const uint16_t port = BindAndRelease(family, static_cast<uint16_t>(pick(rng)));
    if (port != 0) return port;
  }
  return BindAndRelease(family);
}

}  // namespace

uint16_t PickFreePort() { return PickBelowEphemeral(AF_INET); }

uint16_t PickFreePort6() { return PickBelowEphemeral(AF_INET6); }

bool Ipv6LoopbackAvailable() {
  static const bool available = BindAndRelease(AF_INET6) != 0;
  return available;
}

tarn::SockAddress Loopback(uint16_t port) { return tarn::SockAddress("127.0.0.1", port, false); }

tarn::SockAddress Loopback6(uint16_t port) { return tarn::SockAddress("::1", port, true); }

}  // namespace testsupport
