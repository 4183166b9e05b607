// Workers, colonies and worker memory on real threads.
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child.h"
#include "support/worker.h"
#include "tarn/base/time_cycle.h"
#include "tarn/event/event_worker.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/memory_pool.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"
#include "tarn/worker_thread.h"

namespace tarn {
namespace {

using std::chrono::seconds;

std::string ThreadName() {
  char name[32] = {};
  ::prctl(PR_GET_NAME, name);
  return name;
}

WorkerOption Option(uint32_t policy = 0) {
  WorkerOption option;
  option.select_policy = policy;
  return option;
}

TEST(ColonyTest, ThreadsNamedPrefixAndIndex) {
  EventWorkerColony colony(4, Option(), nullptr);
  colony.Start();
  ASSERT_TRUE(colony.started());
  for (uint32_t i = 0; i < 4; ++i) {
    Worker* worker = colony.GetWorker(i);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(worker->index(), i);
    EXPECT_TRUE(worker->IsInited());
    std::string name;
    worker->loop()->RunInLoop([&] { name = ThreadName(); }, false);
    EXPECT_EQ(name, "worker-" + std::to_string(i));
    EXPECT_EQ(worker->name(), name);
  }
  colony.Stop();
}

TEST(ColonyTest, CoreMaskPinsEachWorkerToItsCpu) {
  if (sysconf(_SC_NPROCESSORS_CONF) < 4) GTEST_SKIP() << "needs 4 CPUs";
  cpu_set_t allowed;
  sched_getaffinity(0, sizeof(allowed), &allowed);
  for (int c = 0; c < 4; ++c) {
    if (!CPU_ISSET(c, &allowed)) GTEST_SKIP() << "CPU " << c << " not available";
  }
  WorkerOption option = Option();
  option.core_mask = "0xf";
  option.name_prefix = "pinned-";
  EventWorkerColony colony(4, option, nullptr);
  colony.Start();
  for (uint32_t i = 0; i < 4; ++i) {
    cpu_set_t set;
    CPU_ZERO(&set);
    colony.GetWorker(i)->loop()->RunInLoop([&] { sched_getaffinity(0, sizeof(set), &set); },
                                           false);
    EXPECT_EQ(CPU_COUNT(&set), 1) << "worker " << i;
    EXPECT_TRUE(CPU_ISSET(i, &set)) << "worker " << i;
  }
}

TEST(ColonyDeathTest, MaskCpuCountMustMatchWorkerCount) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WorkerOption option = Option();
  option.core_mask = "7";
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        EventWorkerColony colony(4, option, nullptr);
      },
      "core binding must match worker num, worker_num: 4, core_mask: 7");
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        EventWorkerColony colony(0, Option(), nullptr);
      },
      "worker_num should not be 0!");
}

TEST(ColonyTest, RdmaOptionTurnsMemoryPoolsOn) {
  WorkerOption option = Option();
  option.enable_rdma = 1;
  option.enable_memory_pool = 0;
  WorkerColony colony(1, option);
  EXPECT_EQ(colony.option().enable_memory_pool, 1);
  option.name_prefix = "changed-";  // the colony keeps its own copy
  EXPECT_EQ(colony.option().name_prefix, "worker-");
}

TEST(ColonyTest, NextInTurnPolicy) {
  EventWorkerColony colony(3, Option(0), nullptr);
  colony.Start();
  std::vector<Worker*> all = colony.GetAllWorkers();
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(colony.GetWorker(), all[i]);
  }
  EXPECT_EQ(colony.GetHashWorker(7), all[1]);
}

TEST(ColonyTest, LeastLoadedPolicyLowestIndexOnTies) {
  EventWorkerColony colony(3, Option(2), nullptr);
  colony.Start();
  std::vector<Worker*> all = colony.GetAllWorkers();
  EXPECT_EQ(colony.GetWorker(), all[0]);
  all[0]->IncreaseLoad(2);
  all[1]->IncreaseLoad(1);
  all[2]->IncreaseLoad(1);
  EXPECT_EQ(colony.GetWorker(), all[1]);
  all[1]->IncreaseLoad();
  EXPECT_EQ(colony.GetWorker(), all[2]);
}

TEST(ColonyTest, FirstIdlePolicyFallsBackToLeastLoaded) {
  EventWorkerColony colony(3, Option(1), nullptr);
  colony.Start();
  std::vector<Worker*> all = colony.GetAllWorkers();
  all[0]->IncreaseLoad(1);
  EXPECT_EQ(colony.GetWorker(), all[1]);
  all[1]->IncreaseLoad(3);
  all[2]->IncreaseLoad(2);
  // Nobody idle: still a worker, the least loaded one.
  EXPECT_EQ(colony.GetWorker(), all[0]);
  all[0]->DecreaseLoad(1);
  EXPECT_EQ(colony.GetWorker(), all[0]);
}

TEST(ColonyTest, UnknownPolicyStillSelects) {
  EventWorkerColony colony(2, Option(9), nullptr);
  colony.Start();
  EXPECT_NE(colony.GetWorker(), nullptr);
}

TEST(ColonyTest, SelectionBeforeStartWaitsForStart) {
  EventWorkerColony colony(2, Option(), nullptr);
  std::atomic<bool> start_done{false};
  auto fut = std::async(std::launch::async, [&] {
    Worker* w = colony.GetWorker();
    return std::make_pair(w, start_done.load());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  colony.Start();
  start_done = true;
  ASSERT_EQ(fut.wait_for(seconds(10)), std::future_status::ready);
  auto got = fut.get();
  EXPECT_NE(got.first, nullptr);
}

// Records the order in which worker threads end.
std::mutex g_exit_mutex;
std::vector<uint32_t> g_exit_order;
struct ExitRecorder {
  uint32_t index = 0;
  bool armed = false;
  ~ExitRecorder() {
    if (!armed) return;
    std::lock_guard<std::mutex> lock(g_exit_mutex);
    g_exit_order.push_back(index);
  }
};
thread_local ExitRecorder t_exit_recorder;

TEST(ColonyTest, StopJoinsWorkersInIndexOrderAndSelectionThenReturnsNull) {
  g_exit_order.clear();
  EventWorkerColony colony(4, Option(), nullptr);
  colony.Start();
  for (uint32_t i = 0; i < 4; ++i) {
    colony.GetWorker(i)->loop()->RunInLoop(
        [i] {
          t_exit_recorder.index = i;
          t_exit_recorder.armed = true;
        },
        false);
  }
  colony.Stop();
  EXPECT_EQ(g_exit_order, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_FALSE(colony.started());
  for (Worker* w : colony.GetAllWorkers()) {
    EXPECT_EQ(w->state(), static_cast<uint32_t>(Worker::kStopping));
  }
  // A stopped colony hands out nothing instead of waiting forever.
  EXPECT_EQ(colony.GetWorker(), nullptr);
  EXPECT_EQ(colony.GetWorker(1), nullptr);
  EXPECT_EQ(colony.GetHashWorker(3), nullptr);
  colony.Stop();   // second stop: warning only
  colony.Start();  // no restart
  EXPECT_FALSE(colony.started());
}

TEST(ColonyTest, DestroyingRunningColonyStopsIt) {
  auto colony = std::make_unique<EventWorkerColony>(2, Option(), nullptr);
  colony->Start();
  colony->Start();  // already started: warning only
  EXPECT_TRUE(colony->started());
  colony.reset();
}

TEST(ColonyTest, GetWorkerOutOfRangeIsNull) {
  EventWorkerColony colony(2, Option(), nullptr);
  colony.Start();
  EXPECT_EQ(colony.GetWorker(2), nullptr);
}

TEST(WorkerReportTest, ObjPoolInfoLines) {
  WorkerThread thread("report", nullptr, Option(), false);
  Worker* worker = thread.Start();
  ASSERT_NE(worker, nullptr);
  std::string text;
  worker->loop()->RunInLoop(
      [&] {
        worker->AddObjPoolInfo("ctrl", 10, 4);
        worker->AddObjPoolInfo("ctrl", 10, 3);  // overwrites
        text = worker->ReportObjPoolInfo();
        worker->Report();
      },
      false);
  EXPECT_EQ(text, "name:\tctrl,\ttotal cnt:\t10,\tleft cnt:\t3\n");
}

// Worker memory, with the pools built from the option.
class WorkerMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WorkerOption option = Option();
    option.enable_memory_pool = 1;
    option.max_io_chunk_size = 131072;  // keeps the first pool small
    option.max_io_chunk_count = 4;
    thread_.reset(new testsupport::WorkerOnThread("mem", option));
    worker_ = thread_->worker();
    ASSERT_NE(worker_, nullptr);
  }
  void OnLoop(const std::function<void()>& fn) { ASSERT_TRUE(thread_->RunSync(fn)); }

  std::unique_ptr<testsupport::WorkerOnThread> thread_;
  Worker* worker_ = nullptr;
};

TEST_F(WorkerMemoryTest, SizeMapFromOption) {
  std::map<uint32_t, uint32_t> map;
  worker_->ConstructMemPoolSizeMap(&map);
  std::map<uint32_t, uint32_t> expected = {{512, 10240},  {4096, 10240}, {8192, 1024},
                                           {16384, 1024}, {32768, 1024}, {65536, 1024},
                                           {131072, 4},   {262144, 512}};
  EXPECT_EQ(map, expected);
  WorkerOption rdma = Option();
  rdma.enable_memory_pool = 1;
  rdma.enable_rdma = 1;
  rdma.max_io_chunk_size = 4096;  // replaces the listed count
  EventWorker sized(0, rdma, nullptr);
  sized.ConstructMemPoolSizeMap(&map);
  EXPECT_EQ(map[4096], 256u);
  EXPECT_EQ(map[524288 + 8192], 1024u);
  rdma.rdma_option.use_srq = false;
  EventWorker no_srq(0, rdma, nullptr);
  no_srq.ConstructMemPoolSizeMap(&map);
  EXPECT_EQ(map[524288 + 8192], 5120u);
  WorkerOption off = Option();
  EventWorker none(0, off, nullptr);
  none.ConstructMemPoolSizeMap(&map);
  EXPECT_TRUE(map.empty());
}

TEST_F(WorkerMemoryTest, MallocFreeThroughWorker) {
  OnLoop([&] {
    MemoryPool* pool = worker_->mem_pool(0);
    ASSERT_NE(pool, nullptr);
    void* a = worker_->Malloc(512);
    void* b = worker_->Malloc(513);
    void* big = worker_->Malloc(1 << 20);  // above the largest chunk: tracked block
    ASSERT_TRUE(a && b && big);
    EXPECT_TRUE(pool->InRegion(a));
    EXPECT_TRUE(pool->InRegion(b));
    EXPECT_FALSE(pool->InRegion(big));
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
    worker_->GetMemPoolStat(&stat);
    EXPECT_EQ(stat[512], std::make_pair(uint64_t{10240}, uint64_t{10239}));
    EXPECT_EQ(stat[4096], std::make_pair(uint64_t{10240}, uint64_t{10239}));
    worker_->Free(a);
    worker_->Free(b);
    worker_->Free(big);
    worker_->Free(nullptr);  // logged, nothing else
    worker_->GetMemPoolStat(&stat);
    EXPECT_EQ(stat[512].second, 10240u);
    EXPECT_EQ(stat[4096].second, 10240u);
    EXPECT_NE(worker_->ReportMemPoolInfo().find("size:\t4096,\ttotal:\t10240,\tleft:\t10240\n"),
              std::string::npos);
    EXPECT_TRUE(pool->CheckIdleInner());
  });
}

TEST_F(WorkerMemoryTest, ExtendsWhenShortAndShrinksWhenIdle) {
  OnLoop([&] {
    // Empty the 4096 slab and its fallback, the 8192 slab.
    std::vector<void*> held;
    for (int i = 0; i < 10240 + 1024; ++i) {
      void* p = worker_->Malloc(4096);
      ASSERT_NE(p, nullptr);
      held.push_back(p);
    }
    EXPECT_EQ(worker_->mem_pool_num(), 1u);
    void* more = worker_->Malloc(4096);  // fails in pool 0: one extension
    ASSERT_NE(more, nullptr);
    held.push_back(more);
    ASSERT_EQ(worker_->mem_pool_num(), 2u);
    MemoryPool* extra = worker_->mem_pool(1);
    EXPECT_TRUE(extra->InRegion(more));
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> stat;
    extra->Report(&stat);
    EXPECT_EQ(stat.size(), 2u);  // only the sizes that ran short
    EXPECT_EQ(stat[4096].first, 10240u);
    EXPECT_EQ(stat[8192].first, 1024u);

    // Still in use: nothing is given back.
    worker_->ShrinkMemoryPool();
    EXPECT_EQ(worker_->mem_pool_num(), 2u);
    for (void* p : held) worker_->Free(p);
    // Idle but used recently: kept.
    worker_->ShrinkMemoryPool();
    EXPECT_EQ(worker_->mem_pool_num(), 2u);
    // Idle for just over ten minutes: given back; the first pool never is.
    // The clock is moved forward, never the last use back: the TSC starts
    // near zero at boot.
    const uint64_t later = plinth::rdtsc() + 601 * plinth::TimeCycle::tsc_rate_;
    worker_->ShrinkMemoryPool(later);
    EXPECT_EQ(worker_->mem_pool_num(), 1u);
    worker_->ShrinkMemoryPool(later);
    EXPECT_EQ(worker_->mem_pool_num(), 1u);
  });
}

TEST_F(WorkerMemoryTest, NoExtensionWhileChunksRemain) {
  OnLoop([&] {
    // A size with plenty free but nothing large enough: served as a block,
    // no new pool.
    void* p = worker_->Malloc(300000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(worker_->mem_pool_num(), 1u);
    worker_->Free(p);
  });
}

TEST(WorkerMemoryDeathTest, PointerFreedOnWrongWorkerEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WorkerOption option = Option();
  option.enable_memory_pool = 1;
  option.max_io_chunk_size = 4096;
  WorkerThread a("mem-a", nullptr, option, false);
  WorkerThread b("mem-b", nullptr, option, false);
  Worker* wa = a.Start();
  Worker* wb = b.Start();
  ASSERT_TRUE(wa && wb);
  void* p = nullptr;
  wa->loop()->RunInLoop([&] { p = wa->Malloc(4096); }, false);
  ASSERT_NE(p, nullptr);
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        wb->loop()->RunInLoop([&] { wb->Free(p); }, false);
      },
      "this ptr does not belong to this worker, ptr: ");
  wa->loop()->RunInLoop([&] { wa->Free(p); }, false);
}

TEST(WorkerMemoryDeathTest, MallocOffTheWorkerThreadEndsProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WorkerThread a("mem-off", nullptr, Option(), false);
  Worker* wa = a.Start();
  ASSERT_NE(wa, nullptr);
  EXPECT_DEATH(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        wa->Malloc(64);
      },
      "AssertInThread error");
}

}  // namespace
}  // namespace tarn

namespace tarn {
namespace {

// A process out of file descriptors: an event worker cannot build its loop.
// Start answers false after the system's words, and the process goes on.
// (libevent itself ends the process when it cannot make its signal pair, so
// the limit leaves room for that and its epoll descriptor.)
TEST(WorkerColonyStart, OutOfDescriptorsFailsAndTheProcessGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  // UBSan's dynamic-type check probes memory through a pipe; with no
  // descriptor left it reports every object it cannot probe as invalid.
  GTEST_SKIP() << "the sanitizer itself needs descriptors";
#endif
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(lowest_free + 3);
    CHILD_EXPECT(setrlimit(RLIMIT_NOFILE, &limit) == 0);
    WorkerOption option;
    option.name_prefix = "nofd-";
    {
      EventWorkerColony colony(1, option, nullptr);
      CHILD_EXPECT(!colony.Start());
      CHILD_EXPECT(!colony.started());
    }
    printf("process goes on\n");
    fflush(stdout);
    return 0;
  }, 60);
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
  EXPECT_NE(r.output.find("process goes on"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Too many open files"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("worker colony nofd- failed to start"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("FATAL"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace tarn
