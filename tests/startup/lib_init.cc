// Process start-up acts once per process, so every case runs in a child
// process of its own and reports by its exit status and output.
#include <dirent.h>
#include <numa.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "spdk/env_standin.h"
#include "support/child.h"
#include "support/ports.h"
#include "support/sockets.h"
#include "tarn/base/async_logging.h"
#include "tarn/base/current_thread.h"
#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/lib_init.h"
#include "tarn/loop.h"
#include "tarn/polling/spdk_rte.h"

namespace tarn {
namespace {

using testsupport::ChildResult;
using testsupport::Describe;
using testsupport::RunInChild;

// Ends the child from any of its threads: status 0 when `ok`, else 3 with
// the reason in its output.
[[noreturn]] void Finish(bool ok, const char* why) {
  if (!ok) fprintf(stderr, "child check failed: %s\n", why);
  fflush(nullptr);
  _exit(ok ? 0 : 3);
}

#define CHILD_CHECK(cond)              \
  do {                                 \
    if (!(cond)) Finish(false, #cond); \
  } while (0)

// The child ended with `code` and wrote `text` (when not empty).
void ExpectChild(const ChildResult& r, int code, const std::string& text = "") {
  EXPECT_FALSE(r.timed_out) << Describe(r);
  EXPECT_EQ(r.signal, 0) << Describe(r);
  EXPECT_EQ(r.exit_code, code) << Describe(r);
  if (!text.empty()) {
    EXPECT_NE(r.output.find(text), std::string::npos) << Describe(r);
  }
}

std::string MakeTempDir() {
  char tmpl[] = "/tmp/tarn_libinit_XXXXXX";
  char* dir = mkdtemp(tmpl);
  return dir ? std::string(dir) : std::string();
}

std::string ReadDirFiles(const std::string& dir) {
  std::string all;
  DIR* d = opendir(dir.c_str());
  if (!d) return all;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name);
    std::stringstream ss;
    ss << in.rdbuf();
    all += ss.str();
  }
  closedir(d);
  return all;
}

TEST(LibInitTest, SecondCallChangesNothing) {
  const ChildResult r = RunInChild([&] {
    LibOption first;
    first.log_level = "warning";
    LibInit(first);
    LibOption second;
    second.log_level = "debug";
    second.enable_metrics = true;
    second.numa_id = 100000;  // would end the process if it were looked at
    LibInit(second);
    CHILD_CHECK(plinth::Logger::logLevel() == plinth::Logger::WARN);
    CHILD_CHECK(!g_enable_metrics);
    CHILD_CHECK(g_numa_id == -1);
    CHILD_CHECK(g_lib_inited);
    return 0;
  });
  ExpectChild(r, 0);
}

TEST(LibInitTest, EmptyLogFileKeepsStandardOutput) {
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.log_level = "info";
    LibInit(opt);
    CHILD_CHECK(g_async_log == nullptr);
    CHILD_CHECK(plinth::g_output.load() == &plinth::defaultOutput);
    return 0;
  });
  ExpectChild(r, 0);
}

TEST(LibInitTest, NumaNodeAboveHighestEndsProcess) {
  int max_node = numa_available() < 0 ? 0 : numa_max_node();
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.numa_id = max_node + 1;
    LibInit(opt);
    return 0;
  });
  ExpectChild(r, 1, "numa id error, max numa id: ");
}

TEST(LibInitTest, NumaNodeNoneAndHighestPass) {
  int max_node = numa_available() < 0 ? 0 : numa_max_node();
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.numa_id = max_node;
    LibInit(opt);
    CHILD_CHECK(g_numa_id == max_node);
    return 0;
  });
  ExpectChild(r, 0);
}

TEST(LibInitTest, LogFileReceivesLinesAndStandardOutput) {
  std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.log_file = dir + "/pyxdriver";
    opt.log_roll_size = 50;
    LibInit(opt);
    CHILD_CHECK(g_async_log != nullptr);
    LOG_INFO << "line through the writer " << 42;
    printf("printf after redirect\n");
    fflush(stdout);
    g_async_log->stop();
    std::string text = ReadDirFiles(dir);
    CHILD_CHECK(text.find("line through the writer 42") != std::string::npos);
    CHILD_CHECK(text.find("printf after redirect") != std::string::npos);
    return 0;
  });
  ExpectChild(r, 0);
  std::string cmd = "rm -rf " + dir;
  ASSERT_EQ(0, system(cmd.c_str()));
}

TEST(LibInitTest, MetricsServerAnswersOverHttp) {
  const uint16_t port = testsupport::PickFreePort();
  ASSERT_GT(port, 0);
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.enable_metrics = true;
    opt.metrics_port = port;
    LibInit(opt);
    CHILD_CHECK(g_enable_metrics);
    std::string vars = testsupport::HttpGet(port, "/vars");
    std::string metrics = testsupport::HttpGet(port, "/metrics");
    CHILD_CHECK(vars.find("200 OK") != std::string::npos);
    CHILD_CHECK(metrics.find("200 OK") != std::string::npos);
    return 0;
  });
  ExpectChild(r, 0);
}

TEST(LibInitTest, MetricsPortInUseIsLoggedAndStartUpGoesOn) {
  uint16_t port = 0;
  const int fd = testsupport::ListenAnyAddress(&port);
  ASSERT_GE(fd, 0);
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.enable_metrics = true;
    opt.metrics_port = port;
    LibInit(opt);
    CHILD_CHECK(g_lib_inited);
    return 0;
  });
  ExpectChild(r, 0, "start metrics server failed, port: ");
  close(fd);
}

TEST(LibInitTest, SpdkEnvironmentStartsOnce) {
  const ChildResult r = RunInChild([&] {
    LibOption opt;
    opt.init_spdk_env = true;
    opt.mem_size = 256;
    opt.shm_id = 7;
    opt.hugedir = "/dev/hugepages";
    LibInit(opt);
    CHILD_CHECK(g_spdk_env_inited.load());
    spdk_standin::EnvRecord rec;
    CHILD_CHECK(spdk_standin::env_record(&rec));
    CHILD_CHECK(rec.name == "tarn");
    CHILD_CHECK(rec.mem_size == 256);
    CHILD_CHECK(rec.shm_id == 7);
    CHILD_CHECK(rec.hugedir == "/dev/hugepages");
    CHILD_CHECK(rec.core_mask.size() > 2 && rec.core_mask.front() == '[');
    // The start pinned this thread; it must be free to run anywhere again.
    cpu_set_t set;
    CHILD_CHECK(sched_getaffinity(0, sizeof(set), &set) == 0);
    CHILD_CHECK(std::thread::hardware_concurrency() <= 1 || CPU_COUNT(&set) > 1);
    // A second start is a no-op, even when it would fail now.
    spdk_standin::set_env_init_result(-5);
    CHILD_CHECK(SpdkRte::Init(opt) == 0);
    return 0;
  });
  ExpectChild(r, 0);
}

TEST(LibInitTest, FailedSpdkStartIsLoggedAndStartUpGoesOn) {
  const ChildResult r = RunInChild([&] {
    spdk_standin::set_env_init_result(-12);
    LibOption opt;
    opt.init_spdk_env = true;
    LibInit(opt);
    CHILD_CHECK(g_lib_inited);
    CHILD_CHECK(!g_spdk_env_inited.load());
    return 0;
  });
  ExpectChild(r, 0, "init spdk env failed");
}

TEST(LibInitTest, AppWorkerRunsTasksOnCallingThread) {
  const ChildResult r = RunInChild([&] {
    std::atomic<int> loop_tid{0};
    std::atomic<bool> ran{false};
    std::thread app([&] {
      AppInit();
      EventWorker* first = g_app_worker;
      AppInit();  // same thread, again: nothing changes
      if (g_app_worker != first) Finish(false, "AppInit replaced the worker");
      loop_tid = plinth::CurrentThread::tid();
      AppRunUntilAskedToQuit("app-worker");
    });
    while (loop_tid.load() == 0) std::this_thread::yield();
    std::atomic<int> task_tid{0};
    g_app_worker->loop()->RunInLoop(
        [&] {
          task_tid = plinth::CurrentThread::tid();
          ran = true;
        },
        /*async=*/false);
    CHILD_CHECK(ran.load());
    CHILD_CHECK(task_tid.load() == loop_tid.load());
    EventWorker* before = g_app_worker;
    std::thread other([] { AppInit(); });  // later, elsewhere: no effect
    other.join();
    CHILD_CHECK(g_app_worker == before);
    g_app_worker->Stop();
    app.join();
    return 0;
  });
  ExpectChild(r, 0);
}

}  // namespace
}  // namespace tarn
