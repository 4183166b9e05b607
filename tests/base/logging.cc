// Log lines: their exact shape, the stream's formatting rules, level gating
// and the end of the process at FATAL.
#include "tarn/base/logging.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/child.h"
#include "support/pattern.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/log_stream.h"
#include "tarn/base/time_zone.h"

namespace plinth {
namespace {

std::mutex g_capturedMutex;
std::vector<std::string> g_captured;

void captureOutput(const char* msg, int len) {
  std::lock_guard<std::mutex> lock(g_capturedMutex);
  g_captured.emplace_back(msg, len);
}

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_captured.clear();
    Logger::setOutput(&captureOutput);
    Logger::setLogLevel(Logger::TRACE);
  }
  void TearDown() override {
    Logger::setOutput(&defaultOutput);
    Logger::setLogLevel(Logger::INFO);
  }
  static std::string only() {
    EXPECT_EQ(1u, g_captured.size());
    return g_captured.empty() ? std::string() : g_captured.back();
  }
};

std::string streamed(const std::function<void(LogStream&)>& fill) {
  LogStream os;
  fill(os);
  return os.buffer().toString();
}

TEST_F(LoggingTest, LineShapeForEveryKind) {
  int line = __LINE__ + 1;
  LOG_INFO << "hello " << 42;
  std::string text = only();
  std::string tid = CurrentThread::tidString();
  // 20240131 17:05:09.004211Z  4242 INFO  hello 42 - logging.cc:NN
  const std::string shape(
      "^[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z (.{6})INFO  hello 42 - "
      "logging\\.cc:([0-9]+)\n$");
  std::vector<std::string> m;
  ASSERT_TRUE(testsupport::FullMatch(text, shape, &m)) << text;
  EXPECT_EQ(tid, m[0]);
  EXPECT_EQ(std::to_string(line), m[1]);

  g_captured.clear();
  LOG_DEBUG << "dbg";
  EXPECT_NE(std::string::npos, only().find("DEBUG " + std::string(__func__) + " dbg - "))
      << only();
  g_captured.clear();
  LOG_TRACE << "trc";
  EXPECT_NE(std::string::npos, only().find("TRACE " + std::string(__func__) + " trc - "));
  g_captured.clear();
  LOG_WARN << "w";
  EXPECT_NE(std::string::npos, only().find(" WARN  w - logging.cc:"));
  g_captured.clear();
  LOG_ERROR << "e";
  EXPECT_NE(std::string::npos, only().find(" ERROR e - logging.cc:"));

  g_captured.clear();
  errno = ENOENT;
  LOG_SYSERR << "open";
  std::string expect = std::string("ERROR ") + strerror(ENOENT) + " (errno=2) open - ";
  EXPECT_NE(std::string::npos, only().find(expect)) << only();
}

TEST_F(LoggingTest, TimeIsUtcPlusEight) {
  EXPECT_STREQ("GMT-8", getenv("TZ"));
  time_t now = time(nullptr);
  LOG_INFO << "t";
  struct tm local = TimeZone::toUtcTime(now + 8 * 3600);
  char expect[32];
  snprintf(expect, sizeof expect, "%4d%02d%02d %02d:%02d", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  // Minutes only: the second may tick between the two readings.
  std::string text = only();
  if (text.compare(0, 14, expect) != 0) {
    // A minute boundary fell in between; the next reading settles it.
    g_captured.clear();
    now = time(nullptr);
    LOG_INFO << "t";
    local = TimeZone::toUtcTime(now + 8 * 3600);
    snprintf(expect, sizeof expect, "%4d%02d%02d %02d:%02d", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
    text = only();
  }
  EXPECT_EQ(expect, text.substr(0, 14));
}

TEST_F(LoggingTest, GatingEvaluatesNothingOfSuppressedStatements) {
  int evaluated = 0;
  auto touch = [&evaluated]() { return ++evaluated; };
  Logger::setLogLevel(Logger::WARN);
  LOG_TRACE << touch();
  LOG_DEBUG << touch();
  LOG_INFO << touch();
  EXPECT_EQ(0, evaluated);
  EXPECT_TRUE(g_captured.empty());
  LOG_WARN << touch();
  EXPECT_EQ(1, evaluated);
  EXPECT_EQ(1u, g_captured.size());

  // Inside an unbraced if/else the macro must not capture the else.
  bool elseTaken = false;
  if (evaluated == 0)
    LOG_INFO << "never";
  else
    elseTaken = true;
  EXPECT_TRUE(elseTaken);
}

TEST_F(LoggingTest, LevelNames) {
  Logger::setLogLevel("warning");
  EXPECT_EQ(Logger::WARN, Logger::logLevel());
  Logger::setLogLevel("debug");
  Logger::setLogLevel("WARNING");
  EXPECT_EQ(Logger::DEBUG, Logger::logLevel());
  Logger::setLogLevel("warn");
  EXPECT_EQ(Logger::DEBUG, Logger::logLevel());
  for (int i = 0; i < Logger::NUM_LOG_LEVELS; ++i) EXPECT_EQ(6u, strlen(LogLevelName[i]));
}

// A message too long for the line gives up its end, marked "...", never the
// line's end: every line stays within 4000 bytes and ends with its source
// position and newline, so the next line cannot be written onto it.
TEST_F(LoggingTest, LongLinesAreCutButKeepTheirEnd) {
  struct Case {
    size_t message;
    bool cut;
  };
  for (const Case& c : {Case{3900, false}, Case{3960, true}, Case{4000, true},
                        Case{5000, true}, Case{100000, true}}) {
    g_captured.clear();
    const int line = __LINE__ + 1;
    LOG_INFO << std::string(c.message, 'x');
    const std::string text = only();
    const std::string end = " - logging.cc:" + std::to_string(line) + "\n";
    EXPECT_LE(text.size(), 4000u) << c.message;
    ASSERT_GT(text.size(), end.size());
    EXPECT_EQ(end, text.substr(text.size() - end.size())) << c.message;
    EXPECT_EQ(1, std::count(text.begin(), text.end(), '\n')) << c.message;
    EXPECT_EQ(c.cut, text.find("x... - logging.cc:") != std::string::npos) << c.message;
    if (!c.cut) {
      EXPECT_NE(std::string::npos, text.find(std::string(c.message, 'x') + end));
    }
  }
  // Numbers that no longer fit are dropped whole; the end still follows.
  g_captured.clear();
  LOG_INFO << std::string(3990, 'y') << 1234567 << std::string(10, 'z');
  const std::string text = only();
  EXPECT_LE(text.size(), 4000u);
  EXPECT_EQ('\n', text.back());
  EXPECT_NE(std::string::npos, text.find("y... - logging.cc:"));
}

TEST_F(LoggingTest, LogTimeZoneDropsTheZ) {
  // Runs last among the line tests of this file in declaration order; the
  // zone stays set for the rest of the process.
  Logger::setTimeZone(TimeZone(8 * 3600, "CST"));
  LOG_INFO << "z";
  EXPECT_TRUE(testsupport::FullMatch(
      only(), "^[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} .*\n$"))
      << only();
}

TEST(LogStreamTest, Numbers) {
  EXPECT_EQ("-2147483648", streamed([](LogStream& s) { s << INT_MIN; }));
  EXPECT_EQ("18446744073709551615", streamed([](LogStream& s) { s << ULLONG_MAX; }));
  EXPECT_EQ("-9223372036854775808", streamed([](LogStream& s) { s << LLONG_MIN; }));
  EXPECT_EQ("0", streamed([](LogStream& s) { s << 0; }));
  EXPECT_EQ("-1 65535", streamed([](LogStream& s) {
              s << static_cast<short>(-1) << ' ' << static_cast<unsigned short>(65535);
            }));
  EXPECT_EQ("0x0", streamed([](LogStream& s) { s << static_cast<const void*>(nullptr); }));
  EXPECT_EQ("0xDEADBEEF",
            streamed([](LogStream& s) { s << reinterpret_cast<const void*>(0xdeadbeefUL); }));
  EXPECT_EQ("0.1", streamed([](LogStream& s) { s << 0.1; }));
  EXPECT_EQ("1e+20", streamed([](LogStream& s) { s << 1e20; }));
  EXPECT_EQ("0.25", streamed([](LogStream& s) { s << 0.25f; }));
  EXPECT_EQ("(null)", streamed([](LogStream& s) { s << static_cast<const char*>(nullptr); }));
  EXPECT_EQ("  7|3.50", streamed([](LogStream& s) { s << Fmt("%3d", 7) << '|' << Fmt("%.2f", 3.5); }));
}

TEST(LogStreamTest, NumbersDroppedWholeTextCut) {
  LogStream s;
  std::string filler(detail::kSmallBuffer - 31, 'a');
  s << filler;
  ASSERT_EQ(31, s.buffer().avail());
  s << 12345 << 1.5 << static_cast<const void*>(&s);
  EXPECT_EQ(31, s.buffer().avail());
  s << std::string(40, 'b');
  EXPECT_EQ(0, s.buffer().avail());
  EXPECT_EQ(std::string(31, 'b'), s.buffer().toString().substr(filler.size()));
}

TEST(LogStreamTest, FullBufferStillPrintsSafely) {
  detail::FixedBuffer<16> buf;
  buf.append("0123456789abcdefXYZ", 19);
  EXPECT_EQ(16, buf.length());
  EXPECT_EQ(0, buf.avail());
  EXPECT_STREQ("0123456789abcdef", buf.debugString());
  buf.reset();
  EXPECT_EQ(16, buf.avail());
}

TEST(LogStreamTest, FmtKeepsOnlyWhatFits) {
  Fmt wide("%40d", 1);
  EXPECT_EQ(31, wide.length());
  EXPECT_EQ(std::string(30, ' ') + " ", std::string(wide.data(), 31));
  LogStream s;
  s << wide;
  EXPECT_EQ(31, s.buffer().length());
}

TEST(LoggingDeathTest, FatalFlushesAndExitsWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Logger::setOutput(&defaultOutput);
        LOG_FATAL << "the end";
      },
      ::testing::ExitedWithCode(1), "");
  // The text reaches standard output before the exit.
  const testsupport::ChildResult child = testsupport::RunInChild([] {
    Logger::setOutput(&defaultOutput);
    errno = EACCES;
    LOG_SYSFATAL << "bye";
    return 0;
  });
  EXPECT_EQ(1, child.exit_code) << testsupport::Describe(child);
  EXPECT_NE(std::string::npos, child.output.find(std::string("FATAL ") + strerror(EACCES) +
                                                 " (errno=13) bye - logging.cc:"))
      << child.output;
}

}  // namespace
}  // namespace plinth
