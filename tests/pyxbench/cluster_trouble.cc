// pyxbench when the cluster gives trouble, as a fio user meets it: a value
// the driver would refuse or misread is refused before anything starts
// (and what the library itself still refuses comes with its own reason); the
// memory the cluster pyxbench starts holds is what the check counted; a
// frozen cluster is stopped as promised, at once while the disk opens, and
// one that does not answer is said so, with where it is.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"

namespace {

using benchchild::Bench;
using benchchild::ChildrenNamed;
using benchchild::Clock;
using benchchild::Gone;
using benchchild::ReadAll;
using benchchild::Since;
using benchchild::TakeLogDir;
using benchchild::TempPath;

// A cluster program of the test's own with one disk d1, its driver
// configuration at `ini`; null when it did not get ready.
std::unique_ptr<Bench> StartCluster(const std::string& ini,
                                    const std::vector<std::string>& extra = {}) {
  std::vector<std::string> argv = {std::string(PYX_BUILD_DIR) + "/sim/pyxsim", "--bs", "2",
                                   "--disk", "d1:64M", "--ini", ini};
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::unique_ptr<Bench> sim(new Bench(argv));
  const auto start = Clock::now();
  while (sim->out().find("pyxsim ready") == std::string::npos && Since(start) < 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (sim->out().find("pyxsim ready") == std::string::npos) return nullptr;
  return sim;
}

// The number after `mark` in `text` (0 when absent).
double NumberAfter(const std::string& text, const std::string& mark) {
  const size_t at = text.find(mark);
  return at == std::string::npos ? 0 : strtod(text.c_str() + at + mark.size(), nullptr);
}

// Bytes of memory `pid` holds at its peak and for its page tables now:
// VmHWM + VmPTE.
uint64_t PeakBytes(pid_t pid) {
  const std::string status = ReadAll("/proc/" + std::to_string(pid) + "/status");
  return static_cast<uint64_t>(NumberAfter(status, "VmHWM:") + NumberAfter(status, "VmPTE:"))
         << 10;
}

// --- Values checked before anything starts ---

TEST(PyxbenchTrouble, EnvironmentRefusedWithItsLimitAndGoodValuesTaken) {
  const char* const kBad[] = {"PYXBENCH_HANG_S=abc", "PYXBENCH_HANG_S=0", "PYXBENCH_HANG_S=-5",
                              "PYXBENCH_HANG_S=1e99", "PYXBENCH_HANG_S=5x"};
  std::vector<std::unique_ptr<Bench>> runs;
  for (const char* env : kBad) runs.emplace_back(new Bench({PYXBENCH_BIN}, {env}));
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string value = std::string(kBad[i]).substr(16);
    EXPECT_EQ(runs[i]->Wait(60), 2) << kBad[i] << ": " << runs[i]->err();
    const std::string err = runs[i]->err();
    EXPECT_NE(err.find("bad value '" + value + "' for PYXBENCH_HANG_S: allowed 1 to 604800"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("logs kept"), std::string::npos) << "started: " << err;
  }
  // The heaviest well-behaved values: the limits themselves, taken as given.
  Bench good({PYXBENCH_BIN, "--runtime", "0.5", "--size", "16m", "--iodepth", "4", "--json",
              "--progress", "off", "--ini-set", "worker_num=16", "--ini-set", "rpc_timeout=600000",
              "--ini-set", "polling_interval_ms=1", "--ini-set", "max_io_size=1048576",
              "--ini-set", "kLogLevel=warning", "--ini-set", "is_crc=YES", "--ini-set",
              "rpc_depth=2048", "--ini-set", "log_size=8192"},
             {"PYXBENCH_HANG_S=2m"});
  EXPECT_EQ(good.Wait(180), 0) << good.err();
  EXPECT_NE(good.out().find("\"clean\": true"), std::string::npos) << good.out();
  EXPECT_NE(good.out().find("\"drivers\": 16"), std::string::npos) << good.out();
  EXPECT_NE(good.out().find("\"crc\": true"), std::string::npos) << good.out();
}

TEST(PyxbenchTrouble, IniSetValuesRefusedWithTheLimitsOfTheirOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const Case kCases[] = {
      {{"--ini-set", "worker_num=0"},
       "'worker_num=0' for --ini-set: worker_num: allowed 1 to 16, as --drivers"},
      {{"--ini-set", "worker_num=17"}, "worker_num: allowed 1 to 16, as --drivers"},
      {{"--ini-set", "max_io_size=abc"},
       "'max_io_size=abc' for --ini-set: max_io_size: allowed multiples of 4096 from 4096 to "
       "1048576"},
      {{"--ini-set", "max_io_size=6000"}, "max_io_size: allowed multiples of 4096"},
      {{"--ini-set", "rpc_timeout=-1"},
       "'rpc_timeout=-1' for --ini-set: rpc_timeout: allowed 10 to 600000, as --rpc-timeout-ms"},
      {{"--ini-set", "polling_interval_ms=0"},
       "'polling_interval_ms=0' for --ini-set: polling_interval_ms: allowed 1 to 2147483647"},
      {{"--ini-set", "polling_interval_ms=99999999999"}, "polling_interval_ms: allowed 1 to"},
      {{"--ini-set", "kLogLevel=bogus"},
       "'kLogLevel=bogus' for --ini-set: kLogLevel: allowed trace, debug, info, warning, error "
       "or fatal"},
      {{"--ini-set", "is_crc=on"}, "is_crc: allowed yes, no, true, false, y or n (any case)"},
      {{"--ini-set", "rpc_depth=4096"}, "rpc_depth: allowed 0 to 2048"},
      {{"--ini-set", "service_port=0"}, "service_port: allowed 1 to 65535"},
      {{"--ini-set", "service_ip=localhost"}, "service_ip: allowed an IPv4 or IPv6 address"},
      {{"--ini-set", "volume_manager_ports=4000,x"}, "volume_manager_ports: allowed ports"},
      {{"--ini-set", "use_orla=No"}, "use_orla: allowed yes, true or y"},
      {{"--ini-set", "log_file=/nonexistent/dir/log"}, "log_file: allowed a path in a folder"},
      {{"--ini-set", "recv_buff_size=64"}, "recv_buff_size: allowed 0 (the framework's size), or 261"},
      // A line break would add keys of its own to the configuration.
      {{"--ini-set", "kLogLevel=info\nworker_num 0"}, "without '#' or control characters"},
      {{"--ini-set", "rdma_device=mlx5_0#x"}, "without '#' or control characters"},
      // An option's value missing: the next option is no value.
      {{"--runtime", "--json"}, "--runtime needs a value (before --json): allowed 0.1 to 604800"},
      {{"--size", "--prefill"}, "--size needs a value (before --prefill)"},
      {{"--ini-set"}, "--ini-set needs a value"},
      // The cluster program is one that runs, before it is started.
      {{"--pyxsim", "/nonexistent/pyxsim"},
       "'/nonexistent/pyxsim' for --pyxsim: allowed a program this user may run"},
      {{"--pyxsim", "/tmp"}, "'/tmp' for --pyxsim: allowed a program this user may run"},
  };
  std::vector<std::unique_ptr<Bench>> runs;
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {PYXBENCH_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i]->Wait(60), 2) << kCases[i].said << ": " << runs[i]->err();
    const std::string err = runs[i]->err();
    EXPECT_NE(err.find(kCases[i].said), std::string::npos) << err;
    EXPECT_EQ(err.find("logs kept"), std::string::npos) << "started: " << err;
  }
  // --help states each key's limit as the refusal does.
  Bench usage({PYXBENCH_BIN, "--help"});
  ASSERT_EQ(usage.Wait(60), 0);
  for (const char* line : {"worker_num: 1 to 16, as --drivers",
                           "rpc_timeout: 10 to 600000, as --rpc-timeout-ms",
                           "kLogLevel: trace, debug, info, warning, error or fatal",
                           "PYXBENCH_HANG_S seconds: 1 to 604800"}) {
    EXPECT_NE(usage.out().find(line), std::string::npos) << line;
  }
}

// Values the driver takes as they are written in its own files are taken
// through --ini-set too: a core mask with the framework's "0X" prefix, and
// empty values that select the driver's own choice (no mask, level info).
TEST(PyxbenchTrouble, IniSetValuesTheDriverTakesAreTaken) {
  Bench b({PYXBENCH_BIN, "--runtime", "0.5", "--size", "16m", "--iodepth", "4", "--json",
           "--progress", "off", "--ini-set", "worker_core_mask=0XF", "--ini-set", "kLogLevel="});
  EXPECT_EQ(b.Wait(180), 0) << b.err();
  EXPECT_NE(b.out().find("\"clean\": true"), std::string::npos) << b.out() << b.err();
  Bench empty_mask({PYXBENCH_BIN, "--runtime", "0.5", "--size", "16m", "--iodepth", "4",
                    "--json", "--progress", "off", "--ini-set", "worker_core_mask="});
  EXPECT_EQ(empty_mask.Wait(180), 0) << empty_mask.err();
  EXPECT_NE(empty_mask.out().find("\"clean\": true"), std::string::npos)
      << empty_mask.out() << empty_mask.err();
}

// What the library still refuses (it knows the machine's cores) comes with
// its own reason on standard error, not an empty line.
TEST(PyxbenchTrouble, LibraryRefusalComesWithItsOwnReason) {
  Bench b({PYXBENCH_BIN, "--runtime", "1", "--size", "16m", "--drivers", "2", "--ini-set",
           "is_tcp=No", "--ini-set", "worker_core_mask=0x1"});
  EXPECT_EQ(b.Wait(120), 2) << b.err();
  const std::string err = b.err();
  EXPECT_NE(err.find("the library did not start (pyx_init_env failed; see "), std::string::npos)
      << err;
  EXPECT_NE(err.find("\n  error: worker_core_mask 0x1 names 1 cores of this machine for "
                     "worker_num 2"),
            std::string::npos)
      << err;
  EXPECT_TRUE(ChildrenNamed(b.pid(), "pyxsim").empty());
  TakeLogDir(err);
}

// --- The cluster's memory ---

// The cluster pyxbench starts holds what the memory check counted for it:
// its peak (resident set and page tables) within a few percent below the
// figure pyxbench states, at an I/O depth that spreads the writes over the
// cluster's threads.
TEST(PyxbenchTrouble, ClusterMemoryEstimateHoldsItsPeak) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own memory is no part of the cluster's";
#endif
  Bench b({PYXBENCH_BIN, "--prefill", "--runtime", "0", "--size", "256m", "--iodepth", "16",
           "--numjobs", "2", "--bsrange", "4k-64k", "--progress", "off", "--json"});
  ASSERT_TRUE(b.WaitForErr("prefilling", 60)) << b.err();
  const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
  ASSERT_EQ(sims.size(), 1u);
  // Until pyxbench ends it, after the prefill: its peak only grows.
  uint64_t peak = 0;
  const auto start = Clock::now();
  while (Since(start) < 240) {
    const uint64_t now = PeakBytes(sims[0]);
    if (now == 0) break;
    peak = std::max(peak, now);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(b.Wait(240), 0) << b.err();
  const double estimate_mib = NumberAfter(b.err(), "in memory: up to ");
  ASSERT_GT(estimate_mib, 256) << b.err();
  const double peak_mib = static_cast<double>(peak) / (1 << 20);
  EXPECT_GE(estimate_mib, peak_mib) << "the cluster held more than counted";
  EXPECT_LE(estimate_mib, peak_mib * 1.05) << "counted far more than the cluster held";
}

// --- A frozen cluster ---

// Ctrl-C with the cluster pyxbench started frozen (SIGSTOP): the promise
// printed is kept, the frozen cluster is killed at once, not waited for.
TEST(PyxbenchTrouble, CtrlCWithFrozenClusterKeepsItsPromise) {
  Bench b({PYXBENCH_BIN, "--runtime", "120", "--iodepth", "8", "--size", "32m",
           "--rpc-timeout-ms", "2000"});
  ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
  const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
  ASSERT_EQ(sims.size(), 1u);
  kill(sims[0], SIGSTOP);
  kill(b.pid(), SIGINT);
  const auto signalled = Clock::now();
  ASSERT_TRUE(b.WaitForErr("may take up to ", 30)) << b.err();
  const double promised = NumberAfter(b.err(), "may take up to ");
  EXPECT_EQ(promised, 4) << b.err();
  EXPECT_EQ(b.Wait(60), 130) << b.err();
  // Generous for a loaded machine; the cluster's SIGTERM alone was waited
  // for 20 s.
  EXPECT_LT(Since(signalled), promised + 12) << b.err();
  EXPECT_NE(b.err().find("the cluster process (pyxsim) is stopped and would take no SIGTERM: "
                         "killing it"),
            std::string::npos)
      << b.err();
  EXPECT_NE(b.out().find("interrupted by SIGINT"), std::string::npos) << b.out();
  EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left behind";
  TakeLogDir(b.err());
}

// A --config cluster frozen before the disk opens: the wait is said, Ctrl-C
// ends it at once (130), and without Ctrl-C the end names the cluster that
// did not answer, not a missing disk.
TEST(PyxbenchTrouble, FrozenConfigClusterWhileTheDiskOpens) {
  const std::string ini = TempPath("pyxbench_frozen.ini");
  std::unique_ptr<Bench> sim = StartCluster(ini);
  ASSERT_NE(sim, nullptr);
  kill(sim->pid(), SIGSTOP);

  Bench stopped({PYXBENCH_BIN, "--config", ini, "--disk", "d1", "--runtime", "1", "--size", "16m"});
  ASSERT_TRUE(stopped.WaitForErr("opening disk d1: no answer from the cluster for 5 s", 60))
      << stopped.err();
  // What the driver will do: one volume manager, asked for up to its
  // rpc_timeout of 10 s.
  ASSERT_TRUE(stopped.WaitForErr("Ctrl-C stops", 30)) << stopped.err();
  EXPECT_NE(stopped.err().find("the driver gives up on a step none of them answers, each asked "
                               "in turn for up to rpc_timeout: about 10 s after it asked; "
                               "pyxbench waits 60 s at most"),
            std::string::npos)
      << stopped.err();
  kill(stopped.pid(), SIGINT);
  const auto signalled = Clock::now();
  EXPECT_EQ(stopped.Wait(60), 130) << stopped.err();
  EXPECT_LT(Since(signalled), 10.0) << "start-up stops at once";
  EXPECT_NE(stopped.err().find("SIGINT during the start-up: stopping"), std::string::npos)
      << stopped.err();
  TakeLogDir(stopped.err());

  Bench silent({PYXBENCH_BIN, "--config", ini, "--disk", "d1", "--runtime", "1", "--size", "16m",
                "--rpc-timeout-ms", "1000"});
  EXPECT_EQ(silent.Wait(120), 2) << silent.err();
  const std::string err = silent.err();
  EXPECT_NE(err.find("cannot open disk d1: the cluster did not answer within its time: no answer "
                     "to the size query of disk d1 (the volume managers at 127.0.0.1:"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("rpc_timeout 1000 ms"), std::string::npos) << err;
  EXPECT_EQ(err.find("no such disk"), std::string::npos) << err;
  TakeLogDir(err);
  unlink(ini.c_str());
}

}  // namespace
