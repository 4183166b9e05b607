// Rate-limited log lines: a few of each kind per interval, then the count of
// those held back on the next one let through.
#include "tarn/base/log_limit.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/wait.h"

namespace {

size_t CountLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// Times only move forward from an arbitrary start.
TEST(LogWindowTest, BurstPerIntervalThenTheCountHeldBack) {
  struct Step {
    int64_t at_us;
    bool admitted;
    uint64_t held_back;  // when admitted
  };
  const int64_t s = plinth::LogRateLimiter::kIntervalUs;
  const std::vector<Step> steps = {
      {0, true, 0},     {1, true, 0},         {2, true, 0},         {3, false, 0},
      {s - 1, false, 0}, {s, true, 2},        {s + 1, true, 0},     {s + 2, true, 0},
      {s + 3, false, 0}, {10 * s, true, 1},   {10 * s, true, 0},
  };
  for (int64_t start : {int64_t{0}, int64_t{5}, int64_t{1} << 50}) {
    plinth::LogWindow window;
    for (const Step& step : steps) {
      uint64_t held_back = 99;
      EXPECT_EQ(step.admitted, window.Admit(start + step.at_us, s, 3, &held_back)) << step.at_us;
      if (step.admitted) {
        EXPECT_EQ(step.held_back, held_back) << step.at_us;
      }
    }
  }
}

// Each statement is a kind of its own; a suppressed level counts nothing.
TEST(LogLimitedTest, AStatementRepeatedAtWillWritesAFewLinesThenACount) {
  testsupport::LogCapture log;
  auto flood = [](int i) { LOG_ERROR_LIMITED << "flooded line " << i; };
  for (int i = 0; i < 1000; ++i) {
    flood(i);
    LOG_WARN_LIMITED << "other line " << i;
  }
  const std::string first = log.text();
  EXPECT_EQ(plinth::LogSiteLimiter::kBurst, CountLines(first, "flooded line "));
  EXPECT_EQ(plinth::LogSiteLimiter::kBurst, CountLines(first, "other line "));
  EXPECT_NE(std::string::npos, first.find(" ERROR flooded line 0 - log_limit.cc:")) << first;
  // Once the interval has passed, the next line tells how many were held.
  ASSERT_TRUE(testsupport::WaitFor([&] {
    flood(-1);
    return log.text().find("more like it held back)") != std::string::npos;
  }));
  const std::string line = log.LineWith("more like it held back)");
  const size_t open = line.find(" (");
  ASSERT_NE(std::string::npos, open) << line;
  EXPECT_GE(std::stoul(line.substr(open + 2)), 1000u - plinth::LogSiteLimiter::kBurst) << line;
}

}  // namespace
