// The metrics HTTP server, asked over real loopback connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "brpc/server.h"
#include "bvar/bvar.h"
#include "support/child.h"
#include "support/sockets.h"
#include "tarn/event/libevent_log.h"

namespace {

using testsupport::HttpBody;
using testsupport::HttpGet;

int64_t CpuMicros() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

// Reads until the peer closes or timeout_s passes.
std::string ReadToEnd(int fd, double timeout_s) {
  std::string out;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// With every descriptor of the process taken, a waiting client cannot be
// accepted: the listening socket stays readable and each accept fails at
// once. The server rests instead of retrying at full speed, says so in a
// line or two (not a line per attempt), and serves the client once
// descriptors are free again. In a child: the limit and the server are the
// process's.
TEST(DummyServerLimits, OutOfDescriptorsPausesAcceptingAndRecovers) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    if (brpc::DummyServerPort() != 0) return 2;  // needs a server of its own
    tarn::RouteLibeventLogs();
    if (brpc::StartDummyServerAt(0) != 0) return 3;
    const uint16_t port = static_cast<uint16_t>(brpc::DummyServerPort());
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 4;
    std::vector<int> filler;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    if (errno != EMFILE || filler.empty()) return 5;
    close(filler.back());  // room for the client's socket, none for the server
    filler.pop_back();
    const int client = testsupport::RawConnect(port);
    if (client < 0) return 6;
    const std::string request = "GET /vars HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (!testsupport::SendAll(client, request)) return 7;

    const int64_t cpu_before = CpuMicros();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t cpu_us = CpuMicros() - cpu_before;

    for (int fd : filler) close(fd);
    const std::string answer = ReadToEnd(client, 30.0);
    close(client);
    printf("cpu while exhausted: %lld us\n", static_cast<long long>(cpu_us));
    printf("answer: %.15s\n", answer.c_str());
    return answer.compare(0, 15, "HTTP/1.1 200 OK") == 0 ? 0 : 8;
  });
  ASSERT_EQ(0, r.exit_code) << testsupport::Describe(r);
  EXPECT_EQ(std::string::npos, r.output.find("Error from accept() call")) << r.output.substr(0, 2000);
  size_t reports = 0;
  for (size_t at = r.output.find("metrics server: accept failed: Too many open files");
       at != std::string::npos; at = r.output.find("metrics server: accept failed", at + 1)) {
    ++reports;
  }
  EXPECT_GE(reports, 1u) << r.output;
  EXPECT_LE(reports, 3u) << r.output;
  // A listener retrying at full speed keeps a core busy for the whole second.
  const size_t cpu_at = r.output.find("cpu while exhausted: ");
  ASSERT_NE(std::string::npos, cpu_at) << r.output;
  EXPECT_LT(std::stoll(r.output.substr(cpu_at + 21)), 300000) << r.output.substr(0, 2000);
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
  uint16_t busy = 0;
  const int busy_fd = testsupport::ListenAnyAddress(&busy);
  ASSERT_GE(busy_fd, 0);
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

  const std::string vars = HttpGet(port, "/vars");
  EXPECT_EQ(vars.compare(0, 15, "HTTP/1.1 200 OK"), 0) << vars;
  const std::string body = HttpBody(vars);
  EXPECT_NE(body.find("pyxdriver_worker0_write_fail_count : 5\n"), std::string::npos) << body;
  EXPECT_NE(body.find("test_server_text : hello world\n"), std::string::npos);
  EXPECT_NE(body.find("test_server_lat_count : 1\n"), std::string::npos);
  EXPECT_NE(body.find("test_server_lat_max_latency : 42\n"), std::string::npos);

  const std::string metrics = HttpBody(HttpGet(port, "/metrics"));
  EXPECT_NE(metrics.find("# TYPE pyxdriver_worker0_write_fail_count gauge\n"
                         "pyxdriver_worker0_write_fail_count 5\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("test_server_lat_count 1\n"), std::string::npos);
  EXPECT_EQ(metrics.find("test_server_text"), std::string::npos);  // not a number

  EXPECT_EQ(HttpBody(HttpGet(port, "/vars/test_server_lat_count")), "1\n");
  EXPECT_EQ(HttpGet(port, "/vars/no_such_var").compare(0, 12, "HTTP/1.1 404"), 0);
  EXPECT_EQ(HttpGet(port, "/other").compare(0, 12, "HTTP/1.1 404"), 0);

  // Values are read at request time; hidden variables disappear.
  writes << 2;
  text.hide();
  const std::string again = HttpBody(HttpGet(port, "/vars"));
  EXPECT_NE(again.find("pyxdriver_worker0_write_fail_count : 7\n"), std::string::npos);
  EXPECT_EQ(again.find("test_server_text"), std::string::npos);
}

}  // namespace
