// Hand-off between threads through Loop::RunInLoop and RunNextLoop, on real
// worker threads.
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "bvar/bvar.h"
#include "support/worker.h"
#include "tarn/base/current_thread.h"
#include "tarn/loop.h"
#include "tarn/types.h"
#include "tarn/worker.h"
#include "tarn/worker_thread.h"

namespace tarn {
namespace {

class LoopTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    WorkerOption option;
    option.busy_poll = GetParam() ? 1 : 0;
    thread_.reset(new testsupport::WorkerOnThread("loop-test", option));
    worker_ = thread_->worker();
    ASSERT_NE(worker_, nullptr);
    loop_ = worker_->loop();
  }
  void TearDown() override { thread_.reset(); }

  int LoopTid() {
    int tid = 0;
    loop_->RunInLoop([&tid] { tid = plinth::CurrentThread::tid(); }, false);
    return tid;
  }

  std::unique_ptr<testsupport::WorkerOnThread> thread_;
  Worker* worker_ = nullptr;
  Loop* loop_ = nullptr;
};

TEST_P(LoopTest, SyncFromOtherThreadRunsOnLoopThreadBeforeReturning) {
  int loop_tid = LoopTid();
  EXPECT_NE(loop_tid, 0);
  EXPECT_NE(loop_tid, plinth::CurrentThread::tid());
  std::atomic<int> ran{0};
  int tid = 0;
  EXPECT_EQ(0, loop_->RunInLoop(
                   [&] {
                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                     tid = plinth::CurrentThread::tid();
                     ran = 1;
                   },
                   false));
  EXPECT_EQ(ran.load(), 1);  // done before returning
  EXPECT_EQ(tid, loop_tid);
}

TEST_P(LoopTest, InlineOnLoopThreadWhateverAsyncSays) {
  std::vector<int> order;
  loop_->RunInLoop(
      [&] {
        order.push_back(1);
        loop_->RunInLoop([&] { order.push_back(2); }, true);   // inline
        loop_->RunInLoop([&] { order.push_back(3); }, false);  // inline, no block
        order.push_back(4);
      },
      false);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST_P(LoopTest, AsyncFromOtherThreadRunsOnLoopThread) {
  int loop_tid = LoopTid();
  std::promise<int> done;
  EXPECT_EQ(0, loop_->RunInLoop([&] { done.set_value(plinth::CurrentThread::tid()); }, true));
  auto fut = done.get_future();
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(fut.get(), loop_tid);
}

TEST_P(LoopTest, RunNextLoopNeverRunsInsideTheCaller) {
  std::vector<int> order;
  loop_->RunInLoop(
      [&] {
        loop_->RunNextLoop([&] { order.push_back(2); });
        order.push_back(1);
      },
      false);
  // A sync round trip queued after it runs after it.
  loop_->RunInLoop([] {}, false);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_P(LoopTest, ProducersEachTaskOnceInOrderPerProducer) {
  constexpr int kProducers = 4;
  constexpr int kTasks = 20000;
  std::vector<std::vector<int>> seen(kProducers);  // loop thread only
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kTasks; ++i) {
        loop_->RunInLoop([&seen, p, i] { seen[p].push_back(i); }, (i % 100) != 99);
      }
    });
  }
  for (auto& t : producers) t.join();
  loop_->RunInLoop([] {}, false);  // everything queued before has run
  std::vector<std::vector<int>> copy;
  loop_->RunInLoop([&] { copy = seen; }, false);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(copy[p].size(), static_cast<size_t>(kTasks)) << "producer " << p;
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(copy[p][i], i) << "producer " << p;
  }
}

TEST_P(LoopTest, EndedLoopRunsWhatWasQueuedAndRefusesLater) {
  // Queue work behind a task that stops the loop: it still runs.
  std::atomic<int> ran{0};
  loop_->RunInLoop(
      [&] {
        worker_->Stop();
        loop_->RunNextLoop([&] { ran.fetch_add(1); });
      },
      true);
  thread_->Stop();
  EXPECT_EQ(ran.load(), 1);
  // Afterwards, sync posts return at once without running; async ones are
  // refused too.
  bool called = false;
  EXPECT_EQ(-1, loop_->RunInLoop([&] { called = true; }, false));
  EXPECT_EQ(-1, loop_->RunInLoop([&] { called = true; }, true));
  EXPECT_EQ(-1, loop_->RunNextLoop([&] { called = true; }));
  EXPECT_FALSE(called);
  TimerId id = loop_->RunAfter(0.0, [&] { called = true; });
  EXPECT_FALSE(id.valid());
}

TEST_P(LoopTest, SyncPosterBlockedWhileLoopStopsIsReleased) {
  // Many threads post sync tasks while the loop is being stopped: every one
  // returns, either having run its task or refused.
  constexpr int kPosters = 8;
  std::atomic<int> returned{0};
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int i = 0; i < kPosters; ++i) {
    posters.emplace_back([&] {
      for (int j = 0; j < 200; ++j) {
        if (loop_->RunInLoop([&] { ran.fetch_add(1); }, false) != 0) break;
      }
      returned.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  thread_->Stop();
  for (auto& t : posters) t.join();
  EXPECT_EQ(returned.load(), kPosters);
}

TEST_P(LoopTest, TasksSmallLargeAndBeyondThePoolRunOnceAndLetGoOfTheirState) {
  // Producers queue more tasks than the pool holds while the loop is held
  // up, so some come from the heap; half capture more than the inline
  // buffer. Each runs once, each captured copy is destroyed once, and
  // every pooled task comes back.
  const uint32_t pooled = loop_->free_task_count();
  EXPECT_EQ(pooled, LoopTaskPool::kCapacity);
  constexpr int kProducers = 3;
  const int per_producer = static_cast<int>(LoopTaskPool::kCapacity);
  std::vector<std::atomic<int>> runs(kProducers * per_producer);
  auto token = std::make_shared<int>(0);  // its use count counts live copies
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  loop_->RunInLoop([gate] { gate.wait(); }, true);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < per_producer; ++i) {
        const int k = p * per_producer + i;
        if (i % 2 == 0) {
          loop_->RunInLoop([&runs, k, token] { runs[k].fetch_add(1); }, true);
        } else {
          std::array<char, 4 * TaskFunction::kInlineBytes> big{};
          big[0] = 1;
          loop_->RunNextLoop([&runs, k, token, big] { runs[k].fetch_add(big[0]); });
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(loop_->free_task_count(), 0u);  // every pooled task is queued
  release.set_value();
  loop_->RunInLoop([] {}, false);
  for (size_t k = 0; k < runs.size(); ++k) ASSERT_EQ(runs[k].load(), 1) << "task " << k;
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(loop_->free_task_count(), pooled);
}

INSTANTIATE_TEST_SUITE_P(BlockingAndBusyPoll, LoopTest, ::testing::Values(false, true));

TEST(TaskFunctionTest, InlineOrBoxedByCaptureEachDestroyedOnce) {
  auto token = std::make_shared<int>(0);
  int ran = 0;
  // Captures of exactly the buffer's size and of one byte more.
  constexpr size_t kPad = TaskFunction::kInlineBytes - sizeof(int*) - sizeof(token);
  struct Exact {
    int* ran;
    std::shared_ptr<int> token;
    char pad[kPad];
  };
  struct OneMore {
    int* ran;
    std::shared_ptr<int> token;
    char pad[kPad + 1];
  };
  static_assert(sizeof(Exact) == TaskFunction::kInlineBytes, "");
  std::function<void()> fn = [&ran, token] { ++ran; };
  struct Case {
    const char* name;
    std::function<void(TaskFunction*)> emplace;
    bool is_inline;
  };
  const Case cases[] = {
      {"two pointers", [&](TaskFunction* f) { f->Emplace([&ran, token] { ++ran; }); }, true},
      {"exactly the buffer",
       [&](TaskFunction* f) { f->Emplace([e = Exact{&ran, token, {}}] { ++*e.ran; }); }, true},
      {"one byte more",
       [&](TaskFunction* f) { f->Emplace([e = OneMore{&ran, token, {}}] { ++*e.ran; }); },
       false},
      {"a std::function", [&](TaskFunction* f) { f->Emplace(fn); }, true},
  };
  for (const Case& c : cases) {
    ran = 0;
    const long before = token.use_count();
    {
      TaskFunction f;
      EXPECT_TRUE(f.empty());
      c.emplace(&f);
      EXPECT_EQ(f.is_inline(), c.is_inline) << c.name;
      EXPECT_EQ(token.use_count(), before + 1) << c.name;
      f();
      f();
      EXPECT_EQ(ran, 2) << c.name;
      f.Reset();  // destroys the capture; the destructor then has nothing left
      EXPECT_EQ(token.use_count(), before) << c.name;
      c.emplace(&f);
    }
    EXPECT_EQ(token.use_count(), before) << c.name;
  }
  TaskFunction empty;
  EXPECT_THROW(empty(), std::bad_function_call);
  TaskFunction holds_empty;
  holds_empty.Emplace(std::function<void()>());
  EXPECT_THROW(holds_empty(), std::bad_function_call);
}

TEST(LoopDeathTest, AssertInLoopThreadOffThreadEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WorkerThread thread("assert-test", nullptr, WorkerOption(), false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  // Log lines go to standard output; the death test reads standard error.
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        worker->loop()->AssertInLoopThread();
      },
      "AssertInThread error, please check core file, this was created in thread id: ");
  worker->loop()->RunInLoop([&] { worker->loop()->AssertInLoopThread(); }, false);
}

TEST(LoopTest, UserHandleMadeByFactoryForItsLoop) {
  struct Handle : UserHandle {
    explicit Handle(Loop* l) : loop(l) {}
    Loop* loop;
  };
  WorkerThread thread("handle-test", [](Loop* l) { return new Handle(l); }, WorkerOption(),
                      false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  auto* handle = dynamic_cast<Handle*>(worker->loop()->user_handle());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->loop, worker->loop());
}

TEST(LoopMetricsTest, TaskWaitExposedOnlyWithMetricsOn) {
  // Off (the default): loops expose nothing.
  {
    WorkerThread thread("metrics-off", nullptr, WorkerOption(), false);
    ASSERT_NE(thread.Start(), nullptr);
  }
  EXPECT_TRUE(bvar::Variable::describe_exposed("tarn_loop_task_wait_count").empty());
  g_enable_metrics = true;
  {
    WorkerThread thread("metrics-on", nullptr, WorkerOption(), false);
    Worker* worker = thread.Start();
    ASSERT_NE(worker, nullptr);
    for (int i = 0; i < 10; ++i) worker->loop()->RunInLoop([] {}, true);
    worker->loop()->RunInLoop([] {}, false);
  }
  g_enable_metrics = false;
  std::vector<std::string> names;
  bvar::Variable::list_exposed(&names);
  bool found = false;
  for (const std::string& n : names) found |= n.rfind("tarn_loop_task_wait", 0) == 0;
  EXPECT_TRUE(found);
}

TEST(OptionTest, WorkerOptionDefaults) {
  WorkerOption o;
  EXPECT_EQ(o.select_policy, 0u);
  EXPECT_EQ(o.name_prefix, "worker-");
  EXPECT_TRUE(o.core_mask.empty());
  EXPECT_EQ(o.report_interval, 3u);
  EXPECT_EQ(o.enable_memory_pool, 0);
  EXPECT_EQ(o.enable_rdma, 0);
  EXPECT_EQ(o.busy_poll, 0);
  EXPECT_EQ(o.obj_pool_size, 16384u);
  EXPECT_EQ(o.max_io_chunk_size, 532480u);
  EXPECT_EQ(o.max_io_chunk_count, 256u);
  const WorkerOption::RdmaOption& r = o.rdma_option;
  EXPECT_TRUE(r.device_name.empty());
  EXPECT_EQ(r.port_id, 0);
  EXPECT_EQ(r.gid_index, 0);
  EXPECT_TRUE(r.use_srq);
  EXPECT_EQ(r.timeout, 17u);
  EXPECT_EQ(r.retry_cnt, 3u);
  EXPECT_EQ(r.max_send_data_size, 524288u);
  EXPECT_EQ(r.max_send_meta_size, 8192u);
  EXPECT_EQ(r.recv_depth, 512u);
  EXPECT_EQ(r.rnr_retry, 6);
  EXPECT_EQ(r.traffic_class, 184);
  EXPECT_TRUE(r.ip_addr.empty());
}

TEST(OptionTest, DefaultCallbacksDoNothing) {
  std::shared_ptr<Connection> none;
  DefaultConnectionSuccessCb(none);
  DefaultConnectionClosedCb(none);
  DefaultMessageReadCb(none);
  DefaultMessageWriteCb(none);
}

}  // namespace
}  // namespace tarn
