// Threads, their identity, the latch and the timed condition wait.
#include "tarn/base/thread.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "support/child.h"
#include "tarn/base/condition.h"
#include "tarn/base/count_down_latch.h"
#include "tarn/base/current_thread.h"

namespace plinth {
namespace {

std::string kernelThreadName() {
  char name[32] = {};
  prctl(PR_GET_NAME, name);
  return name;
}

TEST(ThreadTest, NamingNumberingAndIdentity) {
  // Creation numbers are process-wide; this test only relies on the order.
  int base = Thread::numCreated();
  std::string innerName, innerKernelName;
  int innerTid = 0;
  Thread unnamed([&] {
    innerName = CurrentThread::name();
    innerKernelName = kernelThreadName();
    innerTid = CurrentThread::tid();
  });
  EXPECT_EQ("Thread" + std::to_string(base), unnamed.name());
  Thread named([] {}, "a-rather-long-thread-name");
  EXPECT_EQ("a-rather-long-thread-name", named.name());
  Thread next([] {});
  EXPECT_EQ("Thread" + std::to_string(base + 2), next.name());
  EXPECT_EQ(base + 3, Thread::numCreated());

  EXPECT_FALSE(unnamed.started());
  unnamed.start();
  EXPECT_TRUE(unnamed.started());
  EXPECT_GT(unnamed.tid(), 0);  // known as soon as start() returns
  EXPECT_EQ(0, unnamed.join());
  EXPECT_EQ(unnamed.name(), innerName);
  EXPECT_EQ(unnamed.name(), innerKernelName);
  EXPECT_EQ(unnamed.tid(), innerTid);
  EXPECT_NE(CurrentThread::tid(), innerTid);

  std::string kernelName;
  Thread longName([&] { kernelName = kernelThreadName(); }, "a-rather-long-thread-name");
  longName.start();
  longName.join();
  EXPECT_EQ("a-rather-long-t", kernelName);  // the kernel keeps 15 characters
}

TEST(ThreadTest, MainAndForeignThreads) {
  EXPECT_STREQ("main", CurrentThread::name());
  EXPECT_TRUE(CurrentThread::isMainThread());
  EXPECT_EQ(getpid(), CurrentThread::tid());
  char expect[32];
  snprintf(expect, sizeof expect, "%5d ", CurrentThread::tid());
  EXPECT_EQ(std::string(expect), std::string(CurrentThread::tidString(),
                                             CurrentThread::tidStringLength()));

  // A thread plinth did not start is "unknown" and numbered on first use.
  std::string name;
  uint32_t first = 0, again = 0, mine = CurrentThread::tno();
  bool isMain = true;
  std::thread foreign([&] {
    name = CurrentThread::name();
    first = CurrentThread::tno();
    again = CurrentThread::tno();
    isMain = CurrentThread::isMainThread();
  });
  foreign.join();
  EXPECT_EQ("unknown", name);
  EXPECT_EQ(first, again);
  EXPECT_NE(mine, first);
  EXPECT_FALSE(isMain);
  EXPECT_EQ(mine, CurrentThread::tno());
}

TEST(ThreadTest, ForkedChildHasItsOwnTid) {
  const int parentTid = CurrentThread::tid();
  const testsupport::ChildResult child = testsupport::RunInChild([parentTid] {
    const bool ok = CurrentThread::tid() == getpid() && CurrentThread::tid() != parentTid &&
                    strcmp(CurrentThread::name(), "main") == 0;
    return ok ? 0 : 1;
  });
  EXPECT_EQ(0, child.exit_code) << testsupport::Describe(child);
}

TEST(ThreadTest, ManyThreadsGetDistinctTidsAndNumbers) {
  const int kThreads = 8;
  std::vector<int> tids(kThreads);
  std::vector<uint32_t> tnos(kThreads);
  std::vector<std::unique_ptr<Thread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(new Thread([&, i] {
      tids[i] = CurrentThread::tid();
      tnos[i] = CurrentThread::tno();
    }));
  }
  for (auto& t : threads) t->start();
  for (auto& t : threads) t->join();
  std::sort(tids.begin(), tids.end());
  std::sort(tnos.begin(), tnos.end());
  EXPECT_EQ(tids.end(), std::adjacent_find(tids.begin(), tids.end()));
  EXPECT_EQ(tnos.end(), std::adjacent_find(tnos.begin(), tnos.end()));
}

TEST(ThreadDeathTest, PlinthExceptionAbortsWithStackTrace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Thread t([] { throw std::runtime_error("boom"); }, "thrower");
        t.start();
        t.join();
      },
      "exception caught in Thread thrower\nreason: boom");
}

TEST(CountDownLatchTest, ReleasesAllWaitersAtZero) {
  CountDownLatch latch(3);
  std::atomic<int> passed{0};
  std::vector<std::unique_ptr<Thread>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back(new Thread([&] {
      latch.wait();
      ++passed;
    }));
    waiters.back()->start();
  }
  latch.countDown();
  latch.countDown();
  EXPECT_EQ(1, latch.getCount());
  EXPECT_EQ(0, passed.load());
  latch.countDown();
  for (auto& t : waiters) t->join();
  EXPECT_EQ(4, passed.load());
  EXPECT_EQ(0, latch.getCount());
}

TEST(ConditionTest, WaitForSecondsTimesOutOrWakes) {
  std::mutex mutex;
  Condition cond(mutex);
  auto start = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(cond.waitForSeconds(0.5));
  }
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.45);
  EXPECT_LT(waited, 10.0);

  bool ready = false;
  bool timedOut = true;
  Thread waker([&] {
    std::lock_guard<std::mutex> lock(mutex);
    ready = true;
    cond.notifyAll();
  });
  {
    std::lock_guard<std::mutex> lock(mutex);
    waker.start();
    while (!ready) timedOut = cond.waitForSeconds(30);
  }
  waker.join();
  EXPECT_FALSE(timedOut);
}

}  // namespace
}  // namespace plinth
