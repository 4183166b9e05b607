// pyxbench, pyxsim and pyxsimctl as a new user meets them: --help says
// where the defaults differ from fio's and from each other; what a block
// device would refuse is refused; a refused start always says why; a
// stopped run's results tell what ran apart from how the run ended; wrong
// bytes are listed once each, with how many more there were; pyxsimctl
// refuses random faults that would change nothing; bench/driver_vs_nbd.sh
// takes its thread counts from THREADS, leaving JOBS to the build.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"
#include "pyxsim/cluster.h"
#include "pyxsim/control_client.h"
#include "support/child.h"
#include "tarn/base/logging.h"

namespace {

using benchchild::Bench;
using benchchild::Clock;
using benchchild::Since;
using benchchild::Squeeze;
using benchchild::TakeLogDir;
using benchchild::TempPath;
using benchchild::Field;
using benchchild::Number;


size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A cluster program of the test's own with one disk d1, its driver
// configuration at `ini`; null when it did not get ready.
std::unique_ptr<Bench> StartCluster(const std::string& ini) {
  std::unique_ptr<Bench> sim(
      new Bench({PYXSIM_BIN, "--bs", "2", "--disk", "d1:64M", "--ini", ini}));
  const auto start = Clock::now();
  while (sim->out().find("pyxsim ready") == std::string::npos && Since(start) < 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (sim->out().find("pyxsim ready") == std::string::npos) return nullptr;
  return sim;
}

uint16_t ControlPort(const Bench& sim) {
  const std::string out = sim.out();
  const size_t at = out.find("control=");
  return at == std::string::npos ? 0 : static_cast<uint16_t>(atoi(out.c_str() + at + 8));
}

TEST(PyxbenchFirstUse, HelpSaysWhereDefaultsDiffer) {
  struct Case {
    const char* program;
    const char* says;
  };
  const Case kCases[] = {
      {PYXBENCH_BIN, "or rw (also spelled readwrite) (randrw; fio's default is read)"},
      {PYXBENCH_BIN, "the default workload is --rw randrw, 50% reads (fio's default is read)"},
      {PYXBENCH_BIN, "(3; a pyxsim started by hand has 2 unless given --bs 3)"},
      {PYXSIM_BIN, "block servers (1, 1, 2; the cluster pyxbench starts itself has 3 block "
                   "servers: --bs 3 gives the same)"},
  };
  for (const char* program : {PYXBENCH_BIN, PYXSIM_BIN}) {
    const testsupport::ChildResult help = testsupport::RunCommand({program, "--help"}, 30);
    ASSERT_TRUE(help.ok()) << testsupport::Describe(help);
    const std::string text = Squeeze(help.output);
    for (const Case& c : kCases) {
      if (c.program != program) continue;
      EXPECT_NE(text.find(c.says), std::string::npos) << c.says << ": " << text;
    }
    // No alias that reads as another mode's name.
    EXPECT_EQ(text.find("randrw (randrw"), std::string::npos) << text;
  }
}

// A block device takes whole sectors at sector offsets: anything else is
// refused before anything starts, and the smallest that is whole sectors
// runs and is verified.
TEST(PyxbenchFirstUse, WhatABlockDeviceRefusesIsRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* said;  // "" when the run is taken
  };
  const Case kCases[] = {
      {{"--bs", "4000", "--blockalign", "1"}, "'4000' for --bs: allowed 512 to 16m, whole sectors of 512"},
      {{"--blockalign", "1"}, "'1' for --blockalign: allowed a power of two from 512 to 1g"},
      {{"--blockalign", "256"}, "'256' for --blockalign: allowed a power of two from 512"},
      {{"--offset", "1000"}, "'1000' for --offset: allowed multiples of 512"},
      {{"--bs", "1536", "--blockalign", "512", "--offset", "512", "--verify"}, ""},
  };
  std::vector<std::unique_ptr<Bench>> runs;
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {PYXBENCH_BIN, "--runtime", "0.3", "--size", "1m", "--json",
                                     "--progress", "off"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = kCases[i];
    Bench& b = *runs[i];
    const std::string what = c.args[0] + " " + c.args[1];
    if (*c.said != '\0') {
      EXPECT_EQ(b.Wait(60), 2) << what << ": " << b.err();
      EXPECT_NE(b.err().find(c.said), std::string::npos) << what << ": " << b.err();
      EXPECT_EQ(b.err().find("logs kept"), std::string::npos) << what << ": " << b.err();
      continue;
    }
    EXPECT_EQ(b.Wait(120), 0) << what << ": " << b.err();
    EXPECT_EQ(Field(b.out(), "clean"), "true") << b.out();
    EXPECT_GT(Number(b.out(), "verified_bytes"), 0) << b.out();
  }
}

// The library refuses to start (RDMA mode without the device): the reason
// follows the colon, wherever the configuration puts the library's log,
// and another process's log beside it (an earlier run's) is no reason.
TEST(PyxbenchFirstUse, RefusedStartAlwaysSaysWhy) {
  const std::string elsewhere = TempPath("pyxbench_driver_log");
  ASSERT_EQ(system(("rm -rf " + elsewhere + " && mkdir -p " + elsewhere).c_str()), 0);
  {
    std::ofstream earlier(elsewhere + "/drv.20200101-000000.otherhost.1.log");
    earlier << "20200101 00:00:00.000000Z     1 ERROR an earlier process failed - x.cc:1\n";
  }
  const std::vector<std::string> kLogs[] = {
      {},
      {"--ini-set", "asyn_log=Yes", "--ini-set", "log_file=" + elsewhere + "/drv"},
      {"--ini-set", "asyn_log=No"},
  };
  std::vector<std::unique_ptr<Bench>> runs;
  for (const std::vector<std::string>& log : kLogs) {
    std::vector<std::string> argv = {PYXBENCH_BIN, "--runtime", "1", "--size", "16m",
                                     "--ini-set", "is_tcp=No"};
    argv.insert(argv.end(), log.begin(), log.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i]->Wait(120), 2) << i << ": " << runs[i]->err();
    const std::string err = runs[i]->err();
    const std::string mark = "the library did not start (pyx_init_env failed; see ";
    const size_t at = err.find(mark);
    ASSERT_NE(at, std::string::npos) << i << ": " << err;
    const size_t next = err.find("):\n", at);
    ASSERT_NE(next, std::string::npos) << i << ": " << err;
    EXPECT_EQ(err.compare(next + 3, 2, "  "), 0) << i << ": nothing after the colon: " << err;
    EXPECT_NE(err.find("the rdma io workers cannot start on device", next), std::string::npos)
        << i << ": " << err;
    EXPECT_EQ(err.find("an earlier process failed"), std::string::npos) << i << ": " << err;
    TakeLogDir(err);
  }
  ASSERT_EQ(system(("rm -rf " + elsewhere).c_str()), 0);
}

// Stopped by a signal: the JSON says the checks of what ran were clean
// apart from the run not being clean, with each direction's count; stopped
// before any I/O was measured, the summary gives no CPU figure per I/O.
TEST(PyxbenchFirstUse, StoppedRunTellsWhatRanApart) {
  Bench run({PYXBENCH_BIN, "--runtime", "120", "--size", "16m", "--iodepth", "4", "--json"});
  Bench ramp({PYXBENCH_BIN, "--runtime", "120", "--ramp_time", "120", "--size", "16m"});
  ASSERT_TRUE(run.WaitForErr("] run", 60)) << run.err();
  ASSERT_TRUE(ramp.WaitForErr("] ramp", 60)) << ramp.err();
  kill(run.pid(), SIGINT);
  kill(ramp.pid(), SIGTERM);
  EXPECT_EQ(run.Wait(60), 130) << run.err();
  EXPECT_EQ(ramp.Wait(60), 143) << ramp.err();

  const std::string json = run.out();
  EXPECT_EQ(Field(json, "clean"), "false") << json;
  EXPECT_EQ(Field(json, "checks_clean"), "true") << json;
  EXPECT_GT(Number(json, "read_ios"), 0) << json;
  EXPECT_GT(Number(json, "write_ios"), 0) << json;
  EXPECT_EQ(Number(json, "read_ios") + Number(json, "write_ios"), Number(json, "ios")) << json;
  // The cluster pyxbench started is measured.
  EXPECT_NE(Field(json, "cluster_cpu_s"), "null") << json;
  EXPECT_NE(Field(json, "cpu_us_per_io"), "null") << json;

  const std::string out = ramp.out();
  EXPECT_NE(out.find("result: STOPPED; what ran was clean"), std::string::npos) << out;
  EXPECT_NE(out.find("(user+sys), no figure per I/O (no I/O completed)"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("0.00 us per I/O"), std::string::npos) << out;
  TakeLogDir(run.err());
  TakeLogDir(ramp.err());
}

// Reads that come back with a flipped byte (the cluster bends them; CRCs
// off): each wrong byte is listed once, the read-back's second look at it
// too, at most 5 lines for all jobs, and the rest counted.
TEST(PyxbenchFirstUse, WrongBytesListedOnceWithHowManyMore) {
  const std::string ini = TempPath("pyxbench_first_use.ini");
  std::unique_ptr<Bench> sim = StartCluster(ini);
  ASSERT_NE(sim, nullptr);
  plinth::Logger::setLogLevel("warning");  // the control client's own lines
  pyxsim::ControlClient control("127.0.0.1", ControlPort(*sim));
  ASSERT_EQ(control.Connect(), 0);
  struct Case {
    const char* size;
    const char* numjobs;
    int flipped;  // reads answered with a byte flipped
    int listed;
  };
  // One block: every flipped read shows the same wrong byte. Two jobs over
  // 16 blocks: more distinct ones than are listed.
  const Case kCases[] = {{"4k", "1", 20, 1}, {"64k", "2", 40, 5}};
  for (const Case& c : kCases) {
    ASSERT_EQ(control.InjectIoFault(pyxsim::Faults::kAnyServer, "Read",
                                    pyxsim::IoFault::kFlipByte, c.flipped),
              0);
    Bench b({PYXBENCH_BIN, "--config", ini, "--disk", "d1", "--prefill", "--rw", "randread",
             "--size", c.size, "--numjobs", c.numjobs, "--verify", "--crc", "off", "--runtime",
             "0.5", "--json", "--progress", "off"});
    EXPECT_EQ(b.Wait(120), 1) << b.err();
    const std::string json = b.out();
    const std::string err = b.err();
    EXPECT_EQ(Number(json, "verify_errors"), c.flipped) << json << err;
    EXPECT_EQ(Count(err, "pyxbench: verify error, job"), static_cast<size_t>(c.listed)) << err;
    EXPECT_NE(err.find("pyxbench: " + std::to_string(c.flipped - c.listed) +
                       " more mismatched blocks not listed (" + std::to_string(c.listed) +
                       " listed above)"),
              std::string::npos)
        << err;
    // A cluster of one's own runs in a process pyxbench does not measure.
    EXPECT_EQ(Field(json, "cluster_cpu_s"), "null") << json;
    TakeLogDir(err);
  }
  unlink(ini.c_str());
}

// random-faults that would fault nothing, or with a value outside its
// limit, is refused with the usage naming every flag; a real fault is set.
TEST(PyxbenchFirstUse, PyxsimctlRandomFaultsSaysWhatItNeeds) {
  const std::string ini = TempPath("pyxbench_first_use_ctl.ini");
  std::unique_ptr<Bench> sim = StartCluster(ini);
  ASSERT_NE(sim, nullptr);
  const std::string port = std::to_string(ControlPort(*sim));
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* said;
  };
  const Case kCases[] = {
      {{}, 2, "random-faults: no fault given, nothing would change"},
      {{"--seed", "7"}, 2, "no fault given"},
      {{"--restarts"}, 2, "one every --interval-ms MS: give it"},
      {{"--interval-ms", "500"}, 2, "--interval-ms paces cluster events: name them"},
      {{"--delay", "0.1"}, 2, "--delay holds answers --delay-ms MS: give it"},
      {{"--retcode", "2"}, 2, "bad value '2' for --retcode: allowed 0 to 1"},
      {{"--close", "often"}, 2, "bad value 'often' for --close: allowed 0 to 1"},
      {{"--seed", "-1", "--retcode", "0.1"}, 2, "bad value '-1' for --seed: allowed 0 to 2^64-1"},
      {{"--seed", "18446744073709551616", "--retcode", "0.1"}, 2, "for --seed: allowed 0 to"},
      {{"--down-ms", "0", "--failovers", "--interval-ms", "100"}, 2,
       "bad value '0' for --down-ms: allowed 1 to 3600000 ms"},
      {{"--retcode", "0.001"}, 0, "rc=0"},
      {{"--interval-ms", "60000", "--route-moves"}, 0, "rc=0"},
  };
  // All at once: each is a program start.
  std::vector<std::unique_ptr<Bench>> runs;
  for (const Case& c : kCases) {
    std::vector<std::string> argv = {PYXSIMCTL_BIN, "--port", port, "random-faults"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = kCases[i];
    EXPECT_EQ(runs[i]->Wait(60), c.code) << i << ": " << runs[i]->err();
    const std::string said = runs[i]->out() + runs[i]->err();
    EXPECT_NE(said.find(c.said), std::string::npos) << i << ": " << said;
    if (c.code == 2) {
      for (const char* flag : {"--retcode P", "--delay P --delay-ms MS", "--close P",
                               "--interval-ms MS", "--route-moves", "--restarts", "--failovers",
                               "--down-ms MS"}) {
        EXPECT_NE(said.find(flag), std::string::npos) << flag << ": " << said;
      }
    }
  }
  const testsupport::ChildResult stop =
      testsupport::RunCommand({PYXSIMCTL_BIN, "--port", port, "stop-random-faults"}, 60);
  EXPECT_TRUE(stop.ok()) << testsupport::Describe(stop);
  unlink(ini.c_str());
}

// JOBS=1, as the README offers for the build, leaves the comparison's
// client thread counts alone; THREADS sets them.
TEST(PyxbenchFirstUse, DriverVsNbdThreadsApartFromBuildJobs) {
  if (system("command -v fio >/dev/null && command -v nbdkit >/dev/null && "
             "fio --enghelp 2>/dev/null | grep -qw nbd") != 0) {
    GTEST_SKIP() << "no fio with its nbd engine, or no nbdkit";
  }
  Bench b({"bash", std::string(PYX_SOURCE_DIR) + "/bench/driver_vs_nbd.sh"},
          {"JOBS=1", "THREADS=2", "RWS=randread", "QDS=1", "RUNTIME=1", "SIZE=16m",
           std::string("BUILD_DIR=") + PYX_BUILD_DIR});
  EXPECT_EQ(b.Wait(240), 0) << b.err();
  EXPECT_NE(b.err().find("running randread qd1 with 2 thread(s)"), std::string::npos) << b.err();
  EXPECT_EQ(b.err().find("with 1 thread(s)"), std::string::npos) << b.err();
  EXPECT_NE(b.out().find("randread qd1 j2 "), std::string::npos) << b.out();
}

}  // namespace
