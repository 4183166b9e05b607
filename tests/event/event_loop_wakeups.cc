// Posting to a sleeping event loop from other threads: posters skip the
// eventfd write while an earlier wake-up is still unread or while the loop
// watches its queue for an expected task, and no task may be left waiting in
// the queue for a wake-up that never comes.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tarn/loop.h"
#include "tarn/types.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

// Each poster hands a task over and waits until it has run before posting
// the next, so every post meets the loop either asleep or just finishing a
// drain: the moments where a lost wake-up would leave a task stranded. In
// the second case every task also tells the loop to expect the next one, so
// posts meet a loop watching its queue with the wake-up mark set by itself,
// or giving up the watch (the window is short next to a poster's turn on a
// loaded machine, so both happen).
TEST(EventLoopWakeupTest, PingPongPostersNeverStrandATask) {
  constexpr int kPosters = 4;
  constexpr int kRounds = 5000;
  for (const uint32_t expect_us : {0u, 30u}) {
    SCOPED_TRACE(expect_us == 0 ? "plain posts" : "loop expecting the next task");
    // Outlives the loop: a stranded task still runs when the loop stops.
    std::vector<std::atomic<int>> ran(kPosters);
    std::atomic<bool> stranded{false};
    WorkerThread thread("wakeups", nullptr, WorkerOption(), false);
    Worker* worker = thread.Start();
    ASSERT_NE(worker, nullptr);
    Loop* loop = worker->loop();
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
      posters.emplace_back([&, p] {
        for (int i = 1; i <= kRounds && !stranded.load(); ++i) {
          auto task = [&ran, p, loop, expect_us] {
            ran[p].fetch_add(1);
            if (expect_us != 0) loop->ExpectTaskWithin(expect_us);
          };
          if (loop->RunInLoop(task, true) != 0) return;
          while (ran[p].load() < i) {
            if (Clock::now() > deadline) {
              stranded.store(true);
              return;
            }
            std::this_thread::yield();
          }
        }
      });
    }
    for (auto& t : posters) t.join();
    EXPECT_FALSE(stranded.load());
    thread.Stop();
    for (int p = 0; p < kPosters; ++p) EXPECT_EQ(ran[p].load(), kRounds) << "poster " << p;
  }
}

// Bursts from several threads at once, then a pause long enough for the
// loop to fall asleep: every task of every burst runs.
TEST(EventLoopWakeupTest, BurstsFromManyThreadsAllRun) {
  WorkerThread thread("bursts", nullptr, WorkerOption(), false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  constexpr int kPosters = 4;
  constexpr int kBursts = 50;
  constexpr int kPerBurst = 200;
  std::atomic<int> ran{0};
  for (int b = 0; b < kBursts; ++b) {
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
      posters.emplace_back([&] {
        for (int i = 0; i < kPerBurst; ++i) {
          ASSERT_EQ(worker->loop()->RunInLoop([&] { ran.fetch_add(1); }, true), 0);
        }
      });
    }
    for (auto& t : posters) t.join();
    const int want = (b + 1) * kPosters * kPerBurst;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (ran.load() < want && Clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(ran.load(), want) << "burst " << b;
    if (b % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  thread.Stop();
}

}  // namespace
}  // namespace tarn
