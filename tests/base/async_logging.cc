// The asynchronous writer and its rolling files. Each case that starts a
// writer runs it in a forked child (the writer may take over standard output
// and error); the parent then examines the files the child left behind.
#include "tarn/base/async_logging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "butil/logging.h"
#include "gtest/gtest.h"
#include "support/child.h"
#include "support/pattern.h"
#include "tarn/base/file_util.h"
#include "tarn/base/log_file.h"
#include "tarn/base/logging.h"
#include "tarn/base/process_info.h"
#include "tarn/base/thread.h"
#include "tarn/lib_init.h"

namespace plinth {
namespace {

std::string makeTempDir() {
  char tmpl[] = "/tmp/plinth_log_XXXXXX";
  char* dir = mkdtemp(tmpl);
  return dir ? dir : std::string();
}

void removeTree(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  int rc = system(cmd.c_str());
  (void)rc;
}

// Log files of a directory, oldest first (names carry the time).
std::vector<std::string> listFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readAll(const std::string& path) {
  std::string content;
  FileUtil::readFile(path, 512 << 20, &content);
  return content;
}

AsyncLogging* g_async = nullptr;
void asyncOutput(const char* msg, int len) { g_async->append(msg, len); }
void asyncFlush() { g_async->flush_notify(); }
// As the library installs it: the lines reach the file before the caller
// goes on, however long a busy machine keeps the writer off its CPU.
void asyncFlushWaiting() { g_async->flush(5000); }

class AsyncLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { removeTree(dir_); }
  std::string dir_;
};

TEST_F(AsyncLoggingTest, FileNameCarriesTimeHostAndPid) {
  std::string base = dir_ + "/app";
  const testsupport::ChildResult child = testsupport::RunInChild(
  [&] {
    AsyncLogging log(base, 1 << 30, 1, false, false);
    log.start();
    g_async = &log;
    Logger::setOutput(&asyncOutput);
    LOG_INFO << "first line";
    LOG_WARN << "second line";
    log.stop();
    return 0;
  });
  ASSERT_EQ(0, child.exit_code) << testsupport::Describe(child);
  const int pid = child.pid;
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(1u, files.size());
  const std::string pattern("app\\.[0-9]{8}-[0-9]{6}\\." + ProcessInfo::hostname() + "\\." +
                            std::to_string(pid) + "\\.log");
  EXPECT_TRUE(testsupport::FullMatch(files[0], pattern)) << files[0];
  std::string content = readAll(dir_ + "/" + files[0]);
  EXPECT_NE(std::string::npos, content.find("INFO  first line - async_logging.cc:"));
  EXPECT_NE(std::string::npos, content.find("WARN  second line - async_logging.cc:"));
}

TEST_F(AsyncLoggingTest, RollsBySizeAtMostOncePerSecond) {
  std::string base = dir_ + "/roll";
  const int kLines = 60000;
  int64_t started = Timestamp::usec_now();
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              AsyncLogging log(base, 64 * 1024, 1, false, false);
              log.start();
              // Spread over about 2.5 s so several rolls are due.
              char line[64];
              for (int i = 0; i < kLines; ++i) {
                int n = snprintf(line, sizeof line, "line %d\n", i);
                log.append(line, n);
                if (i % 2000 == 0) {
                  log.flush_notify();
                  usleep(80 * 1000);
                }
              }
              log.stop();
              return 0;
            }).exit_code);
  double seconds = static_cast<double>(Timestamp::usec_now() - started) / 1e6;
  std::vector<std::string> files = listFiles(dir_);
  EXPECT_GE(files.size(), 2u);
  EXPECT_LE(files.size(), static_cast<size_t>(seconds) + 2);
  // Every line is in exactly one file, in order.
  std::string all;
  for (const std::string& f : files) all += readAll(dir_ + "/" + f);
  std::string expect;
  for (int i = 0; i < kLines; ++i) expect += "line " + std::to_string(i) + "\n";
  EXPECT_TRUE(all == expect) << "lost or reordered lines, got " << all.size() << " bytes";
}

TEST_F(AsyncLoggingTest, RollSizeZeroMeansNoSizeLimit) {
  std::string base = dir_ + "/zero";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              AsyncLogging log(base, 0, 1, false, false);
              log.start();
              for (int i = 0; i < 25; ++i) {
                log.append("tick\n", 5);
                log.flush_notify();
                usleep(100 * 1000);
              }
              log.stop();
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ(125u, readAll(dir_ + "/" + files[0]).size());
}

uint64_t g_fakeSpace = 0;
uint64_t fakeSpace(const char*) { return g_fakeSpace; }

TEST_F(AsyncLoggingTest, FreeSpaceGuardRefusesUntilALaterRoll) {
  std::string base = dir_ + "/space";
  std::string errPath = dir_ + "/stderr.txt";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              FILE* err = freopen(errPath.c_str(), "w", stderr);
              if (!err) return 2;
              g_fakeSpace = 100 << 20;
              LogFile::setSpaceProbe(&fakeSpace);
              LogFile file(base, 1000, false, false, 3, 1024);
              if (!file.writeRefused()) return 3;
              std::string block(600, 'a');
              file.append(block.data(), 600);
              file.append(block.data(), 600);  // over the roll size, same second
              sleep(1);
              g_fakeSpace = 400 << 20;
              file.append(block.data(), 600);  // rolls; space is fine now
              if (file.writeRefused()) return 4;
              std::string b(10, 'b');
              file.append(b.data(), 10);
              file.flush();
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(3u, files.size());  // two log files and the captured stderr
  EXPECT_EQ("", readAll(dir_ + "/" + files[0]));
  EXPECT_EQ("bbbbbbbbbb", readAll(dir_ + "/" + files[1]));
  EXPECT_EQ("filesystem available size less than 300M, forbit write\n", readAll(errPath));
}

TEST_F(AsyncLoggingTest, PrintfLandsInTheFileAfterRedirect) {
  std::string base = dir_ + "/redir";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              AsyncLogging log(base, 1 << 30, 1, false, true);
              log.start();
              printf("from printf %d\n", 7);
              fflush(stdout);
              fprintf(stderr, "from stderr\n");
              g_async = &log;
              Logger::setOutput(&asyncOutput);
              LOG_INFO << "a log line";
              log.stop();
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(1u, files.size());
  std::string content = readAll(dir_ + "/" + files[0]);
  EXPECT_NE(std::string::npos, content.find("from printf 7\n"));
  EXPECT_NE(std::string::npos, content.find("from stderr\n"));
  EXPECT_NE(std::string::npos, content.find("a log line"));
}

TEST_F(AsyncLoggingTest, EightThreadsLoseNothing) {
  std::string base = dir_ + "/many";
  const int kThreads = 8;
  const int kPerThread = 100000;
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              AsyncLogging log(base, 1 << 30, 1, false, false);
              log.start();
              g_async = &log;
              Logger::setOutput(&asyncOutput);
              Logger::setFlush(&asyncFlush);
              std::vector<std::unique_ptr<Thread>> threads;
              for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back(new Thread([t] {
                  for (int i = 0; i < kPerThread; ++i) LOG_WARN << "T" << t << " #" << i;
                }));
              }
              for (auto& th : threads) th->start();
              for (auto& th : threads) th->join();
              log.stop();
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(1u, files.size());
  std::string content = readAll(dir_ + "/" + files[0]);
  std::vector<int> next(kThreads, 0);
  size_t pos = 0;
  int lines = 0;
  bool ordered = true;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    ASSERT_NE(std::string::npos, end);
    size_t mark = content.find(" T", pos);
    ASSERT_LT(mark, end);
    // strtol rather than sscanf: sscanf measures the whole remaining text.
    char* rest = nullptr;
    int t = static_cast<int>(strtol(content.c_str() + mark + 2, &rest, 10));
    ASSERT_EQ(0, strncmp(rest, " #", 2));
    int i = static_cast<int>(strtol(rest + 2, nullptr, 10));
    ASSERT_TRUE(t >= 0 && t < kThreads);
    if (i != next[t]) ordered = false;
    next[t] = i + 1;
    ++lines;
    pos = end + 1;
  }
  EXPECT_TRUE(ordered);
  EXPECT_EQ(kThreads * kPerThread, lines);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kPerThread, next[t]);
}

TEST_F(AsyncLoggingTest, FailedRollKeepsWritingTheOldFile) {
  std::string sub = dir_ + "/sub";
  std::string moved = dir_ + "/moved";
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  std::string outPath = dir_ + "/stdout.txt";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              FILE* out = freopen(outPath.c_str(), "w", stdout);
              if (!out) return 2;
              LogFile file(sub + "/app", 100, false, false, 3, 1024);
              std::string first = file.fileName();
              file.append("before\n", 7);
              // The directory goes away under the open file.
              if (rename(sub.c_str(), moved.c_str()) != 0) return 3;
              sleep(1);
              std::string big(120, 'x');
              big += '\n';
              file.append(big.data(), static_cast<int>(big.size()));  // roll fails
              if (file.fileName() != first) return 4;
              file.append("after\n", 6);
              // The directory is back: the next roll (a second later) works.
              if (mkdir(sub.c_str(), 0755) != 0) return 5;
              sleep(1);
              file.append(big.data(), static_cast<int>(big.size()));
              if (file.fileName() == first) return 6;
              file.append("new\n", 4);
              file.flush();
              return 0;
            }).exit_code);
  std::vector<std::string> oldFiles = listFiles(moved);
  ASSERT_EQ(1u, oldFiles.size());
  std::string big(120, 'x');
  EXPECT_EQ("before\n" + big + "\nafter\n" + big + "\n", readAll(moved + "/" + oldFiles[0]));
  std::vector<std::string> newFiles = listFiles(sub);
  ASSERT_EQ(1u, newFiles.size());
  EXPECT_EQ("new\n", readAll(sub + "/" + newFiles[0]));
  EXPECT_NE(std::string::npos, readAll(outPath).find("log directory is not exist!"));
}

TEST_F(AsyncLoggingTest, MissingDirectoryAtStartIsRetried) {
  std::string sub = dir_ + "/later";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              FILE* out = freopen((dir_ + "/stdout.txt").c_str(), "w", stdout);
              if (!out) return 2;
              LogFile file(sub + "/app", 0, false, false, 3, 1024);
              file.append("lost\n", 5);
              if (mkdir(sub.c_str(), 0755) != 0) return 3;
              sleep(1);
              file.append("kept\n", 5);  // opens the file
              file.append("more\n", 5);
              file.flush();
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(sub);
  ASSERT_EQ(1u, files.size());
  EXPECT_EQ("more\n", readAll(sub + "/" + files[0]));
}

TEST_F(AsyncLoggingTest, FatalLineReachesTheFile) {
  std::string base = dir_ + "/fatal";
  int code = testsupport::RunInChild([&] {
    AsyncLogging* log = new AsyncLogging(base, 1 << 30, 1, false, false);
    log->start();
    g_async = log;
    Logger::setOutput(&asyncOutput);
    Logger::setFlush(&asyncFlushWaiting);
    LOG_FATAL << "last words";
    return 0;
  }).exit_code;
  EXPECT_EQ(1, code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(1u, files.size());
  EXPECT_NE(std::string::npos, readAll(dir_ + "/" + files[0]).find("FATAL last words"));
}

TEST_F(AsyncLoggingTest, FlushReturnsOnceEarlierLinesAreInTheFile) {
  std::string base = dir_ + "/flush";
  const testsupport::ChildResult child = testsupport::RunInChild([&] {
    // A writer that would otherwise sleep for a minute between passes.
    AsyncLogging log(base, 1 << 30, 60, false, false);
    CHILD_EXPECT(!log.flush(1000));  // no writer yet
    log.start();
    g_async = &log;
    Logger::setOutput(&asyncOutput);
    for (int i = 0; i < 3; ++i) {
      LOG_INFO << "flushed line " << i;
      CHILD_EXPECT(log.flush(30000));
      const std::vector<std::string> files = listFiles(dir_);
      CHILD_EXPECT(files.size() == 1u);
      const std::string content = readAll(dir_ + "/" + files[0]);
      CHILD_EXPECT(content.find("flushed line " + std::to_string(i)) != std::string::npos);
    }
    log.stop();
    CHILD_EXPECT(!log.flush(1000));  // the writer is gone
    return 0;
  });
  EXPECT_TRUE(child.ok()) << testsupport::Describe(child);
}

// The writer is never stopped: what a process logs just before it ends must
// still reach the file, on a normal exit and on a FATAL line that crashes it.
struct LastLineCase {
  const char* what;
  std::function<void()> end;  // ends the process after the last line
  int exit_code;
  int signal;
};

TEST_F(AsyncLoggingTest, LastLinesReachTheFileWhenTheProcessEnds) {
  const LastLineCase cases[] = {
      {"normal exit", [] { exit(0); }, 0, 0},
      {"exit with a status", [] { exit(3); }, 3, 0},
      {"host FATAL line that crashes",
       [] {
         logging::crash_on_fatal_log.store(true);
         LOG(FATAL) << "crashing now";
       },
       -1, SIGABRT},
  };
  int n = 0;
  for (const LastLineCase& c : cases) {
    const std::string sub = dir_ + "/" + std::to_string(n++);
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    const testsupport::ChildResult child = testsupport::RunInChild([&] {
      tarn::LibOption option;
      option.log_file = sub + "/app";
      option.log_level = "info";
      option.log_roll_size = 1024;
      tarn::LibInit(option);
      LOG_INFO << "the last line before the end";
      c.end();
      return 0;
    });
    EXPECT_EQ(c.exit_code, child.exit_code) << c.what << "\n" << testsupport::Describe(child);
    EXPECT_EQ(c.signal, child.signal) << c.what;
    const std::vector<std::string> files = listFiles(sub);
    ASSERT_EQ(1u, files.size()) << c.what;
    const std::string content = readAll(sub + "/" + files[0]);
    EXPECT_NE(std::string::npos, content.find("INFO  the last line before the end"))
        << c.what << "\n" << content;
    if (c.signal != 0) {
      EXPECT_NE(std::string::npos, content.find("crashing now")) << c.what;
    }
  }
}

// A settable clock for the daily roll and the file names.
std::atomic<time_t> g_fakeNow{0};
time_t fakeClock() { return g_fakeNow.load(); }

TEST_F(AsyncLoggingTest, RollsAtMidnightUtcAndNotBefore) {
  std::string base = dir_ + "/day";
  const time_t kMidnight = 1796601600;  // a UTC day boundary
  ASSERT_EQ(0, kMidnight % 86400);
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              g_fakeNow = kMidnight - 10;
              LogFile::setClock(&fakeClock);
              // Checks the time after every line.
              LogFile file(base, 0, false, false, 3, 1);
              file.append("a\n", 2);
              g_fakeNow = kMidnight - 1;
              file.append("b\n", 2);  // same day: no roll
              g_fakeNow = kMidnight + 1;
              file.append("c\n", 2);  // written, then the new day rolls
              file.append("d\n", 2);
              g_fakeNow = kMidnight + 5;
              file.append("e\n", 2);
              file.flush();
              LogFile::setClock(nullptr);
              return 0;
            }).exit_code);
  std::vector<std::string> files = listFiles(dir_);
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ("a\nb\nc\n", readAll(dir_ + "/" + files[0]));
  EXPECT_EQ("d\ne\n", readAll(dir_ + "/" + files[1]));
}

// The writer thread parks inside the clock while g_parkWriter is set, so the
// test can pile up blocks behind it.
std::atomic<bool> g_parkWriter{false};
std::atomic<bool> g_writerParked{false};
time_t parkingClock() {
  while (g_parkWriter.load()) {
    g_writerParked = true;
    usleep(1000);
  }
  // Each roll sees a later second, so every roll opens a new file.
  return g_fakeNow.fetch_add(1) + 1;
}

TEST_F(AsyncLoggingTest, BacklogBeyondTheLimitIsDroppedAndReported) {
  std::string base = dir_ + "/drop";
  const int kBlocks = 30;
  const int kLineSize = 1000;
  const int kLinesPerBlock = detail::kLargeBuffer / kLineSize;
  const int kLines = kBlocks * kLinesPerBlock + 1;
  std::string errPath = dir_ + "/stderr.txt";
  ASSERT_EQ(0, testsupport::RunInChild([&] {
              FILE* err = freopen(errPath.c_str(), "w", stderr);
              if (!err) return 2;
              g_fakeNow = 1796601600;
              LogFile::setClock(&parkingClock);
              // A roll size of 1 byte rolls after every block, which calls
              // the clock from the writer thread.
              AsyncLogging log(base, 1, 1, false, false);
              log.start();
              g_parkWriter = true;
              char line[kLineSize];
              memset(line, 'x', sizeof line);
              auto put = [&](int i) {
                int n = snprintf(line, sizeof line, "%09d", i);
                line[n] = ' ';
                line[kLineSize - 1] = '\n';
                log.append(line, kLineSize);
              };
              put(0);
              log.flush_notify();
              while (!g_writerParked.load()) usleep(1000);
              for (int i = 1; i < kLines; ++i) put(i);
              g_parkWriter = false;
              log.stop();
              LogFile::setClock(nullptr);
              return 0;
            }).exit_code);
  std::string all;
  for (const std::string& f : listFiles(dir_)) {
    if (f != "stderr.txt") all += readAll(dir_ + "/" + f);
  }
  const std::string kReport = "Dropped log messages at ";
  size_t report = all.find(kReport);
  ASSERT_NE(std::string::npos, report);
  EXPECT_EQ(std::string::npos, all.find(kReport, report + 1)) << "one report only";
  EXPECT_NE(std::string::npos, readAll(errPath).find(kReport));
  // The report counts the blocks it dropped; two of the pile are kept.
  size_t counted = all.find(", ", report);
  ASSERT_NE(std::string::npos, counted);
  const long dropped = strtol(all.c_str() + counted + 2, nullptr, 10);
  EXPECT_GE(dropped, kBlocks - 2 - 1);

  // What reached the files: the first line, the kept blocks in order, and
  // whatever was appended after the dropping pass; never a torn line.
  std::vector<int> seen;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    ASSERT_NE(std::string::npos, end);
    if (all.compare(pos, kReport.size(), kReport) != 0) {
      ASSERT_EQ(static_cast<size_t>(kLineSize - 1), end - pos) << "torn line";
      seen.push_back(static_cast<int>(strtol(all.c_str() + pos, nullptr, 10)));
    }
    pos = end + 1;
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(0, seen.front());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_LT(seen.size(), static_cast<size_t>(kLines - (dropped - 1) * kLinesPerBlock));
  // A block holds one line less than it could: it keeps room for its NUL.
  EXPECT_GE(seen.size(), static_cast<size_t>(2 * (kLinesPerBlock - 1)));
}


// A writer that cannot write (a disk or pipe that takes nothing) keeps one
// flush waiting for its whole timeout; later flushes return at once until
// the writer finishes a pass again.
TEST_F(AsyncLoggingTest, FlushAfterATimedOutFlushDoesNotWaitWhileTheWriterIsStuck) {
  std::string base = dir_ + "/stuck";
  const testsupport::ChildResult child = testsupport::RunInChild([&] {
    g_fakeNow = 1796601600;
    LogFile::setClock(&parkingClock);
    AsyncLogging log(base, 1, 60, false, false);  // rolls, so reads the clock, per block
    log.start();
    g_parkWriter = true;
    log.append("parked\n", 7);
    log.flush_notify();
    while (!g_writerParked.load()) usleep(1000);
    CHILD_EXPECT(!log.flush(200));
    const auto start = std::chrono::steady_clock::now();
    CHILD_EXPECT(!log.flush(60000));
    CHILD_EXPECT(std::chrono::steady_clock::now() - start < std::chrono::seconds(30));
    g_parkWriter = false;
    log.append("moving again\n", 13);
    // Once the writer has finished the pass it was stuck in, flushes wait
    // for it again.
    bool flushed = false;
    for (int i = 0; i < 3000 && !flushed; ++i) {
      flushed = log.flush(60000);
      if (!flushed) usleep(10000);
    }
    CHILD_EXPECT(flushed);
    log.stop();
    LogFile::setClock(nullptr);
    return 0;
  });
  EXPECT_TRUE(child.ok()) << testsupport::Describe(child);
  std::string all;
  for (const std::string& f : listFiles(dir_)) all += readAll(dir_ + "/" + f);
  EXPECT_NE(std::string::npos, all.find("moving again"));
}

// The writer parks inside the clock on every call past g_clockOpen.
std::atomic<int> g_clockCalls{0};
std::atomic<int> g_clockOpen{1 << 30};
time_t gatedClock() {
  const int call = ++g_clockCalls;
  while (call > g_clockOpen.load()) usleep(1000);
  return g_fakeNow.fetch_add(1) + 1;
}

// A flush that times out just after the writer finished a pass (not the
// one serving it) does not take the writer for stuck: the next flush still
// waits for it.
TEST_F(AsyncLoggingTest, FlushTimingOutAsTheWriterEndsAPassLeavesItTrusted) {
  std::string base = dir_ + "/moving";
  const testsupport::ChildResult child = testsupport::RunInChild([&] {
    g_fakeNow = 1796601600;
    LogFile::setClock(&gatedClock);
    AsyncLogging log(base, 1, 60, false, false);  // rolls, so reads the clock, per block
    log.start();
    log.append("first\n", 6);
    CHILD_EXPECT(log.flush(30000));
    // The next pass parks at its roll.
    const int calls = g_clockCalls.load();
    g_clockOpen = calls;
    log.append("a\n", 2);
    log.flush_notify();
    while (g_clockCalls.load() <= calls) usleep(1000);
    log.append("b\n", 2);
    bool timed_out_flush = true;
    std::atomic<bool> waiting{false};
    std::thread waiter([&] {
      waiting = true;
      timed_out_flush = log.flush(3000);
    });
    // The pass must end while the waiter waits: on a loaded machine its
    // thread may take a long while to get there.
    while (!waiting.load()) usleep(1000);
    usleep(300000);
    // The parked pass ends; the next one (with "b") parks at its roll until
    // after the waiter's deadline.
    g_clockOpen = calls + 1;
    waiter.join();
    CHILD_EXPECT(!timed_out_flush);
    std::thread opener([] {
      usleep(200000);
      g_clockOpen = 1 << 30;
    });
    CHILD_EXPECT(log.flush(30000));
    opener.join();
    log.stop();
    LogFile::setClock(nullptr);
    return 0;
  });
  EXPECT_TRUE(child.ok()) << testsupport::Describe(child);
}

time_t fixedClock() { return 1796601600; }
uint64_t plentyOfSpace(const char*) { return 1ull << 40; }

// The way out of a process shares one deadline for the log: a FATAL line
// waits for a stuck writer, then exit's own flush does not wait again.
TEST_F(AsyncLoggingTest, FatalLineAndExitWaitForAStuckLogFileOnce) {
  std::string base = dir_ + "/fifo";
  const auto start = std::chrono::steady_clock::now();
  const testsupport::ChildResult child = testsupport::RunInChild([&] {
    LogFile::setClock(&fixedClock);
    LogFile::setSpaceProbe(&plentyOfSpace);
    time_t now;
    const std::string name = LogFile::getLogFileName(base, &now);
    CHILD_EXPECT(mkfifo(name.c_str(), 0600) == 0);
    // A reader that never reads: writes stall once the pipe is full.
    CHILD_EXPECT(open(name.c_str(), O_RDONLY | O_NONBLOCK) >= 0);
    tarn::LibOption option;
    option.log_file = base;
    option.log_level = "info";
    tarn::LibInit(option);
    const std::string filler(2000, 'x');
    for (int i = 0; i < 1000; ++i) LOG_INFO << filler;  // far more than a pipe holds
    LOG_FATAL << "stuck";
    return 0;
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(1, child.exit_code) << testsupport::Describe(child);
  // One 5 s wait and the FATAL line's pause; two waits would pass 10 s.
  EXPECT_LT(seconds, 9.0);
}

}  // namespace
}  // namespace plinth
