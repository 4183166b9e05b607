// Time stamps, calendar and zone conversions, process facts, file helpers,
// exceptions and the TSC rate.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "gtest/gtest.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/date.h"
#include "tarn/base/exception.h"
#include "tarn/base/file_util.h"
#include "tarn/base/process_info.h"
#include "tarn/base/time_cycle.h"
#include "tarn/base/time_zone.h"
#include "tarn/base/timestamp.h"

namespace plinth {
namespace {

std::string tempDir() {
  char tmpl[] = "/tmp/plinth_util_XXXXXX";
  char* dir = mkdtemp(tmpl);
  return dir ? dir : "/tmp";
}

TEST(TimestampTest, TextForms) {
  EXPECT_EQ("0.000001", Timestamp(1).toString());
  EXPECT_EQ("1706691909.004211", Timestamp(1706691909004211LL).toString());
  // 2024-01-31 09:05:09 UTC
  Timestamp t(1706691909004211LL);
  EXPECT_EQ("20240131 09:05:09.004211", t.toFormattedString());
  EXPECT_EQ("20240131 09:05:09", t.toFormattedString(false));
  int64_t before = Timestamp::usec_now();
  Timestamp now = Timestamp::now();
  EXPECT_LE(before, now.microSecondsSinceEpoch());
  EXPECT_TRUE(now.valid());
  EXPECT_NEAR(1.5, timeDifference(addTime(now, 1.5), now), 1e-6);
}

TEST(DateTest, JulianDayRoundTrips) {
  EXPECT_EQ("1970-01-01", Date(1970, 1, 1).toIsoString());
  EXPECT_EQ(2440588, Date::kJulianDayOf1970_01_01);
  Date leap(2000, 2, 29);
  Date::YearMonthDay ymd = Date(leap.julianDayNumber()).yearMonthDay();
  EXPECT_EQ(2000, ymd.year);
  EXPECT_EQ(2, ymd.month);
  EXPECT_EQ(29, ymd.day);
  EXPECT_EQ(4, Date(1970, 1, 1).weekDay());  // a Thursday
  EXPECT_EQ(Date(2000, 3, 1).julianDayNumber(), leap.julianDayNumber() + 1);
  // Every day over several centuries survives the round trip.
  for (int jdn = Date(1899, 12, 25).julianDayNumber(); jdn < Date(2101, 1, 5).julianDayNumber();
       ++jdn) {
    Date d(jdn);
    ASSERT_EQ(jdn, Date(d.year(), d.month(), d.day()).julianDayNumber());
  }
  struct tm t = {};
  t.tm_year = 124;
  t.tm_mon = 0;
  t.tm_mday = 31;
  EXPECT_EQ("2024-01-31", Date(t).toIsoString());
}

TEST(TimeZoneTest, UtcAndFixedOffsetConversions) {
  struct tm utc = TimeZone::toUtcTime(1706691909, true);
  EXPECT_EQ(124, utc.tm_year);
  EXPECT_EQ(0, utc.tm_mon);
  EXPECT_EQ(31, utc.tm_mday);
  EXPECT_EQ(9, utc.tm_hour);
  EXPECT_EQ(5, utc.tm_min);
  EXPECT_EQ(9, utc.tm_sec);
  EXPECT_EQ(30, utc.tm_yday);
  EXPECT_EQ(3, utc.tm_wday);  // Wednesday
  EXPECT_STREQ("GMT", utc.tm_zone);
  EXPECT_EQ(1706691909, TimeZone::fromUtcTime(utc));
  EXPECT_EQ(0, TimeZone::toUtcTime(1706691909).tm_yday);  // only when asked

  // One second before the epoch.
  struct tm before = TimeZone::toUtcTime(-1);
  EXPECT_EQ(69, before.tm_year);
  EXPECT_EQ(11, before.tm_mon);
  EXPECT_EQ(31, before.tm_mday);
  EXPECT_EQ(23, before.tm_hour);
  EXPECT_EQ(59, before.tm_sec);
  EXPECT_EQ(-1, TimeZone::fromUtcTime(1969, 12, 31, 23, 59, 59));

  TimeZone beijing(8 * 3600, "CST");
  ASSERT_TRUE(beijing.valid());
  struct tm local = beijing.toLocalTime(1706691909);
  EXPECT_EQ(17, local.tm_hour);
  EXPECT_STREQ("CST", local.tm_zone);
  EXPECT_EQ(8 * 3600, local.tm_gmtoff);
  EXPECT_EQ(1706691909, beijing.fromLocalTime(local));
  // Crossing midnight moves the date.
  struct tm late = beijing.toLocalTime(TimeZone::fromUtcTime(2024, 12, 31, 20, 0, 0));
  EXPECT_EQ(125, late.tm_year);
  EXPECT_EQ(1, late.tm_mday);
  EXPECT_FALSE(TimeZone().valid());
}

TEST(ProcessInfoTest, Basics) {
  EXPECT_EQ(getpid(), ProcessInfo::pid());
  EXPECT_EQ(std::to_string(getpid()), ProcessInfo::pidString());
  EXPECT_EQ(getuid(), ProcessInfo::uid());
  EXPECT_EQ(geteuid(), ProcessInfo::euid());
  EXPECT_FALSE(ProcessInfo::username().empty());
  char host[256] = {};
  gethostname(host, sizeof host);
  EXPECT_EQ(host, ProcessInfo::hostname());
  EXPECT_FALSE(ProcessInfo::isDebugBuild());
  EXPECT_GT(ProcessInfo::clockTicksPerSecond(), 0);
  EXPECT_EQ(sysconf(_SC_PAGESIZE), ProcessInfo::pageSize());
  EXPECT_LE(ProcessInfo::startTime().microSecondsSinceEpoch(), Timestamp::usec_now());

  // The program's own name, as the kernel keeps it: its first 15 characters.
  const std::string program = program_invocation_short_name;
  EXPECT_EQ(program.substr(0, 15), ProcessInfo::procname());
  EXPECT_EQ("a (b) c", std::string(ProcessInfo::procname("1 (a (b) c) R 1")));
  EXPECT_NE(std::string::npos, ProcessInfo::exePath().find("/" + program));
  EXPECT_NE(std::string::npos, ProcessInfo::procStatus().find("Threads:"));
  EXPECT_EQ(0u, ProcessInfo::procStat().find(std::to_string(getpid()) + " ("));
  EXPECT_EQ(0u, ProcessInfo::threadStat().find(std::to_string(CurrentThread::tid()) + " ("));
  EXPECT_EQ(1, ProcessInfo::numThreads());
  EXPECT_EQ(1u, ProcessInfo::threads().size());

  int opened = ProcessInfo::openedFiles();
  int fd = dup(0);
  EXPECT_EQ(opened + 1, ProcessInfo::openedFiles());
  close(fd);
  EXPECT_GE(ProcessInfo::maxOpenFiles(), opened);
  EXPECT_GE(ProcessInfo::cpuTime().total(), 0.0);
}

TEST(FileUtilTest, ReadSmallFile) {
  std::string dir = tempDir();
  std::string path = dir + "/small.txt";
  std::string text(70000, 'q');
  text += "tail";
  std::ofstream(path) << text;

  std::string content;
  int64_t size = 0, mtime = 0, ctime = 0;
  EXPECT_EQ(0, FileUtil::readFile(path, 1 << 20, &content, &size, &mtime, &ctime));
  EXPECT_EQ(text, content);
  EXPECT_EQ(static_cast<int64_t>(text.size()), size);
  EXPECT_GT(mtime, 0);
  EXPECT_GT(ctime, 0);

  EXPECT_EQ(0, FileUtil::readFile(path, 10, &content));
  EXPECT_EQ("qqqqqqqqqq", content);

  FileUtil::ReadSmallFile small(path);
  int n = 0;
  EXPECT_EQ(0, small.readToBuffer(&n));
  EXPECT_EQ(FileUtil::ReadSmallFile::kBufferSize - 1, n);
  EXPECT_EQ(static_cast<size_t>(n), strlen(small.buffer()));

  EXPECT_EQ(ENOENT, FileUtil::readFile(dir + "/missing", 100, &content));
  EXPECT_EQ(EISDIR, FileUtil::readFile(dir, 100, &content, &size));
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(FileUtilTest, AppendFileCountsAndSurvivesAFailedOpen) {
  std::string dir = tempDir();
  std::string path = dir + "/append.log";
  {
    FileUtil::AppendFile file(path);
    ASSERT_TRUE(file.isOpen());
    file.append("abc", 3);
    file.DummyIncWrittenBytes(10);
    file.append("de\n", 3);
    EXPECT_EQ(16u, file.writtenBytes());
  }
  std::string content;
  FileUtil::readFile(path, 100, &content);
  EXPECT_EQ("abcde\n", content);

  FileUtil::AppendFile lost(dir + "/no/such/dir/x.log");
  EXPECT_FALSE(lost.isOpen());
  lost.append("xyz", 3);
  lost.flush();
  EXPECT_EQ(3u, lost.writtenBytes());
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(FileUtilTest, AvailableSpace) {
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(),
            FileUtil::GetAvailableSpace("/no/such/path/for/plinth"));
  uint64_t space = FileUtil::GetAvailableSpace("/tmp");
  EXPECT_GT(space, 0u);
  EXPECT_LT(space, std::numeric_limits<uint64_t>::max());
}

TEST(ExceptionTest, CarriesMessageAndStack) {
  try {
    throw Exception(std::string("broken"));
  } catch (const Exception& ex) {
    EXPECT_STREQ("broken", ex.what());
    EXPECT_NE(nullptr, strchr(ex.stackTrace(), '\n'));
  }
}

TEST(TimeCycleTest, RateIsNeverZero) {
  ASSERT_GT(TimeCycle::tsc_rate_, 1000000u);
  EXPECT_EQ(TimeCycle::tsc_rate_ / 1000000, TimeCycle::tsc_rate_mhz_);
  // The rate matches the monotonic clock; wide bounds for a loaded machine.
  double mhz = detail::tsc_mhz_against_monotonic_raw(100 * 1000);
  EXPECT_NEAR(mhz, static_cast<double>(TimeCycle::tsc_rate_mhz_), mhz * 0.2);
  TimeCycle a = TimeCycle::now();
  TimeCycle b = TimeCycle::now();
  EXPECT_LE(a, b);
}

double g_remeasured[3];
int g_remeasureCalls = 0;
double fakeRemeasure() { return g_remeasured[g_remeasureCalls++]; }

double threadCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Every process that loads the library samples the rate once: the sampling
// waits about 0.2 s, and must not spend that long on a CPU.
TEST(TimeCycleTest, SamplingWaitsMostlyAsleep) {
  const double before = threadCpuSeconds();
  const double mhz = detail::sample_tsc_mhz();
  const double cpu = threadCpuSeconds() - before;
  EXPECT_GT(mhz, 0.0);
  EXPECT_LT(cpu, 0.1) << "CPU seconds spent sampling";
}

// Wall clocks that run for a few readings, then step back an hour or stop:
// the sampling runs while the library loads and must not wait out the step.
int g_wallReadings = 0;
bool g_wallStops = false;
struct timeval g_wallStoppedAt;

int steppingWallClock(struct timeval* now) {
  if (g_wallReadings++ < 5 || !g_wallStops) gettimeofday(now, nullptr);
  if (g_wallReadings <= 5) {
    g_wallStoppedAt = *now;
  } else if (g_wallStops) {
    *now = g_wallStoppedAt;
  } else {
    now->tv_sec -= 3600;
  }
  return 0;
}

TEST(TimeCycleTest, ClockStepVoidsSampling) {
  for (bool stops : {false, true}) {
    g_wallReadings = 0;
    g_wallStops = stops;
    EXPECT_EQ(0.0, detail::sample_tsc_mhz_against(&steppingWallClock)) << "stops: " << stops;
  }
}

TEST(TimeCycleTest, ZeroFiguresAreNeverAccepted) {
  // Either source alone is enough; both missing gives 0 for the caller to act on.
  EXPECT_EQ(2400.0, detail::combine_cpu_mhz(0, 2400.0));
  EXPECT_EQ(2400.0, detail::combine_cpu_mhz(2400.0, 0));
  EXPECT_EQ(0.0, detail::combine_cpu_mhz(0, 0));
  EXPECT_EQ(2000.0, detail::combine_cpu_mhz(2400.0, 2000.0));  // sampled wins beyond 2 %
  EXPECT_EQ(2400.0, detail::combine_cpu_mhz(2400.0, 2401.0));

  g_remeasured[0] = 0;
  g_remeasured[1] = 0.5;
  g_remeasured[2] = 3000.5;
  g_remeasureCalls = 0;
  EXPECT_EQ(3000500000u, detail::resolve_tsc_rate(0, &fakeRemeasure, 3));
  EXPECT_EQ(3, g_remeasureCalls);
  g_remeasured[2] = 0;
  g_remeasureCalls = 0;
  EXPECT_EQ(0u, detail::resolve_tsc_rate(0, &fakeRemeasure, 3));
  g_remeasureCalls = 0;
  EXPECT_EQ(2100000000u, detail::resolve_tsc_rate(2100.0, &fakeRemeasure, 3));
  EXPECT_EQ(0, g_remeasureCalls);
}

TEST(TimeCycleTest, CpuinfoParsing) {
  std::string dir = tempDir();
  std::string path = dir + "/cpuinfo";
  std::ofstream(path) << "processor\t: 0\nmodel name\t: x\n";
  EXPECT_EQ(0.0, detail::cpu_mhz_from_cpuinfo(path.c_str(), 1));
  std::ofstream(path) << "processor\t: 0\ncpu MHz\t\t: 2394.374\nprocessor\t: 1\n"
                         "cpu MHz\t\t: 2394.374\n";
  EXPECT_DOUBLE_EQ(2394.374, detail::cpu_mhz_from_cpuinfo(path.c_str(), 0));
  EXPECT_EQ(0.0, detail::cpu_mhz_from_cpuinfo((dir + "/none").c_str(), 1));
  EXPECT_GT(get_cpu_mhz(1), 0.0);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace plinth
