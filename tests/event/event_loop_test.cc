// The libevent driver's event table and the event loop's start, stop and
// task hand-off, on real threads and descriptors.
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <event2/event.h>
#include <gtest/gtest.h>

#include "tarn/base/time_cycle.h"
#include "tarn/disk_io_util.h"
#include "tarn/event/event_loop.h"
#include "tarn/event/event_timer_queue.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/libevent_driver.h"
#include "tarn/worker_thread.h"

namespace tarn {
namespace {

using std::chrono::seconds;

void NoopCb(int, short, void*) {}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(driver_.Init(), 0);
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { ::close(fd_); }

  LibeventDriver driver_{false};
  int fd_ = -1;
};

TEST_F(DriverTest, IndexesInOrderAndFreedIndexReusedLast) {
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), 0);
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), 1);
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), 2);
  EXPECT_EQ(driver_.FreeEvent(1), 0);
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), 3);
  EXPECT_EQ(driver_.event_count(), 3);
}

TEST_F(DriverTest, EnableDisableFreeMisuse) {
  int idx = driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr);
  EXPECT_FALSE(driver_.EventIsEnable(idx));
  EXPECT_EQ(driver_.AddEvent(idx), 0);
  EXPECT_TRUE(driver_.EventIsEnable(idx));
  EXPECT_EQ(driver_.AddEvent(idx), -1);  // already enabled: stays enabled
  EXPECT_TRUE(driver_.EventIsEnable(idx));
  EXPECT_EQ(driver_.DelEvent(idx), 0);
  EXPECT_EQ(driver_.DelEvent(idx), 0);  // disabled but existing
  EXPECT_FALSE(driver_.EventIsEnable(idx));
  EXPECT_EQ(driver_.AddEvent(idx), 0);
  EXPECT_EQ(driver_.FreeEvent(idx), 0);  // enabled events may be freed
  EXPECT_EQ(driver_.FreeEvent(idx), -1);
  EXPECT_EQ(driver_.AddEvent(idx), -1);
  EXPECT_EQ(driver_.DelEvent(idx), -1);
  EXPECT_FALSE(driver_.EventIsEnable(idx));
  // Indexes outside the table are refused, not dereferenced.
  for (int bad : {-1, LibeventDriver::kMaxEvents, 1 << 30}) {
    EXPECT_EQ(driver_.AddEvent(bad), -1);
    EXPECT_EQ(driver_.DelEvent(bad), -1);
    EXPECT_EQ(driver_.FreeEvent(bad), -1);
    EXPECT_FALSE(driver_.EventIsEnable(bad));
  }
}

TEST_F(DriverTest, FullTableRefusesOneEventAndRecovers) {
  for (int i = 0; i < LibeventDriver::kMaxEvents; ++i) {
    ASSERT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), i);
  }
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), -1);
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), -1);
  EXPECT_EQ(driver_.FreeEvent(4321), 0);
  EXPECT_EQ(driver_.CreateEvent(fd_, EV_READ, NoopCb, nullptr), 4321);
  // The destructor frees all 10000.
}

// An event loop without a worker, run on its own thread.
class LoopThread {
 public:
  explicit LoopThread(bool busy_poll) {
    std::promise<EventLoop*> ready;
    thread_ = std::thread([&ready, busy_poll, this] {
      EventLoop loop(nullptr, nullptr, busy_poll);
      if (loop.Init() != 0) {
        ready.set_value(nullptr);
        return;
      }
      ready.set_value(&loop);
      start_result_ = loop.Start();
      // Keep the loop object alive until the test is done with it.
      std::unique_lock<std::mutex> lock(mutex_);
      cond_.wait(lock, [this] { return release_; });
    });
    loop_ = ready.get_future().get();
  }
  ~LoopThread() {
    if (loop_ != nullptr) loop_->Stop();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      release_ = true;
      cond_.notify_all();
    }
    thread_.join();
  }
  EventLoop* loop() const { return loop_; }
  // Posts sync no-ops until the loop refuses them (it has ended).
  bool WaitEnded() {
    for (int i = 0; i < 10000; ++i) {
      if (loop_->RunInLoop([] {}, false) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  int start_result() const { return start_result_; }

 private:
  std::thread thread_;
  EventLoop* loop_ = nullptr;
  std::atomic<int> start_result_{1};
  std::mutex mutex_;
  std::condition_variable cond_;
  bool release_ = false;
};

class EventLoopTest : public ::testing::TestWithParam<bool> {};

// Wake-up, timer and, when the machine's AIO limit allowed the loop a
// context, the AIO completion event.
TEST_P(EventLoopTest, FreshLoopHoldsWakeupTimerAndAioEvents) {
  LoopThread t(GetParam());
  ASSERT_NE(t.loop(), nullptr);
  std::vector<bool> enabled;
  bool aio = false;
  t.loop()->RunInLoop(
      [&] {
        for (int i = 0; i < 4; ++i) enabled.push_back(t.loop()->driver()->EventIsEnable(i));
        aio = t.loop()->disk_io()->aio_enabled();
      },
      false);
  EXPECT_EQ(enabled, (std::vector<bool>{true, true, aio, false}));
}

TEST_P(EventLoopTest, StopFromOtherThreadEndsStart) {
  for (int i = 0; i < 20; ++i) {
    LoopThread t(GetParam());
    ASSERT_NE(t.loop(), nullptr);
    std::promise<void> ran;
    t.loop()->RunInLoop([&] { ran.set_value(); }, true);
    ASSERT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(t.loop()->Stop(), 0);
    EXPECT_TRUE(t.WaitEnded());
    EXPECT_EQ(t.start_result(), 0);
  }
}

TEST_P(EventLoopTest, StopFromTaskOrTimerEndsStart) {
  {
    LoopThread t(GetParam());
    t.loop()->RunInLoop([&] { t.loop()->Stop(); }, true);
    EXPECT_TRUE(t.WaitEnded());
  }
  {
    LoopThread t(GetParam());
    t.loop()->RunAfter(0.001, [&] { t.loop()->Stop(); });
    EXPECT_TRUE(t.WaitEnded());
  }
}

TEST_P(EventLoopTest, StopAskedBeforeStartIsNotLost) {
  std::atomic<int> result{1};
  std::thread th([&] {
    EventLoop loop(nullptr, nullptr, GetParam());
    if (loop.Init() != 0) return;
    loop.Stop();
    result = loop.Start();
  });
  th.join();
  EXPECT_EQ(result.load(), 0);
}

TEST_P(EventLoopTest, TaskFromOtherThreadWakesWaitingLoop) {
  LoopThread t(GetParam());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it wait
  for (int i = 0; i < 100; ++i) {
    std::promise<void> ran;
    t.loop()->RunInLoop([&] { ran.set_value(); }, true);
    ASSERT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
  }
}

INSTANTIATE_TEST_SUITE_P(BlockingAndBusyPoll, EventLoopTest, ::testing::Values(false, true));

TEST(EventTimerQueueTest, ArmDelayHasFloorAndNeverWraps) {
  uint64_t mhz = plinth::TimeCycle::tsc_rate_mhz_;
  plinth::TimeCycle now(1000000 * mhz);
  EXPECT_EQ(EventTimerQueue::ArmDelayUs(plinth::TimeCycle(now.cycles() + 20 * mhz), now), 100);
  EXPECT_EQ(EventTimerQueue::ArmDelayUs(plinth::TimeCycle(now.cycles() - 500 * mhz), now), 100);
  EXPECT_EQ(EventTimerQueue::ArmDelayUs(plinth::TimeCycle(0), now), 100);
  EXPECT_EQ(EventTimerQueue::ArmDelayUs(plinth::TimeCycle(now.cycles() + 2500000 * mhz), now),
            2500000);
}

std::string ThreadName() {
  char name[32] = {};
  ::prctl(PR_GET_NAME, name);
  return name;
}

TEST(EventWorkerTest, SecondStartOnlyWarnsAndKeepsFirstName) {
  WorkerThread thread("first-name", nullptr, WorkerOption(), false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  std::string before, after;
  worker->loop()->RunInLoop(
      [&] {
        before = ThreadName();
        worker->Start("second-name");  // returns at once
        after = ThreadName();
      },
      false);
  EXPECT_EQ(before, "first-name");
  EXPECT_EQ(after, "first-name");
  EXPECT_EQ(worker->name(), "first-name");
  EXPECT_EQ(worker->state(), static_cast<uint32_t>(Worker::kRunning));
  EXPECT_TRUE(worker->IsInited());  // also while running
  thread.Stop();
  EXPECT_EQ(worker->state(), static_cast<uint32_t>(Worker::kStopping));
  EXPECT_TRUE(worker->IsInited());
}

// Work done in timer callbacks is the worker's work: with timers that keep
// the loop busy, the thread utilisation must say so.
TEST(EventWorkerTest, TimerCallbacksCountAsBusyTime) {
  g_enable_metrics = true;
  uint64_t util = 0;
  {
    WorkerThread thread("util-test", nullptr, WorkerOption(), false);
    Worker* worker = thread.Start();
    ASSERT_NE(worker, nullptr);
    worker->loop()->RunInLoop(
        [worker] {
          worker->loop()->RunEvery(0.001, [] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
            while (std::chrono::steady_clock::now() < end) {
            }
          });
        },
        false);
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (util < 50 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      worker->loop()->RunInLoop([&] { util = worker->thread_util(); }, false);
    }
    thread.Stop();
  }
  g_enable_metrics = false;
  EXPECT_GE(util, 50u);
}

TEST(EventWorkerTest, TcpRegistersNoMemory) {
  WorkerThread thread("mr-test", nullptr, WorkerOption(), false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  worker->loop()->RunInLoop(
      [&] {
        uint32_t lkey = 7, rkey = 7;
        char buf[16];
        EXPECT_EQ(worker->GetMrKey(buf, &lkey, &rkey), 0);
        EXPECT_EQ(lkey, 0u);
        EXPECT_EQ(rkey, 0u);
        EXPECT_EQ(worker->RegisterMr(buf, sizeof(buf)), 0);
        EXPECT_EQ(worker->UnregisterMr(buf, sizeof(buf)), 0);
      },
      false);
}

TEST(WorkerThreadDeathTest, SecondStartEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WorkerThread thread("twice", nullptr, WorkerOption(), false);
  ASSERT_NE(thread.Start(), nullptr);
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        thread.Start();
      },
      "worker has been started");
}

}  // namespace
}  // namespace tarn
