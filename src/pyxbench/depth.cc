#include "depth.h"

#include <dirent.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace pyxbench {

namespace {

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The thread ids of process `pid` ("self" for this one).
std::vector<pid_t> Threads(const std::string& pid) {
  std::vector<pid_t> tids;
  DIR* dir = opendir(("/proc/" + pid + "/task").c_str());
  if (dir == nullptr) return tids;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') tids.push_back(static_cast<pid_t>(atoi(e->d_name)));
  }
  closedir(dir);
  return tids;
}

// The run delay of a thread of process `pid` (nanoseconds waited on a run
// queue), -1 when unknown: the second figure of its schedstat.
int64_t RunDelayNs(const std::string& pid, pid_t tid) {
  std::istringstream in(ReadText("/proc/" + pid + "/task/" + std::to_string(tid) + "/schedstat"));
  long long on_cpu = 0, waited = -1;
  if (!(in >> on_cpu >> waited)) return -1;
  return waited;
}

std::string ThreadName(pid_t tid) {
  std::string name = ReadText("/proc/self/task/" + std::to_string(tid) + "/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

std::string Percent(double share) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%.1f%%", 100.0 * share);
  return buf;
}

void PrintBuckets(FILE* out, const DepthFigures& f) {
  for (int b = 0; b < kDepthBuckets; ++b) {
    fprintf(out, "%s%s=%s", b ? ", " : "", DepthBucketName(b), Percent(f.share[b]).c_str());
  }
}

void JsonFigures(FILE* out, const DepthFigures& f) {
  fprintf(out, "{\"mean\": %.2f, \"dist_pct\": {", f.mean);
  for (int b = 0; b < kDepthBuckets; ++b) {
    fprintf(out, "%s\"%s\": %.2f", b ? ", " : "", DepthBucketName(b), 100.0 * f.share[b]);
  }
  fprintf(out, "}}");
}

}  // namespace

int DepthBucketOf(uint32_t depth) {
  if (depth == 0) return 0;
  int b = 1;
  while (depth > 1 && b < kDepthBuckets - 1) {
    depth >>= 1;
    ++b;
  }
  return b;
}

const char* DepthBucketName(int bucket) {
  static const char* const kNames[kDepthBuckets] = {"0", "1", "2", "4", "8", "16", "32", ">=64"};
  return bucket >= 0 && bucket < kDepthBuckets ? kNames[bucket] : "?";
}

DepthMeter::DepthMeter() {
  for (auto& ns : ns_at_) ns.store(0, std::memory_order_relaxed);
}

void DepthMeter::Set(int64_t now_ns, uint32_t depth) {
  // One writer: its own fields need no read-modify-write, only the sequence
  // that tells a reader it raced with a change. The fields are stored with
  // release, so that a reader that sees any of them sees the odd sequence
  // stored before them too (on x86 these are plain stores).
  const uint32_t seq = seq_.load(std::memory_order_relaxed);
  seq_.store(seq + 1, std::memory_order_relaxed);
  const int64_t since = since_ns_.load(std::memory_order_relaxed);
  if (since != 0 && now_ns > since) {
    const uint32_t was = depth_.load(std::memory_order_relaxed);
    const int64_t dt = now_ns - since;
    depth_ns_.store(depth_ns_.load(std::memory_order_relaxed) + uint64_t{was} * dt,
                    std::memory_order_release);
    std::atomic<int64_t>& at = ns_at_[DepthBucketOf(was)];
    at.store(at.load(std::memory_order_relaxed) + dt, std::memory_order_release);
  }
  if (now_ns > since) since_ns_.store(now_ns, std::memory_order_release);
  depth_.store(depth, std::memory_order_release);
  seq_.store(seq + 2, std::memory_order_release);
}

DepthSample DepthMeter::Read() const {
  DepthSample s;
  int64_t since = 0;
  uint32_t depth = 0;
  for (;;) {
    const uint32_t seq = seq_.load(std::memory_order_acquire);
    if (seq & 1) {
      sched_yield();  // the writer is inside Set; a reader may wait, it never does
      continue;
    }
    // Acquire loads: the second look at the sequence cannot move before
    // them, and one that read a field of a later Set sees its odd sequence.
    since = since_ns_.load(std::memory_order_acquire);
    depth = depth_.load(std::memory_order_acquire);
    s.depth_ns = depth_ns_.load(std::memory_order_acquire);
    for (int b = 0; b < kDepthBuckets; ++b) s.ns_at[b] = ns_at_[b].load(std::memory_order_acquire);
    if (seq_.load(std::memory_order_relaxed) == seq) break;
  }
  s.at_ns = NowNs();
  if (since != 0 && s.at_ns > since) {
    const int64_t dt = s.at_ns - since;
    s.depth_ns += uint64_t{depth} * dt;
    s.ns_at[DepthBucketOf(depth)] += dt;
  }
  return s;
}

DepthFigures DepthBetween(const DepthSample& from, const DepthSample& to) {
  DepthFigures f;
  const int64_t ns = to.at_ns - from.at_ns;
  if (ns <= 0) return f;
  f.seconds = ns / 1e9;
  f.mean = static_cast<double>(to.depth_ns - from.depth_ns) / ns;
  for (int b = 0; b < kDepthBuckets; ++b) {
    f.share[b] = static_cast<double>(to.ns_at[b] - from.ns_at[b]) / ns;
  }
  return f;
}

CpuWait ReadCpuWait(const std::vector<pid_t>& job_tids) {
  CpuWait w;
  for (pid_t tid : Threads("self")) {
    const int64_t ns = RunDelayNs("self", tid);
    if (ns < 0) continue;
    w.known = true;
    w.all_ns += ns;
    if (std::find(job_tids.begin(), job_tids.end(), tid) != job_tids.end()) w.jobs_ns += ns;
  }
  return w;
}

CpuShare ReadCpuShare(const std::vector<pid_t>& job_tids, const std::string& library_prefix,
                      pid_t other) {
  CpuShare share;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  auto add_cpus = [&cpus](pid_t tid) {
    cpu_set_t set;
    if (sched_getaffinity(tid, sizeof(set), &set) != 0) return false;
    CPU_OR(&cpus, &cpus, &set);
    return true;
  };
  for (pid_t tid : job_tids) {
    if (add_cpus(tid)) ++share.job_threads;
  }
  for (pid_t tid : Threads("self")) {
    if (ThreadName(tid).compare(0, library_prefix.size(), library_prefix) == 0 && add_cpus(tid)) {
      ++share.library_threads;
    }
  }
  share.cpus = CPU_COUNT(&cpus);
  if (other > 0) {
    for (pid_t tid : Threads(std::to_string(other))) {
      cpu_set_t set, both;
      if (sched_getaffinity(tid, sizeof(set), &set) != 0) continue;
      CPU_AND(&both, &set, &cpus);
      if (CPU_COUNT(&both) > 0) ++share.other_threads;
    }
  }
  return share;
}

std::string CrowdedText(const CpuShare& s) {
  if (s.cpus == 0 || s.busy_threads() <= s.cpus) return "";
  std::string text = std::to_string(s.job_threads) + " job thread" + (s.job_threads == 1 ? "" : "s");
  text += (s.other_threads > 0 ? ", " : " and ") + std::string("the library's ") +
          std::to_string(s.library_threads) + " event loop" + (s.library_threads == 1 ? "" : "s");
  if (s.other_threads > 0) {
    text += " and the cluster's " + std::to_string(s.other_threads) + " thread" +
            (s.other_threads == 1 ? "" : "s");
  }
  return text + " share " + std::to_string(s.cpus) + " CPU" + (s.cpus == 1 ? "" : "s");
}

double RunDepth::JobsWaitShare() const {
  const double job_ns = seconds * 1e9 * static_cast<double>(jobs.size());
  return job_ns > 0 ? (wait.jobs_ns) / job_ns : 0;
}

std::string RunDepth::Note() const {
  if (!Short()) return "";
  const double asked = static_cast<double>(iodepth) * jobs.size();
  char text[512];
  snprintf(text, sizeof(text),
           "the jobs held %.1f I/O in flight on average, %.0f%% of the %.0f asked "
           "(--iodepth %d x %zu job%s)",
           all.mean, 100.0 * all.mean / asked, asked, iodepth, jobs.size(),
           jobs.size() == 1 ? "" : "s");
  std::string note = text;
  if (!wait.known) return note + "; whether its threads waited for a CPU is not known here";
  const double share = JobsWaitShare();
  const std::string crowd = CrowdedText(this->share);
  if (share >= kWaitCause) {
    snprintf(text, sizeof(text),
             "; likely cause: pyxbench's job threads waited for a CPU %.0f%% of the time "
             "(on average %.1f of its threads waited for one%s%s)",
             100.0 * share, seconds > 0 ? wait.all_ns / 1e9 / seconds : 0.0,
             crowd.empty() ? "" : "; ", crowd.c_str());
  } else {
    snprintf(text, sizeof(text), "; pyxbench's job threads waited for a CPU only %.0f%% of the time",
             100.0 * share);
  }
  return note + text;
}

RunDepth DepthOfRun(int iodepth, const std::vector<DepthSample>& from,
                    const std::vector<DepthSample>& to, const CpuWait& wait_from,
                    const CpuWait& wait_to, const CpuShare& share, bool measured) {
  RunDepth d;
  d.measured = measured;
  d.iodepth = iodepth;
  d.share = share;
  d.wait.known = wait_from.known && wait_to.known;
  d.wait.all_ns = std::max<int64_t>(0, wait_to.all_ns - wait_from.all_ns);
  d.wait.jobs_ns = std::max<int64_t>(0, wait_to.jobs_ns - wait_from.jobs_ns);
  double job_seconds = 0;
  for (size_t i = 0; i < from.size() && i < to.size(); ++i) {
    d.jobs.push_back(DepthBetween(from[i], to[i]));
    const DepthFigures& f = d.jobs.back();
    d.all.mean += f.mean;
    for (int b = 0; b < kDepthBuckets; ++b) d.all.share[b] += f.share[b] * f.seconds;
    job_seconds += f.seconds;
  }
  if (job_seconds > 0) {
    for (double& s : d.all.share) s /= job_seconds;
    d.seconds = d.all.seconds = job_seconds / d.jobs.size();
  }
  return d;
}

void PrintDepthSummary(FILE* out, const RunDepth& d) {
  if (!d.measured) return;
  const size_t n = d.jobs.size();
  fprintf(out, "  depth: %.1f of %d in flight per job on average", n ? d.all.mean / n : 0.0,
          d.iodepth);
  if (n > 1) fprintf(out, " (%.1f of %zu in all)", d.all.mean, d.iodepth * n);
  fprintf(out, "; IO depths: ");
  PrintBuckets(out, d.all);
  fprintf(out, "\n");
  if (n > 1) {
    for (size_t i = 0; i < n; ++i) {
      fprintf(out, "    job %zu: %.1f; ", i, d.jobs[i].mean);
      PrintBuckets(out, d.jobs[i]);
      fprintf(out, "\n");
    }
  }
  const std::string note = d.Note();
  if (!note.empty()) fprintf(out, "  depth: NOTE: %s\n", note.c_str());
}

void PrintDepthJson(FILE* out, const RunDepth& d) {
  fprintf(out, "\"depth\": ");
  if (!d.measured) {
    fprintf(out, "null, ");
    return;
  }
  fprintf(out, "{\"iodepth\": %d, \"all\": ", d.iodepth);
  JsonFigures(out, d.all);
  fprintf(out, ", \"jobs\": [");
  for (size_t i = 0; i < d.jobs.size(); ++i) {
    if (i) fprintf(out, ", ");
    JsonFigures(out, d.jobs[i]);
  }
  fprintf(out, "], \"short\": %s, ", d.Short() ? "true" : "false");
  if (d.wait.known) {
    fprintf(out, "\"jobs_cpu_wait_pct\": %.2f, \"threads_waiting_for_cpu\": %.3f, ",
            100.0 * d.JobsWaitShare(), d.seconds > 0 ? d.wait.all_ns / 1e9 / d.seconds : 0.0);
  } else {
    fprintf(out, "\"jobs_cpu_wait_pct\": null, \"threads_waiting_for_cpu\": null, ");
  }
  fprintf(out, "\"cpus\": %d, \"busy_threads\": %d, \"note\": ", d.share.cpus,
          d.share.busy_threads());
  const std::string note = d.Note();
  if (note.empty()) {
    fprintf(out, "null}, ");
  } else {
    fprintf(out, "\"%s\"}, ", note.c_str());  // plain text: no quote or backslash in it
  }
}

}  // namespace pyxbench
