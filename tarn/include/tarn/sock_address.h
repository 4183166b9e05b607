// SockAddress: an IPv4, IPv6 or local (AF_UNIX) socket address.
//
// Built from text: SockAddress("10.0.0.1", 8080, false),
// SockAddress("::1", 80, true), SockAddress("/run/app.sock"). A text that is
// not an address, or a local path that does not fit sun_path, makes an
// invalid address: IsValid() is false, family() is AF_UNSPEC and
// GetSockAddrLen() is 0, so a bind or connect made with it fails (EINVAL)
// instead of quietly using 0.0.0.0.
//
// Ports and addresses are stored in network byte order.
#ifndef TARN_SOCK_ADDRESS_H_
#define TARN_SOCK_ADDRESS_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

namespace tarn {

class SockAddress {
 public:
  // The longest local-socket path (sun_path keeps a terminating NUL).
  static constexpr size_t kMaxPathLen = sizeof(sockaddr_un::sun_path) - 1;

  // An invalid address.
  SockAddress();
  SockAddress(const std::string& ip, uint16_t port, bool ipv6);
  explicit SockAddress(const std::string& path);
  // From a kernel address (accept, getsockname, getpeername); invalid for
  // any family other than AF_INET, AF_INET6, AF_UNIX or a short length.
  SockAddress(const struct sockaddr* sa, socklen_t len);

  bool IsValid() const { return family() != AF_UNSPEC; }
  sa_family_t family() const { return addr_.ss_family; }

  const struct sockaddr* GetSockAddr() const {
    return reinterpret_cast<const struct sockaddr*>(&addr_);
  }
  // 16 (IPv4), 28 (IPv6), 110 (local), 0 (invalid); ends the process for
  // any other family.
  socklen_t GetSockAddrLen() const;

  // IPv4 only (ends the process otherwise).
  uint32_t IpNetEndian() const;
  // IPv4 and IPv6; 0 for other families.
  uint16_t PortNetEndian() const;
  uint16_t ToPort() const;

  // Address text; "" for other families.
  std::string ToIpString() const;
  // Address text + ":" + port; an IPv6 address is not bracketed (::1:80).
  std::string ToIpPortString() const;
  // ToIpPortString for IPv4/IPv6, the path for a local socket, else "".
  std::string ToString() const;

 private:
  struct sockaddr_storage addr_;
};

}  // namespace tarn

#endif  // TARN_SOCK_ADDRESS_H_
