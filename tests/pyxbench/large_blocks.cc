// pyxbench with fio's large blocks (up to 16m) against a real cluster in
// its own process: each I/O above what the library takes goes to it in
// pieces, yet counts once in the rates and latencies, and --verify checks
// it whole.
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"

namespace {

using benchchild::Bench;
using benchchild::ChildrenNamed;
using benchchild::Gone;
using benchchild::TakeLogDir;
using benchchild::Field;
using benchchild::Number;


// A figure of a nested latency object: Latency(json, "lat_us", "count").
double Latency(const std::string& json, const std::string& object, const std::string& key) {
  const size_t at = json.find("\"" + object + "\": {");
  if (at == std::string::npos) return -1;
  return Number(json.substr(at + object.size() + 4, json.find('}', at) - at), key);
}

struct LargeCase {
  std::vector<std::string> args;
  double min_mib, max_mib;  // bytes of one I/O
  int iodepth;
};

TEST(PyxbenchLargeBlocks, EachIoCountsOnceAndIsVerifiedWhole) {
  const LargeCase kCases[] = {
      {{"--rw", "randrw", "--bs", "1m", "--iodepth", "8"}, 1, 1, 8},
      // 512-byte offsets and sizes: children after an unaligned first one.
      {{"--rw", "randrw", "--bsrange", "300k-1m", "--iodepth", "4"}, 300.0 / 1024, 1, 4},
      {{"--rw", "write", "--bs", "16m", "--iodepth", "1"}, 16, 16, 1},
      {{"--rw", "read", "--bs", "1m", "--iodepth", "8", "--prefill"}, 1, 1, 8},
  };
  std::vector<std::unique_ptr<Bench>> runs;
  for (const LargeCase& c : kCases) {
    std::vector<std::string> argv = {PYXBENCH_BIN, "--verify", "--size", "64m", "--runtime",
                                     "2", "--json", "--progress", "off"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    runs.emplace_back(new Bench(argv));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const LargeCase& c = kCases[i];
    const std::string what = c.args[1] + " " + c.args[3];
    Bench& b = *runs[i];
    EXPECT_EQ(b.Wait(180), 0) << what << ": " << b.err();
    const std::string json = b.out();
    ASSERT_FALSE(json.empty()) << what << ": " << b.err();
    EXPECT_EQ(Field(json, "clean"), "true") << what << ": " << json;
    EXPECT_EQ(Field(json, "verify_errors"), "0") << what << ": " << json;
    EXPECT_EQ(Field(json, "errors"), "0") << what << ": " << json;
    EXPECT_GT(Number(json, "verified_bytes"), 0) << what << ": " << json;
    const double ios = Number(json, "ios");
    const double latencies = Latency(json, "lat_us", "count");
    // A latency per parent: those that completed in the span, give or take
    // the ones in flight at its ends (an I/O issued in the span counts
    // however late it completes: at least the first, where the machine is
    // too slow for a 16m write to complete within the span).
    EXPECT_GE(latencies, 1) << what << ": " << json;
    EXPECT_NEAR(latencies, ios, c.iodepth) << what << ": " << json;
    if (ios > 0) {
      // Rates of parents: the bytes of the span over its I/O are the size
      // of one (from the bandwidth, rounded far finer than the IOPS).
      const double mib_per_io = Number(json, "bw_mib_s") * Number(json, "runtime_s") / ios;
      EXPECT_GE(mib_per_io, c.min_mib * 0.99) << what << ": " << json;
      EXPECT_LE(mib_per_io, c.max_mib * 1.01) << what << ": " << json;
    }
    // The library saw the pieces: at least a 16 KiB stripe's worth each.
    EXPECT_GE(Number(json, "library_ios"), ios * c.min_mib * 64 * 0.5) << what << ": " << json;
    TakeLogDir(b.err());
  }
}

// A frozen cluster: the note that nothing completes counts the run's I/O in
// flight, each large one once, not the pieces the library was handed.
TEST(PyxbenchLargeBlocks, StalledRunCountsEachLargeIoInFlightOnce) {
  Bench b({PYXBENCH_BIN, "--rw", "write", "--bs", "1m", "--iodepth", "2", "--size", "32m",
           "--runtime", "120", "--rpc-timeout-ms", "60000"});
  ASSERT_TRUE(b.WaitForErr("] run", 60)) << b.err();
  const std::vector<pid_t> sims = ChildrenNamed(b.pid(), "pyxsim");
  ASSERT_EQ(sims.size(), 1u);
  kill(sims[0], SIGSTOP);
  const std::string mark = "during the run (";
  const bool said = b.WaitForErr(mark, 60);
  kill(sims[0], SIGCONT);
  kill(b.pid(), SIGINT);
  ASSERT_TRUE(said) << b.err();
  const std::string err = b.err();
  const double in_flight = strtod(err.c_str() + err.find(mark) + mark.size(), nullptr);
  EXPECT_GE(in_flight, 1) << err;
  EXPECT_LE(in_flight, 2) << "more than --iodepth: " << err;
  EXPECT_EQ(b.Wait(120), 130) << b.err();
  EXPECT_TRUE(Gone(sims[0], 30)) << "pyxsim left behind";
  TakeLogDir(b.err());
}

}  // namespace
