// The queue depth a pyxbench run held, as its command line reports it: the
// time-weighted I/O in flight per job and in all, fio's "IO depths"
// buckets, a note when the jobs held well under --iodepth, and a note at the
// start when the threads busy with the I/O outnumber the CPUs they may use.
#include <sched.h>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"

namespace {

using benchchild::Bench;
using google::protobuf::Struct;
using google::protobuf::Value;

constexpr double kRunBoundS = 120;

std::vector<std::string> Args(std::vector<std::string> extra) {
  std::vector<std::string> argv = {PYXBENCH_BIN, "--progress", "off", "--runtime", "1"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

bool Parse(const std::string& json, Struct* out) {
  return google::protobuf::util::JsonStringToMessage(json, out).ok();
}

const Value& At(const Struct& s, const std::string& key) {
  static const Value kNone;
  auto it = s.fields().find(key);
  return it == s.fields().end() ? kNone : it->second;
}

// The mean and the buckets (in percent, summing to 100) of one figure set.
void ExpectFigures(const Value& figures, double most, const std::string& what) {
  ASSERT_TRUE(figures.has_struct_value()) << what;
  const Struct& f = figures.struct_value();
  const double mean = At(f, "mean").number_value();
  EXPECT_GT(mean, 0) << what;
  EXPECT_LE(mean, most + 0.01) << what;
  const Struct& dist = At(f, "dist_pct").struct_value();
  double sum = 0;
  for (const char* bucket : {"0", "1", "2", "4", "8", "16", "32", ">=64"}) {
    ASSERT_TRUE(dist.fields().count(bucket)) << what << " bucket " << bucket;
    sum += At(dist, bucket).number_value();
  }
  EXPECT_NEAR(sum, 100.0, 0.1) << what;
}

// A run of well-behaved jobs: every figure is there, per job and in all,
// within what --iodepth allows, and the mean in flight agrees with the
// rate and the mean latency (Little's law), since an I/O counts as in
// flight over the span its latency covers.
TEST(PyxbenchDepth, FiguresPerJobAndInAllInJsonAndText) {
  struct Case {
    bool json;
  };
  for (const Case c : {Case{true}, Case{false}}) {
    SCOPED_TRACE(c.json ? "json" : "text");
    std::vector<std::string> extra = {"--rw", "randwrite", "--iodepth", "4", "--numjobs", "2",
                                      "--size", "16m"};
    if (c.json) extra.push_back("--json");
    Bench b(Args(extra));
    ASSERT_EQ(b.Wait(kRunBoundS), 0) << b.err();
    const std::string out = b.out();
    if (!c.json) {
      EXPECT_NE(out.find("  depth: "), std::string::npos) << out;
      EXPECT_NE(out.find(" of 4 in flight per job on average ("), std::string::npos) << out;
      EXPECT_NE(out.find(" of 8 in all); IO depths: 0="), std::string::npos) << out;
      EXPECT_NE(out.find(", >=64="), std::string::npos) << out;
      EXPECT_NE(out.find("    job 0: "), std::string::npos) << out;
      EXPECT_NE(out.find("    job 1: "), std::string::npos) << out;
      continue;
    }
    Struct r;
    ASSERT_TRUE(Parse(out, &r)) << out;
    const Value& depth = At(r, "depth");
    ASSERT_TRUE(depth.has_struct_value()) << out;
    const Struct& d = depth.struct_value();
    EXPECT_EQ(At(d, "iodepth").number_value(), 4);
    ExpectFigures(At(d, "all"), 8, "all");
    const auto& jobs = At(d, "jobs").list_value().values();
    ASSERT_EQ(jobs.size(), 2u) << out;
    double sum = 0;
    for (int i = 0; i < 2; ++i) {
      ExpectFigures(jobs[i], 4, "job " + std::to_string(i));
      sum += At(jobs[i].struct_value(), "mean").number_value();
    }
    const double all = At(At(d, "all").struct_value(), "mean").number_value();
    EXPECT_NEAR(sum, all, 0.05) << out;
    const double little =
        At(r, "iops").number_value() * At(At(r, "lat_us").struct_value(), "mean").number_value() /
        1e6;
    EXPECT_NEAR(all, little, 0.25 * all + 0.1) << out;
    EXPECT_GE(At(d, "cpus").number_value(), 1) << out;
    EXPECT_GE(At(d, "busy_threads").number_value(), 3) << out;
  }
}

// Jobs that cannot hold their depth: each writes its own four blocks in
// turn and, verifying, never has two I/O on one block, so at most 4 of the
// 8 asked are ever in flight. The summary says so, and what it saw of the
// CPUs; the JSON marks the run short with the same note.
TEST(PyxbenchDepth, ShortfallIsNoted) {
  for (bool json : {true, false}) {
    SCOPED_TRACE(json ? "json" : "text");
    std::vector<std::string> extra = {"--rw",   "write", "--bs",     "4k", "--iodepth", "8",
                                      "--numjobs", "2",  "--size", "32k", "--verify"};
    if (json) extra.push_back("--json");
    Bench b(Args(extra));
    ASSERT_EQ(b.Wait(kRunBoundS), 0) << b.err();
    const std::string out = b.out();
    if (!json) {
      EXPECT_NE(out.find("  depth: NOTE: the jobs held "), std::string::npos) << out;
      EXPECT_NE(out.find(" of the 16 asked (--iodepth 8 x 2 jobs); "), std::string::npos) << out;
      EXPECT_NE(out.find("waited for a CPU"), std::string::npos) << out;
      continue;
    }
    Struct r;
    ASSERT_TRUE(Parse(out, &r)) << out;
    const Struct& d = At(r, "depth").struct_value();
    EXPECT_TRUE(At(d, "short").bool_value()) << out;
    ExpectFigures(At(d, "all"), 8, "all");
    for (const Value& job : At(d, "jobs").list_value().values()) ExpectFigures(job, 4, "job");
    const Struct& dist = At(At(d, "all").struct_value(), "dist_pct").struct_value();
    EXPECT_EQ(At(dist, "8").number_value(), 0) << out;
    EXPECT_NE(At(d, "note").string_value().find("of the 16 asked"), std::string::npos) << out;
  }
}

// A run with no measured span has no depth either.
TEST(PyxbenchDepth, NoneWithoutAMeasuredSpan) {
  Bench b({PYXBENCH_BIN, "--progress", "off", "--prefill", "--runtime", "0", "--size", "1m",
           "--json"});
  ASSERT_EQ(b.Wait(kRunBoundS), 0) << b.err();
  Struct r;
  ASSERT_TRUE(Parse(b.out(), &r)) << b.out();
  EXPECT_TRUE(At(r, "depth").has_null_value()) << b.out();
}

// Run on one CPU, the job thread, the library's loops and the cluster's
// threads outnumber it: said at the start, with the counts.
TEST(PyxbenchDepth, MoreBusyThreadsThanCpusAreNoted) {
  cpu_set_t saved, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof(saved), &saved), 0);
  int first = 0;
  while (!CPU_ISSET(first, &saved)) ++first;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  Bench b(Args({"--iodepth", "2", "--size", "1m"}));  // inherits the one CPU
  ASSERT_EQ(sched_setaffinity(0, sizeof(saved), &saved), 0);
  ASSERT_EQ(b.Wait(kRunBoundS), 0) << b.err();
  const std::string err = b.err();
  EXPECT_NE(err.find("pyxbench: note: 1 job thread, the library's "), std::string::npos) << err;
  EXPECT_NE(err.find(" event loops and the cluster's "), std::string::npos) << err;
  EXPECT_NE(err.find(" share 1 CPU: they take turns on them"), std::string::npos) << err;
}

}  // namespace
