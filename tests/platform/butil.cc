// butil stand-ins: CRC32C values and chaining; FATAL lines and CHECK.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>

#include <mutex>
#include <string>
#include <vector>

#include "butil/crc32c.h"
#include "butil/logging.h"
#include "tarn/base/logging.h"

namespace {

TEST(Crc32c, KnownValues) {
  EXPECT_EQ(butil::crc32c::Extend(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(butil::crc32c::Value("123456789", 9), 0xE3069283u);
  EXPECT_EQ(butil::crc32c::Value("", 0), 0u);
  const std::string zeros(32, '\0');
  EXPECT_EQ(butil::crc32c::Value(zeros.data(), zeros.size()), 0x8A9136AAu);
  const std::string ones(32, '\xff');
  EXPECT_EQ(butil::crc32c::Value(ones.data(), ones.size()), 0x62A8AB43u);
}

TEST(Crc32c, ExtendChainsAtEverySplit) {
  std::string data(4096 + 13, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
  const uint32_t whole = butil::crc32c::Value(data.data(), data.size());
  for (size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{64}, size_t{4095}, data.size()}) {
    const uint32_t head = butil::crc32c::Extend(0, data.data(), split);
    EXPECT_EQ(butil::crc32c::Extend(head, data.data() + split, data.size() - split), whole)
        << "split at " << split;
  }
  EXPECT_EQ(butil::crc32c::Extend(whole, data.data(), 0), whole);
}

// Captures what the framework's logger writes.
std::mutex g_mu;
std::vector<std::string> g_lines;
void capture(const char* msg, int len) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_lines.emplace_back(msg, static_cast<size_t>(len));
}

class ButilLogging : public ::testing::Test {
 protected:
  void SetUp() override {
    g_lines.clear();
    plinth::Logger::setOutput(&capture);
    logging::crash_on_fatal_log = false;
  }
  void TearDown() override { plinth::Logger::setOutput(nullptr); }
};

TEST_F(ButilLogging, CheckTextReachesTheLogAtErrorAndGoesOn) {
  const uint64_t before = logging::fatal_line_count();
  CHECK(0);
  CHECK(1 + 1 == 2) << "not written";
  LOG(FATAL) << "disk " << 3 << " lost";
  EXPECT_EQ(logging::fatal_line_count(), before + 2);
  ASSERT_EQ(g_lines.size(), 2u);
  EXPECT_NE(g_lines[0].find("Check failed: 0. "), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[0].find("ERROR"), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[0].find("butil.cc:"), std::string::npos) << g_lines[0];
  EXPECT_NE(g_lines[1].find("disk 3 lost"), std::string::npos) << g_lines[1];
}

TEST_F(ButilLogging, CheckAppendsTheStreamedText) {
  int len = 9000;
  CHECK(len <= 4096) << "len " << len;
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_NE(g_lines[0].find("Check failed: len <= 4096. len 9000"), std::string::npos)
      << g_lines[0];
}

void to_stderr(const char* msg, int len) { fwrite(msg, 1, static_cast<size_t>(len), stderr); }

TEST(ButilLoggingDeathTest, CrashFlagEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        plinth::Logger::setOutput(&to_stderr);
        logging::crash_on_fatal_log = true;
        CHECK(0);
      },
      ::testing::KilledBySignal(SIGABRT), "Check failed: 0\\. ");
}

}  // namespace
