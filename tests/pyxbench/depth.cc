// The queue depth a pyxbench run held, as its command line reports it: the
// time-weighted I/O in flight per job and in all, fio's "IO depths"
// buckets, a note when the jobs held well under --iodepth, and a note at the
// start when the threads busy with the I/O outnumber the CPUs they may use.
#include <sched.h>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pyxbench/bench_child.h"

namespace {

using benchchild::Bench;

constexpr double kRunBoundS = 120;

std::vector<std::string> Args(std::vector<std::string> extra) {
  std::vector<std::string> argv = {PYXBENCH_BIN, "--progress", "off", "--runtime", "1"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// Whether `text` is one JSON object (parsed by protobuf's JSON reader).
bool IsJson(const std::string& text) {
  google::protobuf::Struct parsed;
  return google::protobuf::util::JsonStringToMessage(text, &parsed).ok();
}

// The value after `"key": ` in `json` (its first occurrence): an object or
// a list as its whole text, a string without its quotes, anything else up
// to the next ',' or closing.
std::string JsonValue(const std::string& json, const std::string& key) {
  const std::string mark = "\"" + key + "\": ";
  const size_t at = json.find(mark);
  if (at == std::string::npos) return "";
  const size_t from = at + mark.size();
  if (json[from] == '"') return json.substr(from + 1, json.find('"', from + 1) - from - 1);
  if (json[from] != '{' && json[from] != '[') {
    return json.substr(from, json.find_first_of(",}]", from) - from);
  }
  int open = 0;
  for (size_t i = from; i < json.size(); ++i) {
    if (json[i] == '{' || json[i] == '[') ++open;
    if ((json[i] == '}' || json[i] == ']') && --open == 0) return json.substr(from, i + 1 - from);
  }
  return "";
}

double JsonNumber(const std::string& json, const std::string& key) {
  return strtod(JsonValue(json, key).c_str(), nullptr);
}

// The objects of a JSON list's text.
std::vector<std::string> Items(const std::string& list) {
  std::vector<std::string> items;
  int open = 0;
  size_t from = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '{' && open++ == 0) from = i;
    if (list[i] == '}' && --open == 0) items.push_back(list.substr(from, i + 1 - from));
  }
  return items;
}

// The mean and the buckets (in percent, summing to 100) of one figure set.
void ExpectFigures(const std::string& figures, double most, const std::string& what) {
  const double mean = JsonNumber(figures, "mean");
  EXPECT_GT(mean, 0) << what << ": " << figures;
  EXPECT_LE(mean, most + 0.01) << what << ": " << figures;
  const std::string dist = JsonValue(figures, "dist_pct");
  double sum = 0;
  for (const char* bucket : {"0", "1", "2", "4", "8", "16", "32", ">=64"}) {
    ASSERT_FALSE(JsonValue(dist, bucket).empty()) << what << " bucket " << bucket << ": " << dist;
    sum += JsonNumber(dist, bucket);
  }
  EXPECT_NEAR(sum, 100.0, 0.1) << what << ": " << dist;
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
    ASSERT_TRUE(IsJson(out)) << out;
    const std::string d = JsonValue(out, "depth");
    ASSERT_TRUE(!d.empty() && d.front() == '{') << out;
    EXPECT_EQ(JsonNumber(d, "iodepth"), 4) << d;
    ExpectFigures(JsonValue(d, "all"), 8, "all");
    const std::vector<std::string> jobs = Items(JsonValue(d, "jobs"));
    ASSERT_EQ(jobs.size(), 2u) << d;
    double sum = 0;
    for (int i = 0; i < 2; ++i) {
      ExpectFigures(jobs[i], 4, "job " + std::to_string(i));
      sum += JsonNumber(jobs[i], "mean");
    }
    const double all = JsonNumber(JsonValue(d, "all"), "mean");
    EXPECT_NEAR(sum, all, 0.05) << d;
    const double little = JsonNumber(out, "iops") * JsonNumber(JsonValue(out, "lat_us"), "mean") / 1e6;
    EXPECT_NEAR(all, little, 0.25 * all + 0.1) << out;
    EXPECT_GE(JsonNumber(d, "cpus"), 1) << d;
    EXPECT_GE(JsonNumber(d, "busy_threads"), 3) << d;
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
    ASSERT_TRUE(IsJson(out)) << out;
    const std::string d = JsonValue(out, "depth");
    ASSERT_TRUE(!d.empty() && d.front() == '{') << out;
    EXPECT_EQ(JsonValue(d, "short"), "true") << d;
    ExpectFigures(JsonValue(d, "all"), 8, "all");
    const std::vector<std::string> jobs = Items(JsonValue(d, "jobs"));
    EXPECT_EQ(jobs.size(), 2u) << d;
    for (const std::string& job : jobs) ExpectFigures(job, 4, "job");
    EXPECT_EQ(JsonNumber(JsonValue(JsonValue(d, "all"), "dist_pct"), "8"), 0) << d;
    EXPECT_NE(JsonValue(d, "note").find("of the 16 asked"), std::string::npos) << d;
  }
}

// A run with no measured span has no depth either.
TEST(PyxbenchDepth, NoneWithoutAMeasuredSpan) {
  Bench b({PYXBENCH_BIN, "--progress", "off", "--prefill", "--runtime", "0", "--size", "1m",
           "--json"});
  ASSERT_EQ(b.Wait(kRunBoundS), 0) << b.err();
  ASSERT_TRUE(IsJson(b.out())) << b.out();
  EXPECT_EQ(JsonValue(b.out(), "depth"), "null") << b.out();
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
