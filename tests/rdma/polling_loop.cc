// The polling loop's task hand-off and timers, with and without the SPDK
// environment switch. A hand-driven worker lives on the test thread, whose
// Poll() the test calls; producers are fresh threads.
//
// Rings go to thread numbers below 36 in the order threads first post, and
// thread numbers are never reused, so the cases that need a ring come first
// in this file (ctest runs each case in a process of its own anyway).
#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/wait.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/time_cycle.h"
#include "tarn/polling/polling_loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/spdk_rte.h"

namespace tarn {
namespace {

// Sets the SPDK environment switch for the life of a case.
class SpdkSwitch {
 public:
  explicit SpdkSwitch(bool on) : was_(g_spdk_env_inited.load()) { g_spdk_env_inited = on; }
  ~SpdkSwitch() { g_spdk_env_inited = was_; }

 private:
  bool was_;
};

// A polling worker initialised on the calling thread; nothing runs its
// loop but Poll().
std::unique_ptr<PollingWorker> HandDrivenWorker() {
  auto worker = std::make_unique<PollingWorker>(0, nullptr, WorkerOption());
  worker->Init();
  return worker;
}

// Posts n counting tasks from a fresh thread; returns that thread's number.
uint32_t PostFromThread(Loop* loop, int n, std::atomic<int>* ran) {
  uint32_t tno = 0;
  std::thread producer([&] {
    tno = plinth::CurrentThread::tno();
    for (int i = 0; i < n; ++i) loop->RunInLoop([ran] { ++*ran; }, true);
  });
  producer.join();
  return tno;
}

constexpr char kNoRing[] = "this process has used up the thread numbers that own rings";

TEST(PollingLoopTest, RingPassTakesAtMost24TasksPerProducer) {
  SpdkSwitch spdk(true);
  auto worker = HandDrivenWorker();
  PollingLoop* loop = worker->polling_loop();
  ASSERT_TRUE(loop->uses_rings());
  std::atomic<int> ran{0};
  uint32_t tno = PostFromThread(loop, 30, &ran);
  if (tno >= PollingLoop::kMaxThreadNum) GTEST_SKIP() << kNoRing;
  ASSERT_EQ(loop->active_ring_count(), 1u);
  EXPECT_EQ(loop->DoPendingTasks(), 24);
  EXPECT_EQ(loop->DoPendingTasks(), 6);
  EXPECT_EQ(loop->DoPendingTasks(), 0);
  EXPECT_EQ(ran.load(), 30);
}

TEST(PollingLoopTest, FullRingSpillsAndKeepsProducerOrder) {
  SpdkSwitch spdk(true);
  auto worker = HandDrivenWorker();
  PollingLoop* loop = worker->polling_loop();
  const int first = static_cast<int>(PollingLoop::kRingSize) + 100;
  const int total = first + 50;
  std::vector<int> order;  // loop thread (this one) only
  std::promise<void> filled, passed;
  std::atomic<uint32_t> tno{0};
  std::thread producer([&] {
    tno = plinth::CurrentThread::tno();
    auto post = [&](int i) { return loop->RunInLoop([&order, i] { order.push_back(i); }, true); };
    for (int i = 0; i < first; ++i) ASSERT_EQ(post(i), 0);
    filled.set_value();
    passed.get_future().wait();
    // The ring has room again, but older tasks wait in the spill.
    for (int i = first; i < total; ++i) ASSERT_EQ(post(i), 0);
  });
  filled.get_future().wait();
  bool ring = tno.load() < PollingLoop::kMaxThreadNum;
  EXPECT_EQ(loop->DoPendingTasks(), ring ? static_cast<int>(PollingLoop::kRingBatch) : first);
  passed.set_value();
  producer.join();
  while (loop->DoPendingTasks() > 0) {
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) ASSERT_EQ(order[i], i);
  if (!ring) GTEST_SKIP() << kNoRing;  // order held, but on the vector path
}

TEST(PollingLoopTest, VectorPassTakesEverything) {
  SpdkSwitch spdk(false);
  auto worker = HandDrivenWorker();
  PollingLoop* loop = worker->polling_loop();
  EXPECT_FALSE(loop->uses_rings());
  std::atomic<int> ran{0};
  PostFromThread(loop, 30, &ran);
  EXPECT_EQ(loop->active_ring_count(), 0u);
  EXPECT_EQ(loop->DoPendingTasks(), 30);
  EXPECT_EQ(ran.load(), 30);
}

TEST(PollingLoopTest, DueTimersRunOnePerPassInInsertionOrder) {
  auto worker = HandDrivenWorker();
  Loop* loop = worker->loop();
  std::vector<int> fired;
  plinth::TimeCycle due(plinth::rdtsc());  // already due by the first pass
  loop->RunAt(due, [&] { fired.push_back(1); });
  loop->RunAt(due, [&] { fired.push_back(2); });
  worker->Poll();
  EXPECT_EQ(fired, std::vector<int>({1}));
  worker->Poll();
  EXPECT_EQ(fired, std::vector<int>({1, 2}));
  TimerId later = loop->RunAfter(3600.0, [&] { fired.push_back(3); });
  worker->Poll();
  EXPECT_EQ(fired.size(), 2u);
  loop->CancelTimer(later);
}

TEST(PollingLoopTest, ClosedLoopRefusesAfterRunningWhatWasQueued) {
  SpdkSwitch spdk(true);
  auto worker = HandDrivenWorker();
  PollingLoop* loop = worker->polling_loop();
  std::atomic<int> ran{0};
  PostFromThread(loop, 30, &ran);
  loop->RunNextLoop([&] { ++ran; });  // from the loop thread itself
  loop->DrainAndClose();
  EXPECT_EQ(ran.load(), 31);
  std::thread late([&] {
    EXPECT_EQ(loop->RunInLoop([&] { ++ran; }, false), -1);
    EXPECT_EQ(loop->RunInLoop([&] { ++ran; }, true), -1);
    EXPECT_FALSE(loop->RunAfter(0.0, [&] { ++ran; }).valid());
  });
  late.join();
  EXPECT_EQ(loop->RunNextLoop([&] { ++ran; }), -1);
  EXPECT_EQ(loop->DoPendingTasks(), 0);
  EXPECT_EQ(ran.load(), 31);
}

// Many producers, more than there are rings, each posting a numbered run of
// tasks to a running polling worker: every task runs once, in order per
// producer.
class PollingLoopProducers : public ::testing::TestWithParam<bool> {};

TEST_P(PollingLoopProducers, EveryTaskOnceInProducerOrder) {
  SpdkSwitch spdk(GetParam());
  PollingWorkerColony colony(1, WorkerOption(), nullptr);
  colony.Start();
  Worker* worker = colony.GetWorker(0u);
  constexpr int kProducers = 48;
  constexpr int kTasks = 300;
  std::vector<std::vector<int>> seen(kProducers);  // loop thread only
  std::atomic<int> total{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        bool sync = i % 100 == 99;  // a synchronous post now and then
        worker->loop()->RunInLoop(
            [&, p, i] {
              seen[p].push_back(i);
              total.fetch_add(1, std::memory_order_release);
            },
            !sync);
      }
    });
  }
  for (std::thread& t : producers) t.join();
  ASSERT_TRUE(testsupport::WaitFor([&] { return total.load() == kProducers * kTasks; }));
  colony.Stop();  // the loop thread has ended: `seen` is ours now
  EXPECT_EQ(total.load(), kProducers * kTasks);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kTasks)) << "producer " << p;
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(seen[p][i], i) << "producer " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(SpdkSwitch, PollingLoopProducers, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("Rings") : std::string("Vector");
                         });

}  // namespace
}  // namespace tarn
