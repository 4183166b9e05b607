#include "tarn/sock_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tarn/base/logging.h"

namespace tarn {

namespace {

const sockaddr_in* In4(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in*>(&s); }
const sockaddr_in6* In6(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in6*>(&s); }
const sockaddr_un* Un(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_un*>(&s); }

}  // namespace

SockAddress::SockAddress() { memset(&addr_, 0, sizeof(addr_)); }

SockAddress::SockAddress(const std::string& ip, uint16_t port, bool ipv6) : SockAddress() {
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr_);
    if (inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr) != 1) {
      errno = EINVAL;
      LOG_SYSERR << "AF_INET6 inet_pton error, ip: " << ip;
      memset(&addr_, 0, sizeof(addr_));
      return;
    }
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr_);
    if (inet_pton(AF_INET, ip.c_str(), &a->sin_addr) != 1) {
      errno = EINVAL;
      LOG_SYSERR << "AF_INET inet_pton error, ip: " << ip;
      memset(&addr_, 0, sizeof(addr_));
      return;
    }
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
  }
}

SockAddress::SockAddress(const std::string& path) : SockAddress() {
  // A cut path would name a different socket; a NUL inside would too.
  if (path.empty() || path.size() > kMaxPathLen || path.find('\0') != std::string::npos) {
    LOG_ERROR << "invalid local socket path, length: " << path.size() << ", max: " << kMaxPathLen;
    return;
  }
  auto* a = reinterpret_cast<sockaddr_un*>(&addr_);
  a->sun_family = AF_UNIX;
  memcpy(a->sun_path, path.data(), path.size());
}

SockAddress::SockAddress(const struct sockaddr* sa, socklen_t len) : SockAddress() {
  if (sa == nullptr || len < static_cast<socklen_t>(sizeof(sa_family_t))) return;
  switch (sa->sa_family) {
    case AF_INET:
      if (len >= static_cast<socklen_t>(sizeof(sockaddr_in))) memcpy(&addr_, sa, sizeof(sockaddr_in));
      break;
    case AF_INET6:
      if (len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) memcpy(&addr_, sa, sizeof(sockaddr_in6));
      break;
    case AF_UNIX: {
      // The kernel's length may leave the path without a NUL; copy only
      // what it gave and keep the terminator of the zeroed storage.
      const size_t n = std::min<size_t>(len, sizeof(sockaddr_un) - 1);
      memcpy(&addr_, sa, n);
      auto* a = reinterpret_cast<sockaddr_un*>(&addr_);
      a->sun_path[kMaxPathLen] = '\0';
      break;
    }
    default:
      break;
  }
}

socklen_t SockAddress::GetSockAddrLen() const {
  switch (family()) {
    case AF_INET:
      return sizeof(sockaddr_in);
    case AF_INET6:
      return sizeof(sockaddr_in6);
    case AF_UNIX:
      return sizeof(sockaddr_un);
    case AF_UNSPEC:
      return 0;
    default:
      LOG_FATAL << "socket family is invalid";
      return 0;
  }
}

uint32_t SockAddress::IpNetEndian() const {
  if (family() != AF_INET) {
    LOG_FATAL << "socket family is not AF_INET";
    return 0;
  }
  return In4(addr_)->sin_addr.s_addr;
}

uint16_t SockAddress::PortNetEndian() const {
  if (family() == AF_INET) return In4(addr_)->sin_port;
  if (family() == AF_INET6) return In6(addr_)->sin6_port;
  return 0;
}

uint16_t SockAddress::ToPort() const { return ntohs(PortNetEndian()); }

std::string SockAddress::ToIpString() const {
  char buf[64] = {0};
  if (family() == AF_INET) {
    inet_ntop(AF_INET, &In4(addr_)->sin_addr, buf, sizeof(buf));
  } else if (family() == AF_INET6) {
    inet_ntop(AF_INET6, &In6(addr_)->sin6_addr, buf, sizeof(buf));
  }
  return buf;
}

std::string SockAddress::ToIpPortString() const {
  if (family() != AF_INET && family() != AF_INET6) return "";
  char port[8];
  snprintf(port, sizeof(port), ":%u", static_cast<unsigned>(ToPort()));
  return ToIpString() + port;
}

std::string SockAddress::ToString() const {
  if (family() == AF_INET || family() == AF_INET6) return ToIpPortString();
  if (family() == AF_UNIX) return Un(addr_)->sun_path;
  return "";
}

}  // namespace tarn
