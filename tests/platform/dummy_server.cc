// The metrics HTTP server, asked over real loopback connections.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "brpc/server.h"
#include "bvar/bvar.h"

namespace {

// One HTTP/1.1 request on a fresh connection; returns the whole answer.
std::string http_get(int port, const std::string& path) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "";
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    const std::string req =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
      char buf[4096];
      for (int i = 0; i < 10000; ++i) {
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  close(fd);
  return answer;
}

std::string body_of(const std::string& answer) {
  const size_t pos = answer.find("\r\n\r\n");
  return pos == std::string::npos ? "" : answer.substr(pos + 4);
}

// A listening socket on a free loopback port; returns the port.
int occupy_port(int* fd_out) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t len = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return -1;
  }
  *fd_out = fd;
  return ntohs(addr.sin_port);
}

// One test: the server lives until the process exits.
TEST(DummyServer, RefusesBusyPortThenServesVarsAndMetrics) {
  bvar::Adder<uint64_t> writes;
  writes.expose_as("pyxdriver worker0", "_write_fail_count");
  writes << 5;
  bvar::PassiveStatus<std::string> text("test_server_text",
                                        [] { return std::string("hello world"); });
  bvar::LatencyRecorder lat("test_server_lat");
  lat << 42;

  // A busy port or a bad one: the server does not start, the caller goes on.
  ASSERT_EQ(brpc::DummyServerPort(), 0);
  int busy_fd = -1;
  const int busy = occupy_port(&busy_fd);
  ASSERT_GT(busy, 0);
  EXPECT_NE(brpc::StartDummyServerAt(busy), 0);
  EXPECT_EQ(brpc::DummyServerPort(), 0);
  EXPECT_NE(brpc::StartDummyServerAt(-1), 0);
  EXPECT_NE(brpc::StartDummyServerAt(70000), 0);
  close(busy_fd);

  ASSERT_EQ(brpc::StartDummyServerAt(0), 0);
  const int port = brpc::DummyServerPort();
  ASSERT_GT(port, 0);
  EXPECT_EQ(brpc::StartDummyServerAt(port), 0);  // a second start changes nothing
  EXPECT_EQ(brpc::DummyServerPort(), port);

  const std::string vars = http_get(port, "/vars");
  EXPECT_EQ(vars.compare(0, 15, "HTTP/1.1 200 OK"), 0) << vars;
  const std::string body = body_of(vars);
  EXPECT_NE(body.find("pyxdriver_worker0_write_fail_count : 5\n"), std::string::npos) << body;
  EXPECT_NE(body.find("test_server_text : hello world\n"), std::string::npos);
  EXPECT_NE(body.find("test_server_lat_count : 1\n"), std::string::npos);
  EXPECT_NE(body.find("test_server_lat_max_latency : 42\n"), std::string::npos);

  const std::string metrics = body_of(http_get(port, "/metrics"));
  EXPECT_NE(metrics.find("# TYPE pyxdriver_worker0_write_fail_count gauge\n"
                         "pyxdriver_worker0_write_fail_count 5\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("test_server_lat_count 1\n"), std::string::npos);
  EXPECT_EQ(metrics.find("test_server_text"), std::string::npos);  // not a number

  EXPECT_EQ(body_of(http_get(port, "/vars/test_server_lat_count")), "1\n");
  EXPECT_EQ(http_get(port, "/vars/no_such_var").compare(0, 12, "HTTP/1.1 404"), 0);
  EXPECT_EQ(http_get(port, "/other").compare(0, 12, "HTTP/1.1 404"), 0);

  // Values are read at request time; hidden variables disappear.
  writes << 2;
  text.hide();
  const std::string again = body_of(http_get(port, "/vars"));
  EXPECT_NE(again.find("pyxdriver_worker0_write_fail_count : 7\n"), std::string::npos);
  EXPECT_EQ(again.find("test_server_text"), std::string::npos);
}

}  // namespace
