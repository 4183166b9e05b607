// Polling workers, their pollers, worker threads and colonies on real
// threads. Polling threads never sleep, so no case runs more than two.
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/threads.h"
#include "tarn/polling/poller.h"
#include "tarn/polling/polling_loop.h"
#include "tarn/polling/polling_worker.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/worker_thread.h"
#include "verbs_emu/verbs_emu.h"

namespace tarn {
namespace {

std::string ThreadName() {
  char name[32] = {};
  ::prctl(PR_GET_NAME, name);
  return name;
}

uint32_t UsableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return static_cast<uint32_t>(CPU_COUNT(&set));
}

struct RecvDepthCase {
  bool rdma;
  bool use_srq;
  uint32_t depth;
  uint32_t expected;
};

TEST(PollingWorkerTest, ReceiveDepthIsCappedOnlyWithoutSharedReceiveQueue) {
  const RecvDepthCase cases[] = {
      {true, false, 1024, 128}, {true, false, 128, 128}, {true, false, 64, 64},
      {true, true, 1024, 1024}, {false, false, 1024, 1024},
  };
  for (const RecvDepthCase& c : cases) {
    WorkerOption option;
    option.enable_rdma = c.rdma;
    option.rdma_option.use_srq = c.use_srq;
    option.rdma_option.recv_depth = c.depth;
    PollingWorker worker(0, nullptr, option);  // touches no device
    EXPECT_EQ(worker.option().rdma_option.recv_depth, c.expected)
        << "rdma " << c.rdma << ", srq " << c.use_srq << ", depth " << c.depth;
    EXPECT_EQ(worker.rdma_handle(), nullptr);
  }
}

TEST(PollingWorkerTest, PollerListSwapsTheLastIntoARemovedSlot) {
  PollingWorker worker(0, nullptr, WorkerOption());
  worker.Init();  // this thread is the loop's; nothing runs it but Poll()
  Poller first("first", [] { return 1; });
  Poller second("second", [] { return 2; });
  Poller third("third", [] { return 4; });
  for (Poller* p : {&first, &second, &third}) worker.RegisterPoller(p);
  EXPECT_EQ(worker.Poll(), 7);
  worker.UnregisterPoller(&first);
  ASSERT_EQ(worker.pollers(), (std::vector<Poller*>{&third, &second}));
  EXPECT_EQ(third.index, 0);
  EXPECT_EQ(second.index, 1);
  EXPECT_EQ(first.index, -1);
  EXPECT_EQ(worker.Poll(), 6);
  EXPECT_EQ(worker.pass_count(), 2u);
}

TEST(PollingWorkerTest, WithoutRdmaNoDeviceAndMemoryRegionCallsFail) {
  PollingWorker worker(0, nullptr, WorkerOption());
  worker.Init();
  EXPECT_EQ(worker.rdma_handle(), nullptr);
  EXPECT_TRUE(worker.pollers().empty());  // no "rdma_poller"
  char buf[64];
  uint32_t lkey = 0, rkey = 0;
  EXPECT_LT(worker.GetMrKey(buf, &lkey, &rkey), 0);
  EXPECT_LT(worker.RegisterMr(buf, sizeof(buf)), 0);
  EXPECT_LT(worker.UnregisterMr(buf, sizeof(buf)), 0);
  EXPECT_EQ(worker.NewQueuePair(), nullptr);
}

TEST(PollingColonyTest, RunsTasksAndStopsOnceOrTwice) {
  WorkerOption option;
  option.name_prefix = "poll-";
  PollingWorkerColony colony(1, option, nullptr);
  colony.Start();
  Worker* worker = colony.GetWorker(0u);

  testsupport::LogCapture logs;
  // A second Start on the running worker returns at once.
  ASSERT_EQ(worker->loop()->RunInLoop([&] { worker->Start("again"); }, false), 0);
  EXPECT_EQ(worker->state(), Worker::kRunning);
  EXPECT_NE(logs.LineWith("worker is running for name: poll-0, can not repeated runing for "
                          "name: again"),
            "");

  colony.Stop();
  EXPECT_EQ(worker->state(), Worker::kStopping);
  worker->Stop();  // harmless
  EXPECT_EQ(worker->loop()->RunInLoop([] {}, false), -1);
}

TEST(PollingColonyTest, CoreMaskPinsTheWorker) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  if (cpu >= 64) GTEST_SKIP() << "first usable CPU beyond a 64-bit mask";
  std::ostringstream mask;
  mask << std::hex << (uint64_t{1} << cpu);

  WorkerOption option;
  option.core_mask = mask.str();
  PollingWorkerColony colony(1, option, nullptr);
  colony.Start();
  cpu_set_t pinned;
  CPU_ZERO(&pinned);
  ASSERT_EQ(colony.GetWorker(0u)->loop()->RunInLoop(
                [&] { sched_getaffinity(0, sizeof(pinned), &pinned); }, false),
            0);
  EXPECT_EQ(CPU_COUNT(&pinned), 1);
  EXPECT_TRUE(CPU_ISSET(cpu, &pinned));
  colony.Stop();
}

TEST(PollingWorkerThreadTest, HostsARunningPollingWorker) {
  WorkerThread host("poll-thread", nullptr, WorkerOption(), true);
  Worker* worker = host.Start();
  ASSERT_NE(dynamic_cast<PollingWorker*>(worker), nullptr);
  std::string name;
  ASSERT_EQ(worker->loop()->RunInLoop([&] { name = ThreadName(); }, false), 0);
  EXPECT_EQ(name, "poll-thread");
  host.Stop();
  EXPECT_EQ(worker->state(), Worker::kStopping);
  EXPECT_EQ(worker->loop()->RunInLoop([] {}, false), -1);
}

TEST(PollingColonyTest, NoWorkersEndsTheProcess) {
  EXPECT_DEATH(
      {
        testsupport::SendLogsToStderr();
        PollingWorkerColony colony(0, WorkerOption(), nullptr);
      },
      "worker_num should not be 0!");
}

struct MissingDeviceCase {
  const char* what;
  void (*machine)();
  const char* line;  // the system's words
  bool every_worker;  // else only one of the two fails (the other stops again)
};

// RDMA workers on a machine that cannot give them their device: Start
// answers false after saying why, the colony counts as stopped, and no
// thread of it is left; a lone worker thread answers null the same way.
TEST(PollingColonyTest, WithoutItsDeviceAColonyFailsToStartAndLeavesNoThread) {
  const MissingDeviceCase cases[] = {
      {"no device", [] { verbs_emu::RemoveAllDevices(); }, "No such device", true},
      {"open refused", [] { verbs_emu::FailNextCall("ibv_open_device", EACCES, 100); },
       "Permission denied", true},
      {"one worker's queues refused", [] { verbs_emu::FailNextCall("ibv_create_cq", ENOMEM, 1); },
       "Cannot allocate memory", false},
  };
  for (const MissingDeviceCase& c : cases) {
    SCOPED_TRACE(c.what);
    c.machine();
    testsupport::LogCapture logs;
    WorkerOption option;
    option.name_prefix = "nodev-";
    option.enable_rdma = 1;
    option.rdma_option.device_name = "emu_0";
    option.rdma_option.port_id = 1;
    option.rdma_option.gid_index = 3;
    {
      PollingWorkerColony colony(2, option, nullptr);
      EXPECT_FALSE(colony.Start());
      EXPECT_FALSE(colony.started());
      EXPECT_EQ(testsupport::SettledThreadsNamed("nodev-", 0), 0);
      colony.Stop();  // stopped already: a warning only
    }
    if (c.every_worker) {
      WorkerThread lone("nodev-lone", nullptr, option, true);
      EXPECT_EQ(lone.Start(), nullptr);
      EXPECT_EQ(testsupport::SettledThreadsNamed("nodev-", 0), 0);
      // Once the machine has its device, the same worker thread starts.
      verbs_emu::ResetFabric();
      EXPECT_NE(lone.Start(), nullptr);
      lone.Stop();
    }
    const std::string text = logs.text();
    for (const char* line : {c.line, "init rdma failed", "failed to start",
                             "worker colony nodev- failed to start"}) {
      EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    if (!c.every_worker) {
      const size_t first = text.find("init rdma failed");
      EXPECT_EQ(text.find("init rdma failed", first + 1), std::string::npos) << text;
    }
    verbs_emu::ResetFabric();
  }
}

TEST(PollingColonyTest, WorkersRunOnTheirOwnNamedThreads) {
  const uint32_t n = std::min<uint32_t>(2, UsableCpus());
  WorkerOption option;
  option.name_prefix = "pw-";
  PollingWorkerColony colony(n, option, nullptr);
  colony.Start();
  ASSERT_TRUE(colony.started());
  for (uint32_t i = 0; i < n; ++i) {
    Worker* worker = colony.GetWorker(i);
    ASSERT_NE(dynamic_cast<PollingWorker*>(worker), nullptr);
    EXPECT_EQ(worker->index(), i);
    std::string name;
    ASSERT_EQ(worker->loop()->RunInLoop([&] { name = ThreadName(); }, false), 0);
    EXPECT_EQ(name, "pw-" + std::to_string(i));
  }
  EXPECT_EQ(colony.GetWorker(), colony.GetWorker(0u));
  colony.Stop();
  for (Worker* worker : colony.GetAllWorkers()) EXPECT_EQ(worker->state(), Worker::kStopping);
}

}  // namespace
}  // namespace tarn
