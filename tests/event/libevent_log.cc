// libevent's own messages in the system's log: rate-limited by kind, so a
// condition that repeats at full speed cannot flood the log.
#include "tarn/event/libevent_log.h"

#include <event2/util.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/wait.h"

namespace tarn {
namespace {

TEST(LogMessageKindTest, NumbersDoNotMakeANewKind) {
  EXPECT_EQ("fcntl(-#, F_GETFL): Bad file descriptor",
            LogMessageKind("fcntl(-1, F_GETFL): Bad file descriptor"));
  EXPECT_EQ(LogMessageKind("Epoll ADD(1) on fd 23 failed"),
            LogMessageKind("Epoll ADD(4) on fd 1024 failed"));
  EXPECT_NE(LogMessageKind("Error from accept() call: Too many open files"),
            LogMessageKind("Error from accept() call: Cannot allocate memory"));
  EXPECT_EQ("", LogMessageKind(""));
}

// Times only ever move forward from an arbitrary start: a steady clock may
// read anything, small numbers included.
TEST(LogRateLimiterTest, OneLinePerKindPerIntervalWithTheCountHeldBack) {
  struct Step {
    const char* kind;
    int64_t at_us;  // from the start
    bool admitted;
    uint64_t held_back;  // when admitted
  };
  const int64_t s = LogRateLimiter::kIntervalUs;
  const std::vector<Step> steps = {
      {"a", 0, true, 0},          {"a", 1, false, 0},         {"b", 2, true, 0},
      {"a", s - 1, false, 0},     {"a", s, true, 2},          {"a", s + 1, false, 0},
      {"b", s + 2, true, 0},      {"a", 5 * s, true, 1},      {"a", 5 * s, false, 0},
  };
  for (int64_t start : {int64_t{0}, int64_t{7}, int64_t{1} << 50}) {
    LogRateLimiter limiter;
    for (const Step& step : steps) {
      uint64_t held_back = 99;
      EXPECT_EQ(step.admitted, limiter.Admit(step.kind, start + step.at_us, &held_back))
          << step.kind << " at " << step.at_us;
      if (step.admitted) {
        EXPECT_EQ(step.held_back, held_back) << step.kind << " at " << step.at_us;
      }
    }
  }
}

TEST(LogRateLimiterTest, ForgetsKindsPastItsBound) {
  LogRateLimiter limiter;
  uint64_t held_back = 0;
  for (size_t i = 0; i < LogRateLimiter::kMaxKinds; ++i) {
    EXPECT_TRUE(limiter.Admit("kind " + std::to_string(i) + "x", 0, &held_back));
  }
  EXPECT_FALSE(limiter.Admit("kind 0x", 1, &held_back));
  EXPECT_TRUE(limiter.Admit("one more", 1, &held_back));  // the table starts over
  EXPECT_TRUE(limiter.Admit("kind 0x", 2, &held_back));
}

size_t CountLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// A libevent warning repeated a thousand times is one log line; a later one
// tells how many were held back.
TEST(LibeventLogTest, RepeatedWarningsBecomeOneLineThenACount) {
  RouteLibeventLogs();
  RouteLibeventLogs();  // again: nothing changes
  testsupport::LogCapture log;
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(-1, evutil_make_socket_nonblocking(-1));
  const std::string first = log.text();
  EXPECT_EQ(1u, CountLines(first, "libevent: fcntl(-1, F_GETFL)")) << first;
  EXPECT_NE(std::string::npos, first.find(" WARN  libevent: fcntl(-1, F_GETFL): ")) << first;
  // Once the interval has passed, the next one is written with the count.
  ASSERT_TRUE(testsupport::WaitFor([&] {
    evutil_make_socket_nonblocking(-1);
    return log.text().find("more like it held back)") != std::string::npos;
  }));
  const std::string text = log.text();
  EXPECT_EQ(2u, CountLines(text, "libevent: fcntl(-1, F_GETFL)")) << text;
  const size_t count_at = text.find("Bad file descriptor (");
  ASSERT_NE(std::string::npos, count_at) << text;
  EXPECT_GE(std::stoul(text.substr(count_at + 21)), 999u) << text;
}

}  // namespace
}  // namespace tarn
