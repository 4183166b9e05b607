// Timers of a loop on a real worker thread: ordering, periodic timers,
// cancellation from the loop and from other threads.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/wait.h"
#include "support/worker.h"
#include "tarn/base/time_cycle.h"
#include "tarn/loop.h"
#include "tarn/worker.h"

namespace tarn {
namespace {

using std::chrono::seconds;

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_.reset(new testsupport::WorkerOnThread("timer-test"));
    worker_ = thread_->worker();
    ASSERT_NE(worker_, nullptr);
    loop_ = worker_->loop();
    base_timers_ = LiveTimers();  // the worker's own periodic work
  }
  void TearDown() override { thread_.reset(); }

  // Waits (generously) until pred holds, checking on the loop thread.
  bool WaitFor(const std::function<bool()>& pred) {
    return testsupport::WaitFor([&] {
      bool ok = false;
      testsupport::RunSync(worker_, [&] { ok = pred(); });
      return ok;
    });
  }
  // Timers live besides the worker's own.
  size_t LiveTimers() {
    size_t n = 0;
    loop_->RunInLoop([&] { n = loop_->timer_queue()->size(); }, false);
    return n - base_timers_;
  }

  std::unique_ptr<testsupport::WorkerOnThread> thread_;
  Worker* worker_ = nullptr;
  Loop* loop_ = nullptr;
  size_t base_timers_ = 0;
};

TEST_F(TimerTest, EqualExpiriesRunInInsertionOrder) {
  std::vector<int> order;
  plinth::TimeCycle when(plinth::rdtsc() + plinth::TimeCycle::tsc_rate_ / 100);
  loop_->RunInLoop(
      [&] {
        for (int i = 0; i < 10; ++i) loop_->RunAt(when, [&order, i] { order.push_back(i); });
      },
      false);
  ASSERT_TRUE(WaitFor([&] { return order.size() == 10; }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, RunAfterZeroAndNegativeDelayRunSoon) {
  std::promise<void> zero, negative, nan;
  loop_->RunAfter(0.0, [&] { zero.set_value(); });
  loop_->RunAfter(-5.0, [&] { negative.set_value(); });
  loop_->RunAfter(std::nan(""), [&] { nan.set_value(); });
  EXPECT_EQ(zero.get_future().wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(negative.get_future().wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(nan.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST_F(TimerTest, HugeDelayNeverWrapsIntoThePast) {
  std::atomic<int> fired{0};
  TimerId id = loop_->RunAfter(1e300, [&] { fired.fetch_add(1); });
  TimerId every = loop_->RunEvery(1e300, [&] { fired.fetch_add(1); });
  std::promise<void> soon;
  loop_->RunAfter(0.01, [&] { soon.set_value(); });
  ASSERT_EQ(soon.get_future().wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(fired.load(), 0);
  EXPECT_EQ(Timer::SecondsToCycles(-1.0), 0u);
  EXPECT_EQ(Timer::SecondsToCycles(1e300), uint64_t{1} << 62);
  loop_->CancelTimer(id);
  loop_->CancelTimer(every);
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, PastExpiryFromOtherThreadRuns) {
  // A stamp taken earlier is in the past once the clock has moved on (going
  // back a fixed span from the TSC could wrap on a freshly booted machine).
  const plinth::TimeCycle earlier = plinth::TimeCycle::now();
  ASSERT_TRUE(WaitFor([&] { return plinth::rdtsc() > earlier.cycles(); }));
  std::promise<void> fired;
  loop_->RunAt(earlier, [&] { fired.set_value(); });
  EXPECT_EQ(fired.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST_F(TimerTest, PeriodicTimerRepeatsUntilCancelled) {
  std::atomic<int> count{0};
  TimerId id = loop_->RunEvery(0.001, [&] { count.fetch_add(1); });
  ASSERT_TRUE(WaitFor([&] { return count.load() >= 5; }));
  loop_->CancelTimer(id);
  int after_cancel = 0;
  loop_->RunInLoop([&] { after_cancel = count.load(); }, false);  // cancel has run
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count.load(), after_cancel);
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, CancelBeforeFiringAndAfterFiring) {
  std::atomic<int> fired{0};
  TimerId late = loop_->RunAfter(3600.0, [&] { fired.fetch_add(1); });
  loop_->CancelTimer(late);
  EXPECT_EQ(LiveTimers(), 0u);

  std::promise<void> done;
  TimerId soon = loop_->RunAfter(0.0, [&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(seconds(10)), std::future_status::ready);
  loop_->CancelTimer(soon);  // already fired and deleted: harmless
  loop_->CancelTimer(soon);
  loop_->CancelTimer(TimerId());
  EXPECT_EQ(LiveTimers(), 0u);
  EXPECT_EQ(fired.load(), 0);
}

TEST_F(TimerTest, PeriodicTimerCancelsItself) {
  std::atomic<int> count{0};
  auto id = std::make_shared<TimerId>();
  loop_->RunInLoop(
      [&, id] {
        *id = loop_->RunEvery(0.001, [&, id] {
          if (count.fetch_add(1) == 2) loop_->CancelTimer(*id);
        });
      },
      false);
  ASSERT_TRUE(WaitFor([&] { return count.load() >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(count.load(), 3);
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, TimerCancelledByEarlierCallbackOfSamePassDoesNotFire) {
  std::vector<int> order;
  loop_->RunInLoop(
      [&] {
        plinth::TimeCycle when(plinth::rdtsc() + plinth::TimeCycle::tsc_rate_ / 200);
        TimerQueue* queue = loop_->timer_queue();
        auto victim = std::make_shared<TimerId>();
        auto periodic = std::make_shared<TimerId>();
        queue->AddTimer(
            [&, victim, periodic] {
              order.push_back(1);
              loop_->CancelTimer(*victim);
              loop_->CancelTimer(*periodic);
            },
            when, 0.0);
        *victim = queue->AddTimer([&] { order.push_back(2); }, when, 0.0);
        *periodic = queue->AddTimer([&] { order.push_back(3); }, when, 0.001);
        queue->AddTimer([&] { order.push_back(4); }, when, 0.0);
      },
      false);
  ASSERT_TRUE(WaitFor([&] { return order.size() >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::vector<int> copy;
  loop_->RunInLoop([&] { copy = order; }, false);
  EXPECT_EQ(copy, (std::vector<int>{1, 4}));
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, StaleTimerIdDoesNotCancelTimerReusingItsMemory) {
  // A timer fires and is deleted; another timer now lives at some address.
  // A handle carrying the old sequence and the new timer's address (what a
  // stale handle looks like once the memory is reused) cancels nothing.
  std::promise<void> first_done;
  TimerId stale = loop_->RunAfter(0.0, [&] { first_done.set_value(); });
  ASSERT_EQ(first_done.get_future().wait_for(seconds(10)), std::future_status::ready);
  std::atomic<int> fired{0};
  TimerId live = loop_->RunAfter(0.05, [&] { fired.fetch_add(1); });
  EXPECT_NE(live.sequence(), stale.sequence());
  loop_->CancelTimer(TimerId(live.timer(), stale.sequence()));
  ASSERT_TRUE(WaitFor([&] { return fired.load() == 1; }));
  EXPECT_EQ(LiveTimers(), 0u);
}

TEST_F(TimerTest, AddAndCancelFromManyThreads) {
  constexpr int kThreads = 4;
  constexpr int kTimers = 500;
  std::atomic<int> fired{0};
  std::atomic<int> cancelled_fired{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTimers; ++i) {
        loop_->RunAfter(0.001, [&] { fired.fetch_add(1); });
        // Far enough out that no backlog of the loop can make it due before
        // its cancellation is handled: what is checked is that the
        // cancellation removes it, not how fast the loop keeps up.
        TimerId id = loop_->RunAfter(3600.0, [&] { cancelled_fired.fetch_add(1); });
        loop_->CancelTimer(id);
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(WaitFor([&] { return fired.load() == kThreads * kTimers; }));
  // Every cancellation was posted before the join, so it has been handled;
  // a timer that a cancellation missed would still be live here.
  EXPECT_EQ(LiveTimers(), 0u);
  EXPECT_EQ(cancelled_fired.load(), 0);
}

TEST_F(TimerTest, PendingTimersFreedWithTheLoop) {
  for (int i = 0; i < 100; ++i) loop_->RunEvery(3600.0, [] {});
  EXPECT_EQ(LiveTimers(), 100u);
  thread_.reset();  // leak checkers see the timers deleted
}

}  // namespace
}  // namespace tarn
