// How deep a run kept its queues: the I/O each job had in flight, weighted
// by time, over the measured span, with a distribution of fio's "IO depths"
// buckets; and how long pyxbench's threads waited for a CPU meanwhile.
//
// An I/O counts as in flight from the moment its job hands it to the host
// channel until its completion callback runs, the span its latency covers,
// so that the mean depth is IOPS times mean latency. Time a job spends
// between a completion and the next submission (its thread waiting for a
// CPU, napping between looks at the rings, or held up inside a submission)
// is time at a lower depth.
#ifndef PYXBENCH_DEPTH_H_
#define PYXBENCH_DEPTH_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pyxbench {

// fio's buckets (1, 2-3, 4-7, ..., 32-63, 64 and more), after the time with
// nothing in flight.
constexpr int kDepthBuckets = 8;
int DepthBucketOf(uint32_t depth);
const char* DepthBucketName(int bucket);  // "0", "1", "2", ..., "32", ">=64"

// The integrals of one job's depth over time, up to `at_ns`.
struct DepthSample {
  int64_t at_ns = 0;  // CLOCK_MONOTONIC
  uint64_t depth_ns = 0;  // sum of depth x nanoseconds
  int64_t ns_at[kDepthBuckets] = {};
};

// One job's depth. Set is the job thread's (a few stores, no lock, no
// allocation); Read may be called from any thread at any time and sees a
// consistent state (the writer never waits for a reader).
class DepthMeter {
 public:
  DepthMeter();
  // From `now_ns` on, `depth` I/O are in flight. Times never go back.
  void Set(int64_t now_ns, uint32_t depth);
  // The integrals up to now (zero before the first Set).
  DepthSample Read() const;

 private:
  std::atomic<uint32_t> seq_{0};  // odd while Set writes
  std::atomic<int64_t> since_ns_{0};
  std::atomic<uint32_t> depth_{0};
  std::atomic<uint64_t> depth_ns_{0};
  std::atomic<int64_t> ns_at_[kDepthBuckets];
};

// Depth over a span.
struct DepthFigures {
  double seconds = 0;
  double mean = 0;                    // I/O in flight, time-weighted
  double share[kDepthBuckets] = {};  // fraction of the time in each bucket
};
DepthFigures DepthBetween(const DepthSample& from, const DepthSample& to);

// Nanoseconds this process's threads have waited for a CPU so far (the
// scheduler's run delay), in all and of the given threads.
struct CpuWait {
  bool known = false;  // the kernel keeps these figures
  int64_t all_ns = 0;
  int64_t jobs_ns = 0;
};
CpuWait ReadCpuWait(const std::vector<pid_t>& job_tids);

// The threads that carry the I/O (the jobs' and the library's loops, whose
// names start with `library_prefix`), the CPUs they may run on between
// them, and the threads of `other` (the cluster's process, 0: none) that
// may run on those CPUs too.
struct CpuShare {
  int job_threads = 0;
  int library_threads = 0;
  int other_threads = 0;
  int cpus = 0;
  int busy_threads() const { return job_threads + library_threads + other_threads; }
};
CpuShare ReadCpuShare(const std::vector<pid_t>& job_tids, const std::string& library_prefix,
                      pid_t other);
// "4 job threads, the library's 5 event loops and the cluster's 8 threads
// share 2 CPUs" ("" when they do not outnumber them).
std::string CrowdedText(const CpuShare& share);

// What the summary and the JSON say of a run's depth.
struct RunDepth {
  bool measured = false;
  int iodepth = 0;
  std::vector<DepthFigures> jobs;
  DepthFigures all;  // mean: of all jobs together; share: of the jobs' time
  CpuWait wait;      // over the measured span
  double seconds = 0;
  CpuShare share;
  // Below this share of --iodepth the summary notes the shortfall.
  static constexpr double kShortOf = 0.8;
  // Job threads waiting for a CPU this share of the time count as a cause.
  static constexpr double kWaitCause = 0.1;
  bool Short() const { return measured && all.mean < kShortOf * iodepth * jobs.size(); }
  double JobsWaitShare() const;  // the job threads' CPU wait / their time
  std::string Note() const;      // "" unless Short()
};
RunDepth DepthOfRun(int iodepth, const std::vector<DepthSample>& from,
                    const std::vector<DepthSample>& to, const CpuWait& wait_from,
                    const CpuWait& wait_to, const CpuShare& share, bool measured);

void PrintDepthSummary(FILE* out, const RunDepth& d);
// `"depth": {...}, ` for the JSON object.
void PrintDepthJson(FILE* out, const RunDepth& d);

}  // namespace pyxbench

#endif  // PYXBENCH_DEPTH_H_
