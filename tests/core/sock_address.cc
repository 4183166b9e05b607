#include "tarn/sock_address.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/log_capture.h"
#include "tarn/utils.h"

namespace tarn {
namespace {

TEST(SockAddressTest, Ipv4RoundTrip) {
  SockAddress a("10.0.0.1", 8080, false);
  ASSERT_TRUE(a.IsValid());
  EXPECT_EQ(a.family(), AF_INET);
  EXPECT_EQ(a.GetSockAddrLen(), 16u);
  EXPECT_EQ(a.ToIpString(), "10.0.0.1");
  EXPECT_EQ(a.ToString(), "10.0.0.1:8080");
  EXPECT_EQ(a.ToIpPortString(), "10.0.0.1:8080");
  EXPECT_EQ(a.ToPort(), 8080);
  EXPECT_EQ(a.PortNetEndian(), htons(8080));
  EXPECT_EQ(a.IpNetEndian(), htonl(0x0a000001));
  const auto* in = reinterpret_cast<const sockaddr_in*>(a.GetSockAddr());
  SockAddress copy(a.GetSockAddr(), sizeof(sockaddr_in));
  EXPECT_EQ(copy.ToString(), "10.0.0.1:8080");
  EXPECT_EQ(in->sin_port, htons(8080));
}

TEST(SockAddressTest, Ipv6RoundTrip) {
  SockAddress a("::1", 80, true);
  ASSERT_TRUE(a.IsValid());
  EXPECT_EQ(a.GetSockAddrLen(), 28u);
  EXPECT_EQ(a.ToIpString(), "::1");
  EXPECT_EQ(a.ToString(), "::1:80");
  SockAddress b("fe80:0:0:0:0:0:0:abcd", 65535, true);
  EXPECT_EQ(b.ToString(), "fe80::abcd:65535");
  EXPECT_EQ(b.ToPort(), 65535);
  SockAddress copy(b.GetSockAddr(), sizeof(sockaddr_in6));
  EXPECT_EQ(copy.ToIpString(), "fe80::abcd");
}

TEST(SockAddressTest, LocalSocketRoundTrip) {
  SockAddress a("/tmp/tarn.sock");
  ASSERT_TRUE(a.IsValid());
  EXPECT_EQ(a.family(), AF_UNIX);
  EXPECT_EQ(a.GetSockAddrLen(), 110u);
  EXPECT_EQ(a.ToString(), "/tmp/tarn.sock");
  EXPECT_EQ(a.ToIpString(), "");
  EXPECT_EQ(a.ToIpPortString(), "");
  EXPECT_EQ(a.ToPort(), 0);

  const std::string longest(SockAddress::kMaxPathLen, 'p');
  EXPECT_EQ(SockAddress(longest).ToString(), longest);
}

TEST(SockAddressTest, NonAddressesAreInvalid) {
  for (const char* text : {"", "abc", "1.2.3", "256.0.0.1", "10.0.0.1 ", "localhost", "::1"}) {
    SockAddress a(text, 80, false);
    EXPECT_FALSE(a.IsValid()) << text;
    EXPECT_EQ(a.ToString(), "") << text;
    EXPECT_EQ(a.ToPort(), 0) << text;
    EXPECT_EQ(a.GetSockAddrLen(), 0u) << text;
  }
  for (const char* text : {"", "1.2.3.4", ":::", "fe80::1::2", "gggg::1"}) {
    EXPECT_FALSE(SockAddress(text, 80, true).IsValid()) << text;
  }
  EXPECT_FALSE(SockAddress().IsValid());
  // Too long a path is refused, never cut to a different name.
  EXPECT_FALSE(SockAddress(std::string(SockAddress::kMaxPathLen + 1, 'p')).IsValid());
  EXPECT_FALSE(SockAddress(std::string("")).IsValid());
  EXPECT_FALSE(SockAddress(std::string("a\0b", 3)).IsValid());
}

TEST(SockAddressTest, BindAndConnectWithInvalidAddressFail) {
  SockAddress bad("not-an-ip", 0, false);
  errno = 0;
  EXPECT_EQ(CreateSocket(bad), -1);

  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::bind(fd, bad.GetSockAddr(), bad.GetSockAddrLen()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(::connect(fd, bad.GetSockAddr(), bad.GetSockAddrLen()), -1);
  EXPECT_EQ(errno, EINVAL);
  ::close(fd);

  fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  SockAddress longPath(std::string(200, 'q'));
  EXPECT_EQ(::bind(fd, longPath.GetSockAddr(), longPath.GetSockAddrLen()), -1);
  ::close(fd);
}

TEST(SockAddressTest, ValidAddressesBindAndConnectOnLoopback) {
  SockAddress any("127.0.0.1", 0, false);
  int lfd = CreateSocket(any);
  ASSERT_GE(lfd, 0);
  ASSERT_EQ(SetReuseAddr(lfd, true), 0);
  ASSERT_EQ(::bind(lfd, any.GetSockAddr(), any.GetSockAddrLen()), 0);
  ASSERT_EQ(::listen(lfd, 4), 0);
  sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  ASSERT_EQ(::getsockname(lfd, reinterpret_cast<sockaddr*>(&ss), &len), 0);
  SockAddress bound(reinterpret_cast<sockaddr*>(&ss), len);
  EXPECT_EQ(bound.ToIpString(), "127.0.0.1");
  EXPECT_NE(bound.ToPort(), 0);

  int cfd = CreateSocket(bound);
  ASSERT_GE(cfd, 0);
  EXPECT_EQ(::connect(cfd, bound.GetSockAddr(), bound.GetSockAddrLen()), 0);
  EXPECT_EQ(GetSocketError(cfd), 0);
  ::close(cfd);
  ::close(lfd);

  const std::string path = "/tmp/tarn_addr_test_" + std::to_string(::getpid());
  SockAddress local(path);
  lfd = CreateSocket(local);
  ASSERT_GE(lfd, 0);
  ::unlink(path.c_str());
  ASSERT_EQ(::bind(lfd, local.GetSockAddr(), local.GetSockAddrLen()), 0);
  ASSERT_EQ(::listen(lfd, 4), 0);
  cfd = CreateSocket(local);
  EXPECT_EQ(::connect(cfd, local.GetSockAddr(), local.GetSockAddrLen()), 0);
  ::close(cfd);
  ::close(lfd);
  ::unlink(path.c_str());
}

TEST(SockAddressDeathTest, WrongFamilyQueriesEndTheProcess) {
  testsupport::SendLogsToStderr();
  SockAddress v6("::1", 1, true);
  EXPECT_DEATH(v6.IpNetEndian(), "socket family is not AF_INET");
}

}  // namespace
}  // namespace tarn
