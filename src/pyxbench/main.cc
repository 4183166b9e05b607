// pyxbench: runs a workload against a virtual disk through the pyxdriver
// library's C interface, as fio runs one against a block device.
//
// By default it starts the simulated cluster (pyxsim) in its own process,
// lets it write the driver's configuration, opens a disk and runs the
// workload; --config FILE opens a disk on the cluster that file names.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bvar/variable.h"
#include "job.h"
#include "options.h"
#include "output.h"
#include "processes.h"
#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "report.h"

namespace pyxbench {
namespace {

// The library names its event-loop threads so; their CPU is what the driver
// itself costs, apart from the host's threads that submit and poll.
const char kLibraryThreadPrefix[] = "pyx-event-";

// How many times the library's admission put an I/O in a driver's pending
// queue, where it waits for the queue's timer (polling_interval_ms): the
// sum of the drivers' "_pending_total" metrics, read in this process as any
// host carrying the library's metrics can.
uint64_t PendingWaits(int drivers) {
  uint64_t sum = 0;
  for (int i = 0; i < drivers; ++i) {
    const std::string v = bvar::Variable::describe_exposed("pyxdriver_worker" + std::to_string(i) +
                                                           "_pending_total");
    sum += strtoull(v.c_str(), nullptr, 10);
  }
  return sum;
}

double NowS() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Moves the calling thread to `cpus` (nothing when empty); threads it
// starts afterwards inherit the set. False when the kernel refuses it.
bool PinCallingThread(const std::vector<int>& cpus) {
  if (cpus.empty()) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int c : cpus) CPU_SET(c, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
}

void Sleep(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// A run that hangs (a lost completion the drain cannot see, a shut-down
// that never returns) must end anyway, with a word on what happened.
SimProcess* g_sim = nullptr;

void ArmWatchdog(double seconds) {
  std::thread([seconds] {
    Sleep(seconds);
    fprintf(Err(), "pyxbench: still running after %.0f s; giving up\n", seconds);
    fflush(Err());
    if (g_sim != nullptr && g_sim->pid() > 0) kill(g_sim->pid(), SIGKILL);
    _exit(3);
  }).detach();
}

JobCounts SumCounts(const std::vector<std::unique_ptr<Job>>& jobs) {
  JobCounts sum;
  for (const auto& j : jobs) sum += j->counts();
  return sum;
}

bool WaitJobs(const std::vector<std::unique_ptr<Job>>& jobs, Phase p, double timeout_s) {
  const double deadline = NowS() + timeout_s;
  for (;;) {
    bool all = true;
    for (const auto& j : jobs) all = all && j->reached() >= p;
    if (all) return true;
    if (NowS() >= deadline) return false;
    Sleep(0.002);
  }
}

void PrintProgress(double elapsed, const JobCounts& now, const JobCounts& last, double dt) {
  const double iops = (now.ios() - last.ios()) / dt;
  const double mib = ((now.read_bytes + now.write_bytes) - (last.read_bytes + last.write_bytes)) /
                     dt / (1 << 20);
  if (ErrIsTerminal()) {
    fprintf(Err(), "\r[%4.0fs] %9.0f IOPS %9.1f MiB/s  errors %llu  verify errors %llu\033[K",
            elapsed, iops, mib, static_cast<unsigned long long>(now.errors),
            static_cast<unsigned long long>(now.verify_errors));
  } else {
    fprintf(Err(), "[%4.0fs] %9.0f IOPS %9.1f MiB/s  errors %llu  verify errors %llu\n", elapsed,
            iops, mib, static_cast<unsigned long long>(now.errors),
            static_cast<unsigned long long>(now.verify_errors));
  }
  fflush(Err());
}

std::string MakeLogDir(const Options& o) {
  if (!o.log_dir.empty()) {
    mkdir(o.log_dir.c_str(), 0755);
    return o.log_dir;
  }
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/pyxbench.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

// Ends the run at once: the library's threads may be running, so no
// static destructors; the cluster's process is stopped first.
int Fail(const std::string& what) {
  fprintf(Err(), "pyxbench: %s\n", what.c_str());
  fflush(Err());
  if (g_sim != nullptr) g_sim->Stop();
  _exit(2);
}

// Random faults of a soak: every kind a sound driver survives without
// losing or corrupting data, with delays past the RPC timeout.
std::vector<std::string> FaultArgs(const Options& o, int64_t rpc_timeout_ms) {
  const int64_t delay = std::max<int64_t>(rpc_timeout_ms + rpc_timeout_ms / 2, 50);
  return {"--seed",        std::to_string(o.fault_seed),
          "--retcode",     "0.002",
          "--delay",       "0.0005",
          "--delay-ms",    std::to_string(delay),
          "--close",       "0.0003",
          "--interval-ms", std::to_string(o.fault_interval_ms),
          "--route-moves", "--restarts", "--failovers",
          "--down-ms",     "300"};
}

int Main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, &o, &error)) {
    if (error.empty()) return 0;
    fprintf(stderr, "pyxbench: %s\n", error.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  SaveStandardStreams();
  ArmWatchdog(o.runtime_s + o.ramp_time_s + 600);

  const std::string log_dir = MakeLogDir(o);
  if (log_dir.empty()) return Fail("cannot make a folder for the logs");
  const std::string ini_path = log_dir + "/driver.ini";

  // The driver's configuration: the cluster's, with pyxbench's settings.
  std::map<std::string, std::string> keys;
  if (o.crc >= 0) keys["is_crc"] = o.crc ? "Yes" : "No";
  if (o.rpc_timeout_ms > 0) keys["rpc_timeout"] = std::to_string(o.rpc_timeout_ms);
  if (o.drivers > 0) keys["worker_num"] = std::to_string(o.drivers);
  for (const auto& kv : o.ini_set) keys[kv.first] = kv.second;

  SimProcess sim;
  g_sim = &sim;
  std::string pyxsimctl;
  std::string base_ini;
  bool fresh_disk = false;
  if (o.config.empty()) {
    const uint64_t disk_size =
        o.disk_size != 0 ? o.disk_size : (o.offset + o.size + (1 << 20) - 1) / (1 << 20) * (1 << 20);
    const std::string sim_ini = log_dir + "/cluster.ini";
    const std::string path = FindProgram("pyxsim", o.pyxsim);
    std::vector<std::string> args = {"--ini",     sim_ini,
                                     "--disk",    o.disk + ":" + std::to_string(disk_size),
                                     "--bs",      std::to_string(o.block_servers),
                                     "--vm",      std::to_string(o.volume_managers),
                                     "--bm",      std::to_string(o.block_masters),
                                     "--threads", std::to_string(o.sim_threads)};
    if (!sim.Start(path, args, log_dir + "/pyxsim.out", 30, &error)) return Fail(error);
    if (!ReadFile(sim_ini, &base_ini)) return Fail("the cluster wrote no " + sim_ini);
    pyxsimctl = FindProgram("pyxsimctl", "");
    fresh_disk = true;
  } else {
    if (!ReadFile(o.config, &base_ini)) return Fail("cannot read " + o.config);
    if (o.faults) return Fail("--faults needs the cluster pyxbench starts (no --config)");
  }
  // Keep the driver's log out of the way of the results, unless the
  // configuration given says where it goes.
  if (keys.count("log_file") == 0 &&
      (o.config.empty() || base_ini.find("log_file") == std::string::npos)) {
    keys["asyn_log"] = "Yes";
    keys["log_file"] = log_dir + "/pyxdriver";
  }
  if (!WriteFile(ini_path, EditIni(base_ini, keys))) return Fail("cannot write " + ini_path);

  // Whatever the library writes to standard output or error before its log
  // file takes over goes to a file too, never into the results.
  RedirectStandardStreams(log_dir + "/stdio.log");
  // The library's threads start from this one and keep its CPU set; the
  // host's start later, after it has moved to theirs.
  cpu_set_t own_cpus;
  pthread_getaffinity_np(pthread_self(), sizeof(own_cpus), &own_cpus);
  if (!PinCallingThread(o.lib_cpus)) return Fail("cannot run on the CPUs of --lib-cpus");
  if (pyxhost::StartLibrary(ini_path) != 0) {
    return Fail("the library did not start (pyx_init_env failed; see " + log_dir + ")");
  }
  if (o.host_cpus.empty()) {
    pthread_setaffinity_np(pthread_self(), sizeof(own_cpus), &own_cpus);
  } else if (!PinCallingThread(o.host_cpus)) {
    return Fail("cannot run on the CPUs of --host-cpus");
  }
  const int drivers = get_cpus_size();
  std::unique_ptr<pyxhost::Disk> disk = pyxhost::Disk::Open(o.disk, 60);
  if (!disk->ok()) {
    return Fail("cannot open disk " + o.disk + ": " + disk->error() + " (logs in " + log_dir + ")");
  }
  if (disk->size() < o.offset + o.size) {
    return Fail("disk " + o.disk + " holds " + std::to_string(disk->size()) + " bytes, fewer than " +
                "--offset + --size");
  }

  JobControl control;
  control.drain_timeout_s = 60;
  std::vector<std::unique_ptr<Job>> jobs;
  const uint64_t per_job = o.size / o.numjobs / 4096 * 4096;
  for (int i = 0; i < o.numjobs; ++i) {
    jobs.emplace_back(new Job(i, o, disk.get(), &control, o.offset + per_job * i, per_job,
                              fresh_disk));
  }
  std::vector<std::thread> threads;
  for (auto& j : jobs) threads.emplace_back([&j] { j->Run(); });

  if (o.prefill) fprintf(Err(), "pyxbench: prefilling %llu MiB\n",
                         static_cast<unsigned long long>(o.size >> 20));
  WaitJobs(jobs, Phase::kPrefill, 3600);

  bool faults_on = false;
  if (o.faults) {
    std::string out;
    const int64_t timeout = o.rpc_timeout_ms > 0 ? o.rpc_timeout_ms : 10000;
    std::vector<std::string> args = {"--port", std::to_string(sim.control_port()),
                                     "random-faults"};
    for (const std::string& a : FaultArgs(o, timeout)) args.push_back(a);
    // A soak without its faults would prove nothing: stop here instead.
    if (RunTool(pyxsimctl, args, &out) != 0) {
      return Fail("could not start the random faults through " + pyxsimctl + ": " + out);
    }
    faults_on = true;
  }

  // Run: ramp, then the measured span with a progress line a second.
  control.phase.store(static_cast<int>(Phase::kRun), std::memory_order_release);
  if (o.ramp_time_s > 0) Sleep(o.ramp_time_s);
  Measure m;
  m.start_counts = SumCounts(jobs);
  m.cpu_start = SelfCpuSeconds();
  m.lib_cpu_start = ThreadsCpuSeconds(kLibraryThreadPrefix);
  m.sim_cpu_start = sim.CpuSeconds();
  m.pending_start = PendingWaits(drivers);
  m.pieces_start = pyxhost::TotalCounters().pieces_submitted;
  m.start_s = NowS();
  control.measuring.store(true);
  JobCounts last = m.start_counts;
  double last_s = m.start_s;
  for (;;) {
    const double now = NowS();
    const double left = m.start_s + o.runtime_s - now;
    if (left <= 0) break;
    Sleep(std::max(0.001, std::min(left, last_s + 1.0 - now)));
    const double t = NowS();
    if (t - last_s >= 0.999) {
      const JobCounts c = SumCounts(jobs);
      if (o.progress) PrintProgress(t - m.start_s, c, last, t - last_s);
      last = c;
      last_s = t;
    }
    bool failed = false;
    for (const auto& j : jobs) failed = failed || j->reached() >= Phase::kDrain;
    if (failed) break;
  }
  control.measuring.store(false);
  m.end_s = NowS();
  m.end_counts = SumCounts(jobs);
  m.cpu_end = SelfCpuSeconds();
  m.lib_cpu_end = ThreadsCpuSeconds(kLibraryThreadPrefix);
  m.sim_cpu_end = sim.CpuSeconds();
  m.pending_end = PendingWaits(drivers);
  m.pieces_end = pyxhost::TotalCounters().pieces_submitted;
  if (o.progress && ErrIsTerminal()) fprintf(Err(), "\n");

  control.phase.store(static_cast<int>(Phase::kDrain), std::memory_order_release);
  WaitJobs(jobs, Phase::kDrain, control.drain_timeout_s + 30);
  if (faults_on) {
    std::string out;
    RunTool(pyxsimctl, {"--port", std::to_string(sim.control_port()), "stop-random-faults"}, &out,
            120);
    // Its answer is the one line of counts.
    const size_t at = out.find("retcodes=");
    m.fault_stats = at == std::string::npos ? "(no answer)" : out.substr(at, out.find('\n', at) - at);
  }
  if (o.verify && o.verify_pass) fprintf(Err(), "pyxbench: reading everything back\n");
  control.phase.store(static_cast<int>(Phase::kVerify), std::memory_order_release);
  for (auto& t : threads) t.join();

  Report r;
  r.options = &o;
  r.drivers = drivers;
  r.measure = m;
  r.totals = SumCounts(jobs);
  for (const auto& j : jobs) {
    r.read_lat.Merge(j->read_latency());
    r.write_lat.Merge(j->write_latency());
    r.host += j->host_counters();
    if (!j->failure().empty()) r.failures.push_back(j->failure());
  }
  r.log_dir = log_dir;

  disk->Close();
  disk.reset();
  pyxhost::FinishLibrary();
  sim.Stop();
  g_sim = nullptr;

  if (o.json) {
    PrintJson(Out(), r);
  } else {
    PrintSummary(Out(), r);
  }
  fflush(Out());
  const bool clean = r.Clean();
  if (clean && !o.keep_logs && o.log_dir.empty()) {
    std::string out;
    RunTool("rm", {"-rf", log_dir}, &out);
  } else {
    fprintf(Err(), "pyxbench: logs kept in %s\n", log_dir.c_str());
  }
  return clean ? 0 : 1;
}

}  // namespace
}  // namespace pyxbench

int main(int argc, char** argv) { return pyxbench::Main(argc, argv); }
