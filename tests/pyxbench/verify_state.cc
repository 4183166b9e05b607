// pyxbench as a durability check: blocks written under --verify describe
// themselves, so any later run checks what it reads; --verify-state carries
// what was written from one run to the next, and --verify-only reads it
// back after what the cluster went through (restarts, fail-overs), finding
// a block changed behind the driver's back and one returned to an older
// write, each at its offset. A state that cannot be this run's is refused
// before anything starts, with its reason.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"

namespace {

using benchchild::Bench;
using benchchild::Clock;
using benchchild::ReadAll;
using benchchild::Since;
using benchchild::TakeLogDir;
using benchchild::TempPath;
using benchchild::Field;
using benchchild::Number;


// A pyxbench run to its end: its exit status, standard output and error.
struct Outcome {
  int code = -1;
  std::string out, err;
};

Outcome RunBench(std::vector<std::string> args) {
  args.insert(args.begin(), PYXBENCH_BIN);
  Bench b(args);
  Outcome r;
  r.code = b.Wait(240);
  r.out = b.out();
  r.err = b.err();
  TakeLogDir(r.err);
  return r;
}

// One pyxsimctl request to the cluster's control port; its answer.
int Ctl(int port, const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<std::string> argv = {std::string(PYX_BUILD_DIR) + "/src/pyxbench/pyxsimctl", "--port",
                                   std::to_string(port)};
  argv.insert(argv.end(), args.begin(), args.end());
  Bench ctl(argv);
  const int code = ctl.Wait(60);
  if (out != nullptr) *out = ctl.out() + ctl.err();
  return code;
}

TEST(PyxbenchVerifyState, DataSurvivesRestartsAndFailOversAndDamageIsFoundAtItsOffset) {
  const std::string ini = TempPath("verify_state.ini");
  const std::string state = TempPath("verify_state.state");
  const std::string kept = TempPath("verify_state.block");
  // Two block servers and two block masters, to restart and fail over.
  Bench sim({std::string(PYX_BUILD_DIR) + "/sim/pyxsim", "--bs", "2", "--bm", "2", "--disk",
             "d0:16M", "--ini", ini});
  const auto start = Clock::now();
  while (sim.out().find("pyxsim ready") == std::string::npos && Since(start) < 60) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string ready = sim.out();
  ASSERT_NE(ready.find("pyxsim ready"), std::string::npos) << ready << sim.err();
  const int port = atoi(ready.c_str() + ready.find("control=") + 8);
  ASSERT_GT(port, 0) << ready;
  unlink(state.c_str());
  const std::vector<std::string> disk = {"--config", ini,      "--disk",     "d0", "--size",
                                         "4m",       "--json", "--progress", "off"};
  auto with = [&disk](std::vector<std::string> args) {
    args.insert(args.begin(), disk.begin(), disk.end());
    return args;
  };

  // Every block written, the state started.
  const Outcome first = RunBench(with({"--prefill", "--rw", "randwrite", "--runtime", "0.3",
                                       "--iodepth", "4", "--verify-state", state}));
  ASSERT_EQ(first.code, 0) << first.err << first.out;
  EXPECT_NE(first.err.find("does not exist: this run starts it"), std::string::npos) << first.err;
  EXPECT_GE(Number(first.out, "verified_bytes"), 4 << 20) << first.out;
  const std::string first_run = Field(first.out, "run_id");
  ASSERT_EQ(first_run.size(), 16u) << first.out;

  // A later run with --verify and no state checks what it reads, whoever
  // wrote it.
  const Outcome reads = RunBench(with({"--rw", "randread", "--runtime", "0.3", "--verify"}));
  EXPECT_EQ(reads.code, 0) << reads.err << reads.out;
  EXPECT_GT(Number(reads.out, "verified_bytes"), 0) << reads.out;
  EXPECT_EQ(Field(reads.out, "never_written_bytes"), "0") << reads.out;
  EXPECT_EQ(Field(reads.out, "mismatched_blocks"), "0") << reads.out;
  EXPECT_EQ(Field(reads.out, "clean"), "true") << reads.out;

  // The first run's block at 8k, kept to put back later; then everything
  // written again by a second run that carries the state on.
  ASSERT_EQ(Ctl(port, {"read-stored", "d0", "8192", "4096", kept}), 0);
  const Outcome second = RunBench(with({"--prefill", "--rw", "randrw", "--runtime", "0.3",
                                        "--iodepth", "4", "--verify-state", state}));
  ASSERT_EQ(second.code, 0) << second.err << second.out;
  EXPECT_NE(Field(second.out, "run_id"), first_run) << second.out;

  // A server's index out of range is refused, never taken as another
  // server's (4294967296 is no 0).
  std::string said;
  for (const std::vector<std::string>& op : {std::vector<std::string>{"stop", "bs", "4294967296"},
                                             {"restart", "bm", "18446744073709551616"},
                                             {"primary-block-master", "4294967297"}}) {
    EXPECT_EQ(Ctl(port, op, &said), 2) << op[0] << " " << op.back() << ": " << said;
  }

  // What the cluster goes through: its block servers restarted, its block
  // masters failed over.
  for (const std::vector<std::string>& op : {std::vector<std::string>{"restart", "bs", "0"},
                                             {"restart", "bs", "1"},
                                             {"primary-block-master", "1"},
                                             {"restart", "bm", "0"}}) {
    EXPECT_EQ(Ctl(port, op, &said), 0) << op[0] << ": " << said;
  }
  const Outcome after = RunBench(with({"--verify-only", "--verify-state", state}));
  EXPECT_EQ(after.code, 0) << after.err << after.out;
  EXPECT_NE(after.err.find("reading back 4.0 MiB (what " + state + " says was written)"),
            std::string::npos)
      << after.err;
  EXPECT_EQ(Number(after.out, "verified_bytes"), 4 << 20) << after.out;
  EXPECT_EQ(Field(after.out, "mismatched_blocks"), "0") << after.out;
  EXPECT_EQ(Field(after.out, "clean"), "true") << after.out;
  EXPECT_EQ(Field(after.out, "ios"), "0") << after.out;

  // Behind the driver's back: one byte of the block at 64k changed, and
  // the block at 8k returned to the first run's write.
  const std::string changed = TempPath("verify_state.changed");
  ASSERT_EQ(Ctl(port, {"read-stored", "d0", "65536", "4096", changed}), 0);
  std::string bytes = ReadAll(changed);
  ASSERT_EQ(bytes.size(), 4096u);
  bytes[1000] = static_cast<char>(bytes[1000] ^ 0x40);
  std::ofstream(changed, std::ios::binary | std::ios::trunc) << bytes;
  ASSERT_EQ(Ctl(port, {"write-stored", "d0", "65536", changed}), 0);
  ASSERT_EQ(Ctl(port, {"write-stored", "d0", "8192", kept}), 0);
  const Outcome damaged = RunBench(with({"--verify-only", "--verify-state", state}));
  EXPECT_EQ(damaged.code, 1) << damaged.err << damaged.out;
  EXPECT_EQ(Field(damaged.out, "mismatched_blocks"), "2") << damaged.out;
  EXPECT_EQ(Number(damaged.out, "verified_bytes"), (4 << 20) - 2 * 4096) << damaged.out;
  EXPECT_NE(damaged.err.find("the unit at 65536 holds a bad checksum"), std::string::npos)
      << damaged.err;
  EXPECT_NE(damaged.err.find("byte 66536 is "), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("the unit at 8192 holds write "), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("of run " + first_run + ", an older write (a lost write); expected "),
            std::string::npos)
      << damaged.err;
  EXPECT_EQ(Field(damaged.out, "clean"), "false") << damaged.out;

  for (const std::string& f : {ini, state, kept, changed}) unlink(f.c_str());
}

// A run with --verify that read only never-written blocks verified
// nothing: said so, with its own exit status, never "clean".
TEST(PyxbenchVerifyState, RunThatVerifiedNothingSaysSo) {
  const Outcome json = RunBench({"--rw", "randread", "--size", "16m", "--runtime", "0.3",
                                 "--verify", "--json", "--progress", "off"});
  EXPECT_EQ(json.code, 5) << json.err << json.out;
  EXPECT_EQ(Field(json.out, "verified_bytes"), "0") << json.out;
  EXPECT_GT(Number(json.out, "never_written_bytes"), 0) << json.out;
  EXPECT_EQ(Field(json.out, "nothing_verified"), "true") << json.out;
  EXPECT_EQ(Field(json.out, "clean"), "false") << json.out;
  // A --verify-only of all of --size on a new disk: nothing but zeros.
  const Outcome text = RunBench({"--verify-only", "--size", "1m", "--progress", "off"});
  EXPECT_EQ(text.code, 5) << text.err << text.out;
  EXPECT_NE(text.err.find("reading back 1.0 MiB (all of --size)"), std::string::npos) << text.err;
  EXPECT_NE(text.out.find("never written 1.0 MiB"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("result: NOTHING VERIFIED"), std::string::npos) << text.out;
}

// A state file that is missing, of another disk, range or unit, or damaged
// is refused before anything starts, with its reason; the state of a run
// is taken by the next run of the same disk, range and unit.
TEST(PyxbenchVerifyState, StateThatIsNotThisRunsRefusedWithItsReason) {
  const std::string state = TempPath("verify_refused.state");
  unlink(state.c_str());
  const Outcome made = RunBench({"--prefill", "--rw", "write", "--size", "1m", "--runtime", "0.2",
                                 "--verify-state", state, "--json", "--progress", "off"});
  ASSERT_EQ(made.code, 0) << made.err << made.out;
  const std::string good = ReadAll(state);
  ASSERT_GT(good.size(), 1024u);
  const std::string truncated = TempPath("verify_refused.short");
  std::ofstream(truncated, std::ios::binary) << good.substr(0, good.size() - 100);
  std::string flipped_bytes = good;
  flipped_bytes[good.size() / 2] ^= 1;
  const std::string flipped = TempPath("verify_refused.flipped");
  std::ofstream(flipped, std::ios::binary) << flipped_bytes;
  const std::string missing = TempPath("verify_refused.missing");
  // Made up: a count of units that, times four, wraps to the file's length
  // (a unit of 1 byte and a size to match), its checksum left as it was.
  std::string wrapped_bytes = good;
  uint64_t size = 0, unit = 0;
  memcpy(&size, &good[24], 8);
  memcpy(&unit, &good[32], 8);
  ASSERT_EQ(unit, 4096u);
  const uint64_t one = 1, units = size / unit;
  const uint64_t huge = (uint64_t{1} << 62) + units;
  memcpy(&wrapped_bytes[32], &one, 8);
  memcpy(&wrapped_bytes[24], &huge, 8);
  memcpy(&wrapped_bytes[good.size() - 4 - 4 * units - 8], &huge, 8);
  const std::string wrapped = TempPath("verify_refused.wrapped");
  std::ofstream(wrapped, std::ios::binary) << wrapped_bytes;
  // A FIFO no one writes to: refused, never waited on.
  const std::string fifo = TempPath("verify_refused.fifo");
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const Case kCases[] = {
      {{"--verify-only", "--verify-state", missing},
       "cannot use --verify-state " + missing + ": it does not exist"},
      {{"--rw", "randread", "--verify-state", missing}, "it does not exist"},
      {{"--verify-state", state, "--disk", "other"}, "it is of disk pyxbench, not other (--disk)"},
      {{"--verify-state", state, "--size", "2m"},
       "it is of --offset 0 --size 1m, not --offset 0 --size 2m"},
      {{"--verify-state", state, "--offset", "1m"}, "not --offset 1m --size 1m"},
      {{"--verify-state", state, "--bsrange", "512-8k"},
       "its units are 4096 bytes, this run's 512"},
      {{"--verify-state", truncated}, "it is damaged: its units do not cover its size"},
      {{"--verify-state", flipped}, "it is damaged: its checksum does not match its bytes"},
      {{"--verify-state", PYX_SOURCE_DIR "/README.md"}, "it is no pyxbench verify state"},
      {{"--verify-state", "/"}, "it is not a file"},
      {{"--verify-state", fifo}, "it is not a file"},
      {{"--verify-state", wrapped}, "it is damaged: its units do not cover its size"},
      {{"--verify-only", "--prefill"}, "--verify-only runs no workload: give no --prefill"},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> args = {"--size", "1m"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = RunBench(args);
    EXPECT_EQ(r.code, 2) << c.said << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("logs kept"), std::string::npos) << "started: " << r.err;
  }

  // A run with writes that never ends (killed here) leaves the state out of
  // use: the next run is told that what it wrote is unknown, not shown its
  // blocks as mismatches.
  const std::string cut = TempPath("verify_refused.cut");
  const std::string logs = TempPath("verify_refused.logs");
  std::ofstream(cut, std::ios::binary) << good;
  {
    Bench b({PYXBENCH_BIN, "--rw", "write", "--size", "1m", "--runtime", "120", "--verify-state",
             cut, "--log-dir", logs});
    ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
    kill(-b.pid(), SIGKILL);
    b.Wait(60);
  }
  const Outcome after_cut = RunBench({"--size", "1m", "--verify-only", "--verify-state", cut});
  EXPECT_EQ(after_cut.code, 2) << after_cut.err;
  EXPECT_NE(after_cut.err.find("the run that last used it never ended"), std::string::npos)
      << after_cut.err;
  EXPECT_EQ(system(("rm -rf " + logs).c_str()), 0);

  // The same disk, range and unit: taken. The cluster pyxbench starts
  // makes a new disk, so every block the state says was written reads
  // back as zeros: each a lost write, found.
  const Outcome lost = RunBench(
      {"--size", "1m", "--verify-only", "--verify-state", state, "--json", "--progress", "off"});
  EXPECT_EQ(lost.code, 1) << lost.err << lost.out;
  EXPECT_EQ(Number(lost.out, "mismatched_blocks"), 256) << lost.out;
  EXPECT_NE(lost.err.find("the unit at 0 holds zeros (never written); expected write "),
            std::string::npos)
      << lost.err;
  for (const std::string& f : {state, truncated, flipped, wrapped, fifo, cut}) unlink(f.c_str());
}

}  // namespace
