// The end of a pyxbench run: a fio-like summary, or one JSON object.
// Rates and latencies are of the I/O that succeeded, as fio counts them;
// what failed is counted beside them.
#ifndef PYXBENCH_REPORT_H_
#define PYXBENCH_REPORT_H_

#include <cstdio>
#include <string>
#include <vector>

#include "depth.h"
#include "histogram.h"
#include "job.h"
#include "options.h"
#include "pyxhost/host.h"

namespace pyxbench {

// The measured span of a run.
struct Measure {
  double start_s = 0, end_s = 0;
  JobCounts start_counts, end_counts;
  double cpu_start = 0, cpu_end = 0;          // this process, user + system
  // The library's own threads (its event loops), user + system: the CPU the
  // driver costs its host, the host's submitting and polling threads aside.
  double lib_cpu_start = 0, lib_cpu_end = 0;
  double sim_cpu_start = 0, sim_cpu_end = 0;  // the cluster's process
  std::string fault_stats;                    // what the random faults did
  // The measured span began: false when the run stopped (or a job failed)
  // during the prefill or the ramp. Rates exist only over a measured span.
  bool measured = false;
  // The library's I/O (host I/O split at its stripe) submitted, and how
  // many times admission made one wait in a driver's pending queue.
  uint64_t pieces_start = 0, pieces_end = 0;
  uint64_t pending_start = 0, pending_end = 0;
  double seconds() const { return end_s - start_s; }
};

struct Report {
  const Options* options = nullptr;
  int drivers = 0;
  bool crc_on = false;  // is_crc as the driver's configuration had it
  uint64_t size = 0;    // bytes of --size the jobs covered (whole 4 KiB shares)
  // The cluster process died: the CPU it used in all (-1: it did not die).
  double cluster_died_cpu_s = -1;
  Measure measure;
  JobCounts totals;  // the whole run: prefill, workload, drain, read-back
  // Nanoseconds, of the I/O that succeeded and was issued (or completed)
  // in the measured span, whenever it completed.
  Histogram read_lat, write_lat;
  // The queue depth the jobs held over the measured span.
  RunDepth depth;
  pyxhost::Counters host;
  std::vector<std::string> failures;
  std::string log_dir;
  // Peak resident memory of this process, and the part --verify keeps.
  uint64_t max_rss_bytes = 0, verify_state_bytes = 0;
  // Why the run ended before its end ("" when it ran to it).
  std::string stopped;
  // The run was given up for a hang (nothing completed for the hang span):
  // what it measured until then, the I/O in flight counted lost.
  bool given_up = false;

  std::string run_id;  // with --verify: the id the run's blocks carry

  // I/O still in flight when the drain gave up (the channels count them too).
  uint64_t lost() const { return totals.lost > host.outstanding ? totals.lost : host.outstanding; }
  // Nothing lost, nothing completed twice, nothing corrupted, no errors.
  bool ChecksClean() const;
  // A run with --verify whose reads found no block that held: it checked
  // nothing (only never-written blocks, or nothing read).
  bool NothingVerified() const { return options->verify && totals.verified_bytes == 0; }
  // ... the run went to its end and, with --verify, verified something.
  bool Clean() const { return ChecksClean() && stopped.empty() && !NothingVerified(); }
};

void PrintSummary(FILE* out, const Report& r);
void PrintJson(FILE* out, const Report& r);

}  // namespace pyxbench

#endif  // PYXBENCH_REPORT_H_
