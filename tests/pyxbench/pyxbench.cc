// pyxbench as its users meet it: the built program (and scripts/run.sh)
// against a real simulated cluster in its own process. Bad values are
// refused before anything starts, with the limit --help states; a run
// stopped by a signal or by the cluster's death says so, summarises what
// ran and leaves no process behind; the JSON parses; --verify's memory is a
// small part of --size. Rates and latencies are of the I/O that succeeded,
// with every I/O issued in the measured span in the latencies; a run given
// up for a hang still reports what it measured; the read-back reads what
// was written.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pyxbench/bench_child.h"
#include "support/child.h"

namespace {

using benchchild::Bench;
using benchchild::ChildrenNamed;
using benchchild::Clock;
using benchchild::Gone;
using benchchild::LogDirOf;
using benchchild::ReadAll;
using benchchild::Since;
using benchchild::Squeeze;
using benchchild::TakeLogDir;
using benchchild::TempPath;
using benchchild::Field;
using benchchild::Number;

// Bytes of the driver's log files in the folder a run left behind.
size_t DriverLogBytes(const std::string& err) {
  const std::string dir = LogDirOf(err);
  if (dir.empty()) return 0;
  size_t bytes = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    if (std::string(e->d_name).compare(0, 9, "pyxdriver") == 0) {
      bytes += ReadAll(dir + "/" + e->d_name).size();
    }
  }
  if (d != nullptr) closedir(d);
  return bytes;
}

// Whether `text` is one JSON object (parsed by protobuf's JSON reader).
bool IsJson(const std::string& text) {
  google::protobuf::Struct parsed;
  return google::protobuf::util::JsonStringToMessage(text, &parsed).ok();
}


// A figure of a nested latency object: Latency(json, "lat_us", "max").
std::string Latency(const std::string& json, const std::string& object, const std::string& key) {
  const size_t at = json.find("\"" + object + "\": {");
  if (at == std::string::npos) return "";
  return Field(json.substr(at + object.size() + 4, json.find('}', at) - at), key);
}

// The number after `key` in the line of `text` that starts with `line`
// ("  write:", "ios="): -1 when there is none.
double InLine(const std::string& text, const std::string& line, const std::string& key) {
  const size_t at = text.find(line);
  if (at == std::string::npos) return -1;
  const std::string l = text.substr(at, text.find('\n', at) - at);
  const size_t k = l.find(key);
  return k == std::string::npos ? -1 : strtod(l.c_str() + k + key.size(), nullptr);
}

// --- Every bad value refused before anything starts, with its limit ---

struct BadValue {
  std::vector<std::string> args;
  std::string said;     // in the error: the option and the value
  std::string allowed;  // the limit, as --help states it too ("" when not an option's own)
};

TEST(PyxbenchOptions, EachBadValueRefusedWithItsLimitBeforeAnythingStarts) {
  const testsupport::ChildResult help = testsupport::RunCommand({PYXBENCH_BIN, "--help"}, 30);
  ASSERT_TRUE(help.ok()) << testsupport::Describe(help);
  const std::string usage = Squeeze(help.output);
  // What fio users bring: said plainly.
  for (const char* note : {"time-based", "shared by the jobs", "--output-format=json",
                           "build-release/src/pyxbench/pyxbench", "4 bytes a unit",
                           "4 the cluster process", "130 for SIGINT"}) {
    EXPECT_NE(usage.find(note), std::string::npos) << note;
  }

  const BadValue kCases[] = {
      {{"--runtime", "nan"}, "'nan' for --runtime", "0.1 to 604800"},
      {{"--runtime", "inf"}, "'inf' for --runtime", "0.1 to 604800"},
      {{"--runtime", "99999999999999999999"}, "for --runtime", "0.1 to 604800"},
      {{"--runtime", "0"}, "'0' for --runtime", "0.1 to 604800"},
      {{"--runtime=1e-9"}, "'1e-9' for --runtime", "0.1 to 604800"},
      {{"--ramp_time", "1e30"}, "'1e30' for --ramp_time", "0 to 86400"},
      {{"--size", "18446744073709551615"}, "for --size", "4k to 128g"},
      {{"--size", "1000g"}, "'1000g' for --size", "4k to 128g"},
      {{"--size", "1t"}, "'1t' for --size", "4k to 128g"},
      {{"--size", "100g", "--offset", "30g"}, "--offset 30g + --size 100g", "at most 128g"},
      {{"--iodepth", "65536"}, "'65536' for --iodepth", "1 to 4096"},
      {{"--numjobs", "257"}, "'257' for --numjobs", "1 to 256"},
      {{"--bs", "100"}, "'100' for --bs", "512 to 16m"},
      {{"--bs", "17m"}, "'17m' for --bs", "512 to 16m"},
      {{"--bsrange", "1000-5000"},
       "'1000-5000' for --bsrange",
       "multiples of 512 from 512 to 16m, MIN <= MAX"},
      {{"--bsrange", "1m-32m"}, "'1m-32m' for --bsrange", "multiples of 512 from 512 to 16m"},
      {{"--blockalign", "3"}, "'3' for --blockalign", "a power of two from 512 to 1g"},
      {{"--blockalign", "512m", "--size", "64m"},
       "'512m' for --blockalign",
       "a power of two from 512 to 1g, within each job's share of --size"},
      {{"--bs", "4k", "--bsrange", "512-8k"}, "--bs and --bsrange both given", ""},
      {{"--ini-set", "bogus_key=1"}, "'bogus_key=1' for --ini-set", "KEY one of asyn_log"},
      {{"--verify", "--bs", "1000", "--blockalign", "512"}, "'1000' for --bs", "512 to 16m, whole sectors of 512"},
      {{"--size", "4k", "--numjobs", "2"}, "'4k' for --size", ""},
      {{"--name=job1", "--rw", "randread"}, "--name: pyxbench runs one job", ""},
      {{"--config", "/nonexistent/driver.ini"},
       "'/nonexistent/driver.ini' for --config",
       "a readable file"},
      // fio's habits: the later value of a flag wins, fio's time units, fio's
      // options for what pyxbench does anyway, and the rest pointed to
      // pyxbench's way.
      {{"--runtime=30x"}, "'30x' for --runtime", "0.1 to 604800"},
      {{"--runtime=1ms"}, "'1ms' for --runtime", "0.1 to 604800"},
      {{"--ramp_time", "2d"}, "'2d' for --ramp_time", "0 to 86400"},
      {{"--verify=crc32c"}, "'crc32c' for --verify: pyxbench's --verify has no checksum kinds", ""},
      {{"--prefill=maybe"}, "'maybe' for --prefill: allowed on or off", ""},
      {{"--output-format=json"}, "'json' for --output-format", "normal (the summary); for one JSON"},
      {{"--time_based=0"}, "--time_based=0: every pyxbench run is time-based", ""},
      {{"--direct=0"}, "--direct=0: every pyxbench I/O goes to the driver", ""},
      {{"--direct", "0"}, "--direct=0: every pyxbench I/O goes to the driver", ""},
      {{"--thread=0"}, "--thread=0: pyxbench's jobs are always threads", ""},
      {{"--group_reporting=false"}, "--group_reporting=false: pyxbench always reports its jobs together", ""},
      {{"--ioengine=psync"}, "'psync' for --ioengine", "libaio or io_uring"},
      {{"--filename=/dev/sdb"}, "--filename: pyxbench opens a disk of a cluster", ""},
      {{"--output=r.txt"}, "--output: pyxbench writes its results to standard output", ""},
      {{"--bs=4k,8k"}, "'4k,8k' for --bs: pyxbench takes one block size", ""},
      {{"--eta=sometimes"}, "'sometimes' for --eta", "always, auto or never"},
      // Where it can say more than the limit: which part is wrong.
      {{"--lib-cpus", "1000"}, "CPU 1000 is not one this process may run on", ""},
      {{"--host-cpus", "3-1"}, "the range 3-1 runs from high to low: give 1-3", ""},
      {{"--config", "/"}, "'/' for --config: it is not a file", ""},
      {{"--config", PYX_SOURCE_DIR "/README.md"}, "README.md is not a driver configuration: it has no [ORLA] section", ""},
      {{"--config", PYX_SOURCE_DIR "/README.md", "--block-servers", "2"},
       "--block-servers shapes the cluster pyxbench starts", ""},
      {{"--config", PYX_SOURCE_DIR "/README.md", "--disk-size", "1g"},
       "--disk-size shapes the cluster pyxbench starts", ""},
      {{"--log-dir", "/nonexistent/x"}, "cannot make the log folder /nonexistent/x", ""},
  };
  // All at once: each is a whole program start.
  std::vector<std::unique_ptr<Bench>> runs;
  for (const BadValue& c : kCases) {
    std::vector<std::string> argv = {PYXBENCH_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const BadValue& c = kCases[i];
    const std::string& what = c.args[0];
    EXPECT_EQ(runs[i]->Wait(60), 2) << what << ": " << runs[i]->err();
    const std::string err = runs[i]->err();
    EXPECT_NE(err.find(c.said), std::string::npos) << what << ": " << err;
    if (!c.allowed.empty()) {
      EXPECT_NE(err.find("allowed " + c.allowed), std::string::npos) << what << ": " << err;
      if (c.said.find("for --") != std::string::npos) {
        EXPECT_NE(usage.find(c.allowed), std::string::npos) << "--help does not state " << c.allowed;
      }
    }
    // Refused before anything started: no cluster, no log folder.
    EXPECT_EQ(err.find("logs kept"), std::string::npos) << err;
    EXPECT_TRUE(runs[i]->out().empty()) << runs[i]->out();
  }

  // 128g is the limit of the cluster pyxbench starts; one given by --config
  // has disks of their own sizes, checked when the disk opens (this file
  // names no cluster: the run ends there).
  const std::string ini = TempPath("pyxbench_config_only.ini");
  std::ofstream(ini) << "[ORLA]\n";
  Bench given({PYXBENCH_BIN, "--config", ini, "--size", "200g", "--offset", "150g"});
  EXPECT_EQ(given.Wait(60), 2) << given.err();
  EXPECT_EQ(given.err().find("for --size"), std::string::npos) << given.err();
  EXPECT_EQ(given.err().find("past the largest disk"), std::string::npos) << given.err();
  EXPECT_NE(given.err().find("names no volume manager"), std::string::npos) << given.err();
  TakeLogDir(given.err());
  unlink(ini.c_str());
}

// The cluster pyxbench starts keeps what is written in memory: a run that
// would write more than the machine has is refused before it starts, with
// the figures.
TEST(PyxbenchOptions, RunThatCannotFitRefusedWithItsFigures) {
  std::ifstream meminfo("/proc/meminfo");
  std::string key, unit;
  unsigned long long kib = 0, available_kib = 0;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") available_kib = kib;
  }
  if (available_kib == 0 || available_kib >= (130ull << 20)) {
    GTEST_SKIP() << "this machine could hold a 128 GiB prefill";
  }
  Bench b({PYXBENCH_BIN, "--prefill", "--size", "128g", "--runtime", "0"});
  EXPECT_EQ(b.Wait(60), 2) << b.err();
  const std::string err = b.err();
  for (const char* part : {"the run needs 131620 MiB of memory", "--prefill writes all of --size 128g",
                           "MiB are available"}) {
    EXPECT_NE(err.find(part), std::string::npos) << part << ": " << err;
  }
  EXPECT_EQ(err.find("logs kept"), std::string::npos) << err;
}

// The memory figures as odd machines give them, seen through a mount
// namespace of the test's own: /proc/meminfo without a readable
// MemAvailable, and a cgroup whose usage is mostly page cache (as after a
// build) refuse no ordinary run; a cgroup filled by what it cannot give
// back refuses, with the figures. The cluster program is /bin/false, so
// a run the memory check lets through ends at the cluster's start.
TEST(PyxbenchOptions, MemoryFiguresOfOddMachines) {
  if (system("unshare -m sh -c 'mount --bind /dev/null /proc/meminfo && "
             "mount -t tmpfs none /sys/fs/cgroup' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no mount namespace of its own here";
  }
  const std::string dir = TempPath("pyxbench_odd_memory");
  ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
  struct Case {
    const char* meminfo_available;  // the MemAvailable line's value
    uint64_t cgroup_current, cgroup_file_cache;  // GiB of a cgroup limited to 8 GiB
    bool refused;
  };
  const Case cases[] = {
      {"garbage kB", 0, 0, false},
      {"0 kB", 0, 0, false},
      {"20000000 kB", 7, 6, false},  // 7 GiB used, 6 of them page cache
      {"20000000 kB", 8, 0, true},   // full, nothing to give back
  };
  std::vector<std::unique_ptr<Bench>> runs;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string meminfo = dir + "/meminfo" + std::to_string(i);
    std::ofstream(meminfo) << "MemTotal: 24000000 kB\nMemAvailable: " << c.meminfo_available
                           << "\n";
    std::string script = "mount --bind " + meminfo + " /proc/meminfo";
    if (c.cgroup_current != 0) {
      script += " && mount -t tmpfs none /sys/fs/cgroup && echo " + std::to_string(8ull << 30) +
                " > /sys/fs/cgroup/memory.max && echo " +
                std::to_string(c.cgroup_current << 30) +
                " > /sys/fs/cgroup/memory.current && printf 'anon 1\\nactive_file " +
                std::to_string(c.cgroup_file_cache << 29) + "\\ninactive_file " +
                std::to_string(c.cgroup_file_cache << 29) + "\\n' > /sys/fs/cgroup/memory.stat";
    }
    script += std::string(" && exec ") + PYXBENCH_BIN +
              " --rw randwrite --size 2g --runtime 1 --pyxsim /bin/false";
    runs.emplace_back(new Bench({"unshare", "-m", "sh", "-c", script}));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    Bench& b = *runs[i];
    EXPECT_EQ(b.Wait(60), 2) << i << ": " << b.err();
    const std::string err = b.err();
    if (cases[i].refused) {
      EXPECT_NE(err.find("the run needs 2092 MiB of memory"), std::string::npos) << i << err;
      EXPECT_NE(err.find("only 0 MiB are available"), std::string::npos) << i << err;
    } else {
      EXPECT_EQ(err.find("the run needs"), std::string::npos) << i << ": " << err;
      EXPECT_NE(err.find("ended before it was ready"), std::string::npos) << i << ": " << err;
    }
    TakeLogDir(err);
  }
  ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

// --- Runs against the cluster ---

enum class Act {
  kSigint,
  kSigtermInRamp,
  kSecondSigintWithClusterStalled,
  kKillCluster,
  kRunShJson,
  kVerifyLargeSize,
  kLongPassNotAHang,
  kClusterHung,
  kClusterHungInRun,
  kFioCommandLine,
  kResultsUnwritable,
  kStopDuringStartUp,
  kGivenCluster,
  kGivenClusterDies,
  kErrorsApartFromRates,
  kLatencyOfIoCompletedInTheDrain,
  kReadBackOfWhatWasWritten
};

struct RunCase {
  const char* name;
  Act act;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class PyxbenchRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(PyxbenchRun, StopsReportsAndSummarises) {
  const RunCase& c = GetParam();
  switch (c.act) {
    case Act::kSigint:
    case Act::kSigtermInRamp: {
      const bool ramp = c.act == Act::kSigtermInRamp;
      // Long enough that only the signal ends it.
      Bench b({PYXBENCH_BIN, "--runtime", "120", "--ramp_time", ramp ? "120" : "0", "--iodepth",
               "8", "--verify", "--size", "32m", "--json"});
      ASSERT_TRUE(b.WaitForErr(ramp ? "] ramp" : "] run", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(b.pid(), ramp ? SIGTERM : SIGINT);
      const int code = b.Wait(60);
      EXPECT_EQ(code, ramp ? 143 : 130) << b.err();
      const std::string err = b.err();
      EXPECT_NE(err.find(ramp ? "SIGTERM during the ramp" : "SIGINT during the run"),
                std::string::npos)
          << err;
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json;
      EXPECT_NE(Field(json, "stopped").find("interrupted by"), std::string::npos) << json;
      EXPECT_EQ(Field(json, "clean"), "false");
      EXPECT_EQ(Field(json, "verify_errors"), "0");
      EXPECT_EQ(Field(json, "lost"), "0");
      if (!ramp) {
        EXPECT_GT(Number(json, "verified_bytes"), 0);
        EXPECT_EQ(Field(json, "measured"), "true");
        EXPECT_GT(Number(json, "iops"), 0);
      } else {
        // Stopped in its ramp: no measured span, so no rate at all.
        EXPECT_EQ(Field(json, "measured"), "false") << json;
        EXPECT_EQ(Field(json, "runtime_s"), "0.000") << json;
        EXPECT_EQ(Field(json, "ios"), "0") << json;
        for (const char* rate : {"iops", "read_iops", "write_iops", "bw_mib_s"}) {
          EXPECT_EQ(Field(json, rate), "null") << rate << ": " << json;
        }
        // No latency figure either: nothing was measured.
        for (const char* lat : {"lat_us", "read_lat_us", "write_lat_us"}) {
          for (const char* figure : {"p50", "p99", "max", "mean"}) {
            EXPECT_EQ(Latency(json, lat, figure), "null") << lat << " " << figure << ": " << json;
          }
          EXPECT_EQ(Latency(json, lat, "count"), "0") << lat << ": " << json;
        }
      }
      EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left running";
      EXPECT_FALSE(TakeLogDir(err).empty()) << "the folder left behind is not named: " << err;
      break;
    }
    case Act::kSecondSigintWithClusterStalled: {
      // The cluster stopped (SIGSTOP): what is in flight never completes,
      // so the first SIGINT's drain waits; the second ends it at once.
      Bench b({PYXBENCH_BIN, "--runtime", "120", "--iodepth", "8", "--size", "32m",
               "--rpc-timeout-ms", "60000"});
      ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(sims[0], SIGSTOP);
      // I/O held by the stopped cluster: the answers it sent before it
      // stopped may all arrive, and on a loaded machine the SIGINT may come
      // before the jobs send more, leaving the drain nothing to wait for
      // (and the stopped cluster is killed at once).
      ASSERT_TRUE(b.WaitForErr("nothing completed for", 30)) << b.err();
      kill(b.pid(), SIGINT);
      ASSERT_TRUE(b.WaitForErr("stopping", 30)) << b.err();
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      EXPECT_EQ(b.err().find("logs kept"), std::string::npos) << "not waiting: " << b.err();
      const auto second = Clock::now();
      kill(b.pid(), SIGINT);
      EXPECT_EQ(b.Wait(30), 130) << b.err();
      EXPECT_LT(Since(second), 10.0);
      EXPECT_NE(b.err().find("second signal: ending at once"), std::string::npos) << b.err();
      EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left behind";
      EXPECT_FALSE(TakeLogDir(b.err()).empty()) << "the folder left behind is not named: " << b.err();
      break;
    }
    case Act::kKillCluster: {
      Bench b({PYXBENCH_BIN, "--runtime", "120", "--iodepth", "8", "--verify", "--size", "32m"});
      ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(sims[0], SIGKILL);
      const auto killed = Clock::now();
      ASSERT_TRUE(b.WaitForErr("the cluster process (pyxsim) died", 30)) << b.err();
      // Generous: "at once" is a poll of 20 ms.
      EXPECT_LT(Since(killed), 10.0);
      EXPECT_NE(b.err().find("killed by signal 9"), std::string::npos) << b.err();
      EXPECT_NE(b.err().find("/pyxsim.out"), std::string::npos) << b.err();
      EXPECT_EQ(b.Wait(60), 4) << b.err();
      EXPECT_NE(b.out().find("stopped: the cluster process died"), std::string::npos) << b.out();
      // Its CPU comes with its end, not as 0.
      EXPECT_NE(b.out().find("cluster process died ("), std::string::npos) << b.out();
      // The whole run's latencies with their max and mean, as each direction's.
      const std::string all = b.out().substr(b.out().find("  all  :"));
      EXPECT_GT(InLine(all, "    lat (usec):", "max="), 0) << b.out();
      EXPECT_GT(InLine(all, "    lat (usec):", "avg="), 0) << b.out();
      EXPECT_EQ(b.out().find("cluster process 0.00 s"), std::string::npos) << b.out();
      TakeLogDir(b.err());
      break;
    }
    case Act::kRunShJson: {
      // run.sh itself, on this build: only the JSON on standard output.
      Bench b({"bash", std::string(PYX_SOURCE_DIR) + "/scripts/run.sh", "--runtime", "2", "--size",
               "16m", "--json"},
              {std::string("BUILD_DIR=") + PYX_BUILD_DIR});
      EXPECT_EQ(b.Wait(240), 0) << b.err();
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << "standard output: " << json;
      EXPECT_EQ(Field(json, "clean"), "true");
      EXPECT_GT(Number(json, "read_bw_mib_s"), 0);
      EXPECT_GT(Number(json, "write_bw_mib_s"), 0);
      EXPECT_NEAR(Number(json, "read_bw_mib_s") + Number(json, "write_bw_mib_s"),
                  Number(json, "bw_mib_s"), 0.05);
      EXPECT_NE(b.err().find("] run"), std::string::npos) << b.err();
      break;
    }
    case Act::kVerifyLargeSize: {
      // 8 GiB in 512-byte units: 66 MiB of state stated; a copy of the
      // range would be 8 GiB.
      Bench b({PYXBENCH_BIN, "--size", "8g", "--verify", "--bsrange", "512-64k", "--runtime", "1",
               "--verify_pass", "off", "--iodepth", "8", "--json", "--progress", "off"});
      // Its reads mostly find never-written blocks (exit status 5 when
      // none found a written one), and no block that is wrong.
      const int code = b.Wait(120);
      EXPECT_TRUE(code == 0 || code == 5) << code << ": " << b.err();
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json << b.err();
      const double state = Number(json, "verify_state_mib");
      EXPECT_NEAR(state, 8.0 * 1024 * (4.0 / 512 + 1.0 / 4096), 1);
      EXPECT_GT(Number(json, "verified_bytes") + Number(json, "never_written_bytes"), 0) << json;
      EXPECT_EQ(Field(json, "mismatched_blocks"), "0") << json;
      // Peak resident memory: the state, the library and the sanitizers'
      // own, far below a copy of the range.
      EXPECT_LT(Number(json, "max_rss_mib"), state + 1024) << json;
      break;
    }
    case Act::kLongPassNotAHang: {
#if defined(__SANITIZE_THREAD__)
      // The passes take minutes under this sanitizer on a small machine,
      // and a single I/O can pause for seconds; the other builds cover it.
      GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
      // Passes over the range (several seconds at --iodepth 1) longer than
      // the span the watchdog allows without progress: no hang while their
      // I/O completes. The span leaves room for a slow I/O on a busy machine.
      Bench b({PYXBENCH_BIN, "--prefill", "--runtime", "0", "--verify", "--size", "320m",
               "--iodepth", "1", "--json", "--progress", "off"},
              {"PYXBENCH_HANG_S=5"});
      EXPECT_EQ(b.Wait(280), 0) << b.err();
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json << b.err();
      EXPECT_EQ(Field(json, "clean"), "true");
      EXPECT_GE(Number(json, "verified_bytes"), 320.0 * (1 << 20));
      // A prefill alone measures no span: no rate, no latency.
      EXPECT_EQ(Field(json, "measured"), "false") << json;
      EXPECT_EQ(Field(json, "iops"), "null") << json;
      EXPECT_EQ(Latency(json, "lat_us", "p99"), "null") << json;
      EXPECT_EQ(Latency(json, "write_lat_us", "max"), "null") << json;
      // What the prefill wrote is what is read back.
      EXPECT_NE(b.err().find("reading back 320.0 MiB (what the prefill and the run wrote)"),
                std::string::npos)
          << b.err();
      TakeLogDir(b.err());
      break;
    }
    case Act::kClusterHung: {
      // The cluster stopped (SIGSTOP) during the prefill, with an RPC
      // timeout longer than the watchdog's span: nothing completes, and the
      // run is given up.
      Bench b({PYXBENCH_BIN, "--prefill", "--runtime", "1", "--iodepth", "4", "--size", "4g",
               "--rpc-timeout-ms", "120000"},
              {"PYXBENCH_HANG_S=2"});
      ASSERT_TRUE(b.WaitForErr("prefilling", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(sims[0], SIGSTOP);
      EXPECT_EQ(b.Wait(60), 3) << b.err();
      EXPECT_NE(b.err().find("nothing completed for 2 s during the prefill; giving up"),
                std::string::npos)
          << b.err();
      // Given up, it still summarises: no measured span, what never came
      // back counted lost.
      const std::string out = b.out();
      EXPECT_NE(out.find("no rates: the run stopped before its measured span began"),
                std::string::npos)
          << out;
      EXPECT_NE(out.find("stopped: given up: nothing completed for 2 s during the prefill"),
                std::string::npos)
          << out;
      EXPECT_GT(InLine(out, "  check:", "lost="), 0) << out;
      EXPECT_NE(out.find("result: GIVEN UP; what ran was NOT CLEAN"), std::string::npos) << out;
      EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left behind";
      EXPECT_FALSE(TakeLogDir(b.err()).empty()) << b.err();
      break;
    }
    case Act::kClusterHungInRun: {
      // Frozen during a long run: given up the hang span after the last
      // completion, not after the run's span.
      Bench b({PYXBENCH_BIN, "--runtime", "120", "--iodepth", "4", "--size", "16m",
               "--rpc-timeout-ms", "120000", "--json"},
              {"PYXBENCH_HANG_S=3"});
      ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(sims[0], SIGSTOP);
      const auto frozen = Clock::now();
      EXPECT_EQ(b.Wait(60), 3) << b.err();
      EXPECT_LT(Since(frozen), 60.0) << "given up with the run's span, not the hang span";
      EXPECT_NE(b.err().find("nothing completed for 3 s during the run; giving up"),
                std::string::npos)
          << b.err();
      // What it measured until then, parseable, saying it was given up.
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json << b.err();
      EXPECT_EQ(Field(json, "given_up"), "true") << json;
      EXPECT_EQ(Field(json, "stopped"), "given up: nothing completed for 3 s during the run")
          << json;
      EXPECT_EQ(Field(json, "clean"), "false") << json;
      EXPECT_EQ(Field(json, "measured"), "true") << json;
      EXPECT_GT(Number(json, "ios"), 0) << json;
      EXPECT_GT(Number(json, "iops"), 0) << json;
      EXPECT_EQ(Field(json, "lost"), "4") << json;
      EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left behind";
      TakeLogDir(b.err());
      break;
    }
    case Act::kFioCommandLine: {
      // A fio user's command line: fio's options for what pyxbench does
      // anyway are taken, time units read, a flag turned off later stays off,
      // and a --size that is no whole number of blocks says what runs.
      Bench b({PYXBENCH_BIN, "--time_based", "--direct", "--direct", "1", "--direct=1",
               "--ioengine=libaio", "--group_reporting", "true", "--thread", "--output-format=normal", "--runtime=500ms",
               "--ramp_time=0.2s", "--verify", "--verify=off", "--prefill", "--prefill=no",
               "--size", "1000000", "--offset", "1m", "--json", "--progress", "off"});
      EXPECT_EQ(b.Wait(120), 0) << b.err();
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json << b.err();
      EXPECT_EQ(Field(json, "verify"), "false");
      EXPECT_EQ(Field(json, "verified_bytes"), "0");
      EXPECT_EQ(b.err().find("prefilling"), std::string::npos) << b.err();
      EXPECT_EQ(Field(json, "size"), std::to_string(1000000 / 4096 * 4096));
      EXPECT_EQ(Field(json, "offset"), std::to_string(1 << 20));
      EXPECT_EQ(Field(json, "ramp_time_s"), "0.200");
      EXPECT_EQ(Field(json, "blockalign"), "4096");
      EXPECT_GE(Number(json, "runtime_s"), 0.5);
      EXPECT_LT(Number(json, "runtime_s"), 5.0) << "--runtime=500ms read as seconds";
      for (const char* note : {"note: --ioengine", "note: --size 1000000 runs as 976k"}) {
        EXPECT_NE(b.err().find(note), std::string::npos) << note << ": " << b.err();
      }
      // Cluster-wide checksums as the driver's configuration has them.
      EXPECT_TRUE(Field(json, "crc") == "true" || Field(json, "crc") == "false") << json;
      break;
    }
    case Act::kResultsUnwritable: {
      // `pyxbench --json > r.json && next` must not go on with an empty file.
      Bench b({"bash", "-c",
               std::string("exec ") + PYXBENCH_BIN +
                   " --json --runtime 0.3 --size 16m --progress off >/dev/full"});
      EXPECT_EQ(b.Wait(120), 1) << b.err();
      EXPECT_NE(b.err().find("cannot write the results: No space left on device"),
                std::string::npos)
          << b.err();
      TakeLogDir(b.err());
      Bench help({"bash", "-c", std::string("exec ") + PYXBENCH_BIN + " --help >/dev/full"});
      EXPECT_EQ(help.Wait(60), 1) << help.err();
      EXPECT_NE(help.err().find("cannot write the usage"),
                std::string::npos)
          << help.err();
      break;
    }
    case Act::kStopDuringStartUp: {
      // A cluster program that ends at once says how; one that never gets
      // ready is stopped by SIGINT, with nothing in flight to wait for.
      Bench failed({PYXBENCH_BIN, "--pyxsim", "/bin/false"});
      EXPECT_EQ(failed.Wait(60), 2) << failed.err();
      EXPECT_NE(failed.err().find("/bin/false ended before it was ready (exited with status 1)"),
                std::string::npos)
          << failed.err();
      TakeLogDir(failed.err());

      const std::string dir = TempPath("pyxbench_slow_sim");
      ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
      std::ofstream(dir + "/sim") << "#!/bin/sh\ntouch " << dir << "/started\nexec sleep 60\n";
      chmod((dir + "/sim").c_str(), 0755);
      Bench b({PYXBENCH_BIN, "--pyxsim", dir + "/sim"});
      const auto start = Clock::now();
      while (access((dir + "/started").c_str(), F_OK) != 0 && Since(start) < 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      kill(b.pid(), SIGINT);
      EXPECT_EQ(b.Wait(60), 130) << b.err();
      EXPECT_NE(b.err().find("SIGINT during the start-up: stopping (again to end at once)"),
                std::string::npos)
          << b.err();
      EXPECT_EQ(b.err().find("in flight"), std::string::npos) << b.err();
      TakeLogDir(b.err());
      ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
      break;
    }
    case Act::kGivenCluster: {
      // A cluster of one's own (--config) with a small memory budget.
      const std::string ini = TempPath("pyxbench_given.ini");
      Bench sim({std::string(PYX_BUILD_DIR) + "/sim/pyxsim", "--bs", "2", "--disk", "d0:64M",
                 "--memory-budget", "4m", "--ini", ini});
      const auto start = Clock::now();
      while (sim.out().find("pyxsim ready") == std::string::npos && Since(start) < 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ASSERT_NE(sim.out().find("pyxsim ready"), std::string::npos) << sim.out() << sim.err();

      // A disk it does not have: said so, and the driver's log written out.
      Bench nosuch({PYXBENCH_BIN, "--config", ini, "--disk", "nosuch"});
      EXPECT_EQ(nosuch.Wait(120), 2) << nosuch.err();
      EXPECT_NE(nosuch.err().find("cannot open disk nosuch: no such disk"), std::string::npos)
          << nosuch.err();
      EXPECT_GT(DriverLogBytes(nosuch.err()), 0u) << "the driver's log was not written out";
      TakeLogDir(nosuch.err());

      // The heaviest well-behaved workload within the budget: all of it
      // written (the prefill), then overwritten, unaligned, verified; never
      // refused.
      Bench within({PYXBENCH_BIN, "--config", ini, "--disk", "d0", "--prefill", "--rw",
                    "randwrite", "--bsrange", "512-64k", "--size", "4m", "--runtime", "0.5", "--iodepth", "8",
                    "--numjobs", "2", "--verify", "--json", "--progress", "off"});
      EXPECT_EQ(within.Wait(120), 0) << within.err();
      ASSERT_TRUE(IsJson(within.out())) << within.out() << within.err();
      EXPECT_EQ(Field(within.out(), "errors"), "0") << within.out();
      EXPECT_EQ(Field(within.out(), "clean"), "true") << within.out();
      EXPECT_GE(Number(within.out(), "verified_bytes"), 4.0 * (1 << 20)) << within.out();

      // Writes past the budget fail at once instead of being retried: the
      // run ends with errors, nothing lost. It starts 16 blocks short of
      // the end of what the cluster holds, so that it reaches the budget
      // within its second however slowly a busy machine lets it write.
      Bench writes({PYXBENCH_BIN, "--config", ini, "--disk", "d0", "--rw", "write", "--offset",
                    "4032k", "--size", "32m", "--runtime", "1", "--iodepth", "4", "--json",
                    "--progress", "off"});
      EXPECT_EQ(writes.Wait(120), 1) << writes.err();
      const std::string json = writes.out();
      ASSERT_TRUE(IsJson(json)) << json << writes.err();
      EXPECT_GT(Number(json, "errors"), 0) << json;
      EXPECT_EQ(Field(json, "lost"), "0") << json;
      // The rates are of the writes that succeeded (of each lap over 32m
      // the first 16 blocks, the last of what the cluster holds, succeed: a
      // 512th, a lap's share more for the lap begun); the failed ones are
      // counted beside them.
      const double ios = Number(json, "ios");
      const double failed = Number(json, "write_errors");
      EXPECT_GT(failed, 0) << json;
      EXPECT_GE(Number(json, "errors"), failed) << json;
      EXPECT_LE(ios * 512, ios + failed + 512 * 16) << json;
      EXPECT_NEAR(Number(json, "write_bw_mib_s") * Number(json, "runtime_s"),
                  ios * 4096 / (1 << 20), 0.05 * ios * 4096 / (1 << 20) + 0.1)
          << json;
      // Latencies of what succeeded, those in flight at the span's end too.
      const double timed = strtod(Latency(json, "write_lat_us", "count").c_str(), nullptr);
      EXPECT_NEAR(timed, ios, 8) << json;
      // Why, from the driver's log: the cluster's log is not pyxbench's.
      EXPECT_NE(writes.err().find("the cluster refused writes: memory budget of the cluster spent "
                                  "(retcode -1028, as the driver's log says)"),
                std::string::npos)
          << writes.err();
      TakeLogDir(writes.err());
      const std::string sim_err = sim.out() + sim.err();
      EXPECT_NE(sim_err.find("memory budget of 4 MiB spent"), std::string::npos) << sim_err;

      // The cluster gone: said before any bring-up is tried.
      kill(sim.pid(), SIGKILL);
      sim.Wait(30);
      Bench down({PYXBENCH_BIN, "--config", ini, "--disk", "d0"});
      EXPECT_EQ(down.Wait(60), 2) << down.err();
      EXPECT_NE(down.err().find("cannot reach the volume manager at 127.0.0.1:"),
                std::string::npos)
          << down.err();
      TakeLogDir(down.err());
      unlink(ini.c_str());
      break;
    }
    case Act::kGivenClusterDies: {
      // A --config cluster that dies mid-run: the drain says nothing
      // completes, and no read-back is announced that cannot run.
      const std::string ini = TempPath("pyxbench_dies.ini");
      Bench sim({std::string(PYX_BUILD_DIR) + "/sim/pyxsim", "--bs", "2", "--disk", "d0:64M",
                 "--ini", ini});
      const auto start = Clock::now();
      while (sim.out().find("pyxsim ready") == std::string::npos && Since(start) < 60) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ASSERT_NE(sim.out().find("pyxsim ready"), std::string::npos) << sim.out() << sim.err();
      // fio's --output-format=normal after --json: the summary (the later
      // value wins).
      Bench b({PYXBENCH_BIN, "--config", ini, "--disk", "d0", "--verify", "--runtime", "2",
               "--size", "16m", "--iodepth", "4", "--json", "--output-format=normal"},
              {"PYXBENCH_HANG_S=12"});
      ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
      kill(sim.pid(), SIGKILL);
      sim.Wait(30);
      EXPECT_EQ(b.Wait(120), 1) << b.err();
      const std::string err = b.err();
      EXPECT_NE(err.find("during the drain ("), std::string::npos) << err;
      EXPECT_NE(err.find("no read-back: "), std::string::npos) << err;
      // Why: the cluster stopped answering, since when, and it is gone.
      EXPECT_NE(err.find("the cluster stopped answering: nothing completed since "),
                std::string::npos)
          << err;
      EXPECT_NE(err.find("now cannot reach the volume manager at 127.0.0.1:"), std::string::npos)
          << err;
      EXPECT_EQ(err.find("reading everything back"), std::string::npos) << err;
      EXPECT_NE(b.out().find("result: NOT CLEAN"), std::string::npos) << b.out();
      TakeLogDir(err);
      unlink(ini.c_str());
      break;
    }
    case Act::kErrorsApartFromRates: {
      // The cluster pyxbench starts, its memory budget spent early (a
      // wrapper adds a small one): most writes fail. The summary's rates
      // are of the writes that succeeded, the failed ones beside them.
      const std::string dir = TempPath("pyxbench_small_sim");
      ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
      std::ofstream(dir + "/sim") << "#!/bin/sh\nexec " << PYX_BUILD_DIR
                                  << "/sim/pyxsim \"$@\" --memory-budget 1M\n";
      chmod((dir + "/sim").c_str(), 0755);
      // Large blocks and a budget of 1 MiB: 4 writes spend it, however
      // slowly a busy machine lets the run's second go.
      Bench b({PYXBENCH_BIN, "--pyxsim", dir + "/sim", "--rw", "write", "--bs", "256k",
               "--iodepth", "8", "--size", "64m", "--runtime", "1", "--progress", "off"});
      EXPECT_EQ(b.Wait(120), 1) << b.err();
      const std::string out = b.out();
      const double ios = InLine(out, "  write:", "ios=");
      const double failed = InLine(out, "  write:", "errors=");
      const double mib_s = InLine(out, "  write:", "BW=");
      const double secs = InLine(out, "  all  :", "over ");
      EXPECT_GT(failed, 0) << out;
      // Of each lap over 64m the first 1m (what the cluster holds)
      // succeeds: a 64th, a lap's share more for the lap begun.
      EXPECT_LE(ios * 32, ios + failed + 32 * 4) << out;
      EXPECT_NEAR(mib_s * secs, ios / 4, 0.1 * ios / 4 + 1) << out;
      EXPECT_EQ(InLine(out, "  all  :", "errors="), failed) << out;
      EXPECT_NE(out.find("result: NOT CLEAN"), std::string::npos) << out;
      EXPECT_NE(b.err().find("the cluster refused writes: memory budget of 1 MiB spent"),
                std::string::npos)
          << b.err();
      TakeLogDir(b.err());
      ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
      break;
    }
    case Act::kLatencyOfIoCompletedInTheDrain: {
      // The cluster frozen across the end of the measured span: the I/O in
      // flight then completes in the drain, and its latency (at least the
      // freeze) counts; the rates keep their span.
      Bench b({PYXBENCH_BIN, "--runtime", "2", "--iodepth", "4", "--size", "16m",
               "--rpc-timeout-ms", "120000", "--json"});
      ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
      const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
      ASSERT_EQ(sims.size(), 1u);
      kill(sims[0], SIGSTOP);
      const auto frozen = Clock::now();
      // The span ended while frozen: the drain's progress line is drawn
      // after its first second.
      const bool drained = b.WaitForErr("] drain", 60);
      const double held = Since(frozen);
      kill(sims[0], SIGCONT);
      ASSERT_TRUE(drained) << b.err();
      EXPECT_EQ(b.Wait(120), 0) << b.err();
      const std::string json = b.out();
      ASSERT_TRUE(IsJson(json)) << json << b.err();
      EXPECT_EQ(Field(json, "clean"), "true") << json;
      EXPECT_GE(Number(json, "runtime_s"), 2.0) << json;
      // Signals take effect within moments, never before they are sent.
      EXPECT_GE(strtod(Latency(json, "lat_us", "max").c_str(), nullptr), (held - 0.5) * 1e6)
          << "held " << held << " s: " << json;
      EXPECT_GT(strtod(Latency(json, "lat_us", "count").c_str(), nullptr), Number(json, "ios"))
          << json;
      break;
    }
    case Act::kReadBackOfWhatWasWritten: {
      // Reads only over a large disk: nothing to read back, said so, and
      // the run ends with its span (a pass over 128g would take minutes).
      // It read only never-written blocks: it verified nothing.
      Bench reads({PYXBENCH_BIN, "--size", "128g", "--rw", "randread", "--verify", "--runtime",
                   "1", "--json", "--progress", "off"});
      EXPECT_EQ(reads.Wait(120), 5) << reads.err();
      ASSERT_TRUE(IsJson(reads.out())) << reads.out() << reads.err();
      EXPECT_NE(reads.err().find("no read-back: nothing was written"), std::string::npos)
          << reads.err();
      // What the run's reads checked (zeros), no pass over the disk.
      EXPECT_EQ(Field(reads.out(), "verified_bytes"), "0") << reads.out();
      EXPECT_GT(Number(reads.out(), "never_written_bytes"), 0) << reads.out();
      EXPECT_LT(Number(reads.out(), "never_written_bytes"),
                (Number(reads.out(), "ios") + 1000) * 4096)
          << reads.out();

      // Random writes: what they wrote is read back, its size said first.
      Bench writes({PYXBENCH_BIN, "--size", "256m", "--rw", "randwrite", "--verify", "--runtime",
                    "0.5", "--iodepth", "4", "--json", "--progress", "off"});
      EXPECT_EQ(writes.Wait(120), 0) << writes.err();
      const std::string json = writes.out();
      ASSERT_TRUE(IsJson(json)) << json << writes.err();
      const std::string mark = "pyxbench: reading back ";
      const size_t at = writes.err().find(mark);
      ASSERT_NE(at, std::string::npos) << writes.err();
      EXPECT_NE(writes.err().find(" MiB (what the run wrote)", at), std::string::npos)
          << writes.err();
      const double said_mib = strtod(writes.err().c_str() + at + mark.size(), nullptr);
      const double verified_mib = Number(json, "verified_bytes") / (1 << 20);
      EXPECT_GT(said_mib, 0) << writes.err();
      EXPECT_NEAR(said_mib, verified_mib, 0.06) << json << writes.err();
      // Distinct blocks written: at most every write's (those outside the
      // measured span, before it and in the drain, too).
      EXPECT_LE(verified_mib, (Number(json, "ios") + 1000) * 4096 / (1 << 20)) << json;
      EXPECT_LT(verified_mib, 256) << json;
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PyxbenchRun,
    ::testing::Values(RunCase{"SigintMidRun", Act::kSigint},
                      RunCase{"SigtermInRamp", Act::kSigtermInRamp},
                      RunCase{"SecondSigint", Act::kSecondSigintWithClusterStalled},
                      RunCase{"ClusterKilled", Act::kKillCluster},
                      RunCase{"RunShJson", Act::kRunShJson},
                      RunCase{"VerifyLargeSize", Act::kVerifyLargeSize},
                      RunCase{"LongPassNotAHang", Act::kLongPassNotAHang},
                      RunCase{"ClusterHung", Act::kClusterHung},
                      RunCase{"ClusterHungInRun", Act::kClusterHungInRun},
                      RunCase{"FioCommandLine", Act::kFioCommandLine},
                      RunCase{"ResultsUnwritable", Act::kResultsUnwritable},
                      RunCase{"StopDuringStartUp", Act::kStopDuringStartUp},
                      RunCase{"GivenCluster", Act::kGivenCluster},
                      RunCase{"GivenClusterDies", Act::kGivenClusterDies},
                      RunCase{"ErrorsApartFromRates", Act::kErrorsApartFromRates},
                      RunCase{"LatencyOfIoCompletedInTheDrain",
                              Act::kLatencyOfIoCompletedInTheDrain},
                      RunCase{"ReadBackOfWhatWasWritten", Act::kReadBackOfWhatWasWritten}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// RDMA mode on a machine without the RDMA device named: the library says
// why in its log and returns its error; pyxbench prints that reason and
// exits 2, leaving no cluster behind.
TEST(PyxbenchStart, RdmaModeWithoutTheDeviceSaysWhyAndExits2) {
  Bench b({PYXBENCH_BIN, "--runtime", "5", "--size", "16m", "--ini-set", "is_tcp=No",
           "--ini-set", "rdma_device=pyxbench_test_absent"});
  const int code = b.Wait(120);
  const std::string err = b.err();
  EXPECT_EQ(code, 2) << err;
  EXPECT_NE(err.find("pyxbench: the library did not start"), std::string::npos) << err;
  // The system's own words, as the verbs library's failure gave them.
  EXPECT_NE(err.find("(errno="), std::string::npos) << err;
  EXPECT_NE(err.find("the rdma io workers cannot start on device pyxbench_test_absent"),
            std::string::npos)
      << err;
  EXPECT_TRUE(ChildrenNamed(b.pid(), "pyxsim").empty());
}

}  // namespace
