// The metrics HTTP server, asked over real loopback connections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "brpc/server.h"
#include "bvar/bvar.h"
#include "support/sockets.h"

namespace {

using testsupport::HttpBody;
using testsupport::HttpGet;

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
