// Start-up and shut-down of the library over TCP. Start-up acts once per
// process, so every case runs in a child process of its own and reports by
// its exit status and its output.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "brpc/server.h"
#include "control/globals.h"
#include "driver/control_support.h"
#include "driver/start_ini.h"
#include "pyxdriver/pyxdriver.h"
#include "support/child.h"
#include "support/sockets.h"
#include "support/threads.h"
#include "support/wait.h"
#include "tarn/loop.h"
#include "tarn/worker.h"
#include "tarn/worker_colony.h"

namespace {

using ctltest::HostDisk;
using ctltest::IniFile;
using ctltest::LogTap;

std::string Ini(int workers, const std::string& extra, int vm_port = 1) {
  return ctltest::StartIni(tarn::kTcp, workers, "127.0.0.1", std::to_string(vm_port), extra);
}

bool WaitForManager() {
  return testsupport::WaitFor([] { return pyxmanager.load() != nullptr; });
}

// Leaks found so far (AddressSanitizer builds; 0 elsewhere). A child ends
// without the exit-time check, so it asks for one itself.
int LeakCheck() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check();
#else
  return 0;
#endif
}

bool PortIsFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));  // as the server binds
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

std::string ReadDir(const std::string& dir) {
  std::string all;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return all;
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

void ExpectChildOk(const testsupport::ChildResult& r) {
  EXPECT_TRUE(r.ok()) << testsupport::Describe(r);
}

TEST(StartUp, FourWorkersOverTcp) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    IniFile ini(Ini(4, "asyn_log No\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(WaitForManager());
    CHILD_EXPECT(tp == tarn::kTcp && tp_manager == tarn::kTcp);
    CHILD_EXPECT(eventworker_colony == nullptr);
    CHILD_EXPECT(worker_colony->worker_num() == 5);
    CHILD_EXPECT(pyxmanager.load()->worker() == worker_colony->GetWorker(4));
    CHILD_EXPECT(pyx::ManagerWorker() == worker_colony->GetWorker(4));
    CHILD_EXPECT(pyxdrivers.size() == 4);
    for (int i = 0; i < 4; ++i) {
      CHILD_EXPECT(pyxdrivers[i]->id() == i);
      CHILD_EXPECT(pyxdrivers[i]->worker() == worker_colony->GetWorker(i));
    }
    const std::set<std::string> names = testsupport::ThreadNames();
    int event_threads = 0;
    for (const std::string& n : names) event_threads += n.rfind("pyx-event-", 0) == 0;
    CHILD_EXPECT(event_threads == 5);
    for (int i = 0; i < 5; ++i) CHILD_EXPECT(names.count("pyx-event-" + std::to_string(i)) == 1);
    CHILD_EXPECT(get_cpus_size() == 4);
    CHILD_EXPECT(get_max_io_size() == 16384);
    pyx_finish_env();
    CHILD_EXPECT(pyxmanager.load() == nullptr);
    CHILD_EXPECT(!worker_colony->started());
    return 0;
  });
  ExpectChildOk(r);
  EXPECT_NE(r.output.find("pid = "), std::string::npos);
  EXPECT_NE(r.output.find("xxxxxxxxxxxxxx worker_num 4"), std::string::npos);
  EXPECT_NE(r.output.find("volume manager ip:127.0.0.1|volume manager port:1"), std::string::npos);
}

TEST(StartUp, SizeQueryBeforeTheManagerExistsPostsNothing) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    IniFile ini(Ini(2, "asyn_log No\n"));
    LogTap tap;
    HostDisk disk("early");
    disk.record()->attempts = 77;
    int early = 0;
    bool manager_seen = true;
    // The manager is being built on its loop: it logs its volume managers
    // before it is published.
    tap.OnceOn("volume manager ip:", [&] {
      manager_seen = pyxmanager.load() != nullptr;
      early = get_vdisk_size(disk.record());
    });
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(WaitForManager());
    CHILD_EXPECT(!manager_seen);
    CHILD_EXPECT(early == -1);
    CHILD_EXPECT(disk.record()->attempts == 77);
    bool attached = true;
    pyx::ManagerWorker()->loop()->RunInLoop(
        [&] { attached = pyxmanager.load()->IsAttached(disk.record()); }, false);
    CHILD_EXPECT(!attached);
    CHILD_EXPECT(!tap.Has("|volume manager:"));  // no size query was sent
    CHILD_EXPECT(disk.done_count() == 0);
    return 0;
  });
  ExpectChildOk(r);
}

TEST(ShutDown, DeletesTheManagerWithCallsInFlightThenStopsTheColony) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    // A volume manager that takes calls and never answers.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    CHILD_EXPECT(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0);
    CHILD_EXPECT(listen(listener, 16) == 0);
    CHILD_EXPECT(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    IniFile ini(Ini(2, "asyn_log No\n", ntohs(a.sin_port)));
    LogTap tap;
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(WaitForManager());
    HostDisk disk("stuck");
    CHILD_EXPECT(pyx_init(disk.record()) == 0);
    CHILD_EXPECT(tap.WaitFor("|volume manager:"));
    size_t out = 0;
    pyx::ManagerWorker()->loop()->RunInLoop([&] { out = pyxmanager.load()->calls_out(); }, false);
    CHILD_EXPECT(out == 1);
    pyx_finish_env();
    CHILD_EXPECT(pyxmanager.load() == nullptr);
    CHILD_EXPECT(!worker_colony->started());
    // The loop is gone: the host's later calls fail or do nothing.
    CHILD_EXPECT(get_vdisk_size(disk.record()) == -1);
    pyx_finish_env();  // no manager: nothing left to do
    disk.Free();
    CHILD_EXPECT(disk.done_count() == 0);
    CHILD_EXPECT(LeakCheck() == 0);
    close(listener);
    return 0;
  });
  ExpectChildOk(r);
}

TEST(ShutDown, WithoutStartUpDoesNothing) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    const int threads = testsupport::ThreadCount();  // a sanitizer may run one of its own
    pyx_finish_env();
    CHILD_EXPECT(pyxmanager.load() == nullptr);
    CHILD_EXPECT(testsupport::SettledThreadCount(threads) == threads);
    return 0;
  });
  ExpectChildOk(r);
}

TEST(StartUp, MetricsServerOnlyWhenEnabled) {
  const testsupport::ChildResult off = testsupport::RunInChild([] {
    IniFile ini(Ini(1, "asyn_log No\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(brpc::DummyServerPort() == 0);
    return 0;
  });
  ExpectChildOk(off);
  if (!PortIsFree(8020)) GTEST_SKIP() << "port 8020 is taken on this machine";
  const testsupport::ChildResult on = testsupport::RunInChild([] {
    IniFile ini(Ini(1, "asyn_log No\nenable_metric Yes\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(brpc::DummyServerPort() == 8020);
    const std::string vars = testsupport::HttpGet(8020, "/vars");
    CHILD_EXPECT(vars.find("200") != std::string::npos);
    CHILD_EXPECT(vars.find("pyxdriver") != std::string::npos);
    return 0;
  });
  ExpectChildOk(on);
  EXPECT_NE(on.output.find("enable_metric is true"), std::string::npos);
}

TEST(StartUp, AsyncLogOffKeepsStandardOutput) {
  char tmpl[] = "/tmp/pyx_logdir_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string ini = Ini(1, "asyn_log No\nlog_file " + dir + "/pyxdriver\n");
  const testsupport::ChildResult r = testsupport::RunInChild([&] {
    IniFile file(ini);
    CHILD_EXPECT(pyx_init_env() == 0);
    return 0;
  });
  ExpectChildOk(r);
  EXPECT_NE(r.output.find("xxxxxxxxxxxxxx worker_num 1"), std::string::npos) << r.output;
  EXPECT_EQ(ReadDir(dir), "");
  rmdir(dir.c_str());
}

TEST(StartUp, AsyncLogOnWritesTheLogFile) {
  char tmpl[] = "/tmp/pyx_logdir_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string ini = Ini(1, "asyn_log Yes\nlog_size 10\nlog_file " + dir + "/pyxdriver\n");
  const testsupport::ChildResult r = testsupport::RunInChild([&] {
    IniFile file(ini);
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(testsupport::WaitFor(
        [&] { return ReadDir(dir).find("xxxxxxxxxxxxxx worker_num 1") != std::string::npos; }));
    return 0;
  });
  ExpectChildOk(r);
  EXPECT_EQ(r.output.find("xxxxxxxxxxxxxx worker_num 1"), std::string::npos);
  EXPECT_NE(ReadDir(dir).find("pid = "), std::string::npos);
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
  rmdir(dir.c_str());
}

// A host that starts, fails, shuts down and exits within milliseconds: the
// lines of that last second are in the log file when pyx_finish_env
// returns, and what follows reaches it at the normal exit.
TEST(ShutDown, LastLinesReachTheLogFile) {
  char tmpl[] = "/tmp/pyx_logdir_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string ini = Ini(1, "asyn_log Yes\nlog_file " + dir + "/pyxdriver\n");
  const testsupport::ChildResult r = testsupport::RunInChild([&] {
    IniFile file(ini);
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(WaitForManager());
    HostDisk disk("never");
    CHILD_EXPECT(pyx_init(disk.record()) == 0);  // no volume manager answers
    LOG_ERROR << "host gives up on the disk";
    pyx_finish_env();
    const std::string logged = ReadDir(dir);
    CHILD_EXPECT(logged.find("host gives up on the disk") != std::string::npos);
    CHILD_EXPECT(logged.find("xxxxxxxxxxxxxx worker_num 1") != std::string::npos);
    LOG_INFO << "host exits";
    exit(0);
  });
  ExpectChildOk(r);
  EXPECT_NE(ReadDir(dir).find("INFO  host exits"), std::string::npos) << ReadDir(dir);
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
  rmdir(dir.c_str());
}

struct RefusedStart {
  const char* what;
  std::string ini;
  int result;
  const char* line;  // the check's own line; a refusal follows it with "Failed to int env"
};

// The keys a case does not state, over TCP or RDMA.
std::string Section(const std::string& keys, bool rdma = false) {
  return "[ORLA]\nuse_orla Yes\nvolume_manager_ips 127.0.0.1\nvolume_manager_ports 1\n"
         "rdma_device d\nservice_ip 127.0.0.1\nworker_num 2\n" +
         std::string(rdma ? "is_tcp No\n" : "is_tcp Yes\n") + keys;
}

TEST(StartUp, RefusedStartsStartNothing) {
  const std::string port = "service_port " + std::to_string(testsupport::PickFreePort()) + "\n";
  const RefusedStart cases[] = {
      {"rdma", Section(port + "recv_buff_size 8\n", true), -1,
       "error: recv_buff_size 8 KiB is too small for an I/O of 262144 bytes plus its headers, "
       "it should be at least 261 KiB"},
      {"rdma, max_io_size", Section(port + "recv_buff_size 260\nmax_io_size 4096\n", true), -1,
       "error: recv_buff_size 260 KiB is too small for an I/O of 262144 bytes plus its headers, "
       "it should be at least 261 KiB"},
      {"use_orla off", "[ORLA]\nuse_orla No\n", 0, "not use orla"},
      {"bad config", Ini(17, ""), -1, "error: io worker should less than 16"},
      // Nothing would ever be admitted.
      {"max_flighting 0", Section(port + "max_flighting 0\n"), -1,
       "error: max_flighting should be greater than 0, got 0"},
      {"max_flighting -1", Section(port + "max_flighting -1\n"), -1,
       "error: max_flighting should be greater than 0, got -1"},
      // Registered as written but listened on elsewhere (or at random).
      {"service_port 65536", Section("service_port 65536\n"), -1,
       "error: service_port should be from 1 to 65535, got 65536"},
      {"service_port 70000", Section("service_port 70000\n"), -1,
       "error: service_port should be from 1 to 65535, got 70000"},
      {"service_port 0", Section("service_port 0\n"), -1,
       "error: service_port should be from 1 to 65535, got 0"},
  };
  for (const RefusedStart& c : cases) {
    const testsupport::ChildResult r = testsupport::RunInChild([&] {
      IniFile file(c.ini);
      const int threads = testsupport::ThreadCount();
      CHILD_EXPECT(pyx_init_env() == c.result);
      CHILD_EXPECT(worker_colony == nullptr);
      CHILD_EXPECT(pyxdrivers.empty());
      CHILD_EXPECT(pyx::ManagerWorker() == nullptr);
      CHILD_EXPECT(testsupport::SettledThreadCount(threads) == threads);
      return 0;
    });
    ExpectChildOk(r);
    const size_t own = r.output.find(c.line);
    ASSERT_NE(own, std::string::npos) << c.what << "\n" << r.output;
    if (c.result != 0) {
      // Both at ERROR, the check's own line first.
      const size_t line_start = r.output.rfind('\n', own) + 1;
      EXPECT_NE(r.output.substr(line_start, own - line_start).find(" ERROR "), std::string::npos)
          << c.what;
      const size_t common = r.output.find("Failed to int env", own);
      EXPECT_NE(common, std::string::npos) << c.what << "\n" << r.output;
      const size_t common_start = r.output.rfind('\n', common) + 1;
      EXPECT_NE(r.output.substr(common_start, common - common_start).find(" ERROR "),
                std::string::npos)
          << c.what;
    }
  }
}

TEST(StartUp, OnlyOncePerProcess) {
  const testsupport::ChildResult r = testsupport::RunInChild([] {
    IniFile ini(Ini(1, "asyn_log No\n"));
    CHILD_EXPECT(pyx_init_env() == 0);
    CHILD_EXPECT(pyx_init_env() == -1);
    CHILD_EXPECT(pyxdrivers.size() == 1);
    return 0;
  });
  ExpectChildOk(r);
  EXPECT_NE(r.output.find("pyx_init_env: the library is already started"), std::string::npos);
}

}  // namespace
