// pyxbench: runs a workload against a virtual disk through the pyxdriver
// library's C interface, as fio runs one against a block device.
//
// By default it starts the simulated cluster (pyxsim) in its own process,
// lets it write the driver's configuration, opens a disk and runs the
// workload; --config FILE opens a disk on the cluster that file names.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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
#include "preflight.h"
#include "processes.h"
#include "pyxdriver/pyxdriver.h"
#include "pyxhost/host.h"
#include "report.h"
#include "verify.h"

namespace pyxbench {
namespace {

// How long a refused start waits for the library's log lines to land.
constexpr double kLibraryLogWaitS = 3;

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
// What a sudden end says on standard error: the log folder left behind.
// Set before the signal handlers may use it, read by them as it stands.
char g_left_behind[4096] = "";
int g_err_fd = STDERR_FILENO;

void SayLeftBehind() {
  const ssize_t n = write(g_err_fd, g_left_behind, strlen(g_left_behind));
  (void)n;
}

// Stops the cluster process pyxbench started, saying on standard error
// what takes time.
void StopCluster(SimProcess* sim) {
  sim->Stop([](const std::string& note) {
    fprintf(Err(), "pyxbench: %s\n", note.c_str());
    fflush(Err());
  });
}

// A run is given up when nothing completes for g_hang_s (PYXBENCH_HANG_S
// sets it) in any phase: the main thread marks every completion it sees
// (Alive), which moves the deadline to g_hang_s from then. A pass over a
// large range (minutes at --size 128g) is no hang while its I/O completes.
// Phases without I/O (start-up, shut-down, a request to the cluster) set
// their own span (Allow).
double g_hang_s = 600;
std::atomic<double> g_give_up_at{0};
std::atomic<double> g_last_alive_s{0};
// The phase the main thread is in, for the watchdog's message: a string
// literal, or one that lives as long as the process.
std::atomic<const char*> g_phase{"start-up"};

bool IoPhase(const char* phase) {
  return strcmp(phase, "start-up") != 0 && strcmp(phase, "shut-down") != 0;
}

void Alive() {
  const double now = NowS();
  g_last_alive_s.store(now);
  g_give_up_at.store(now + g_hang_s);
}

// Enters `phase`; the hang span still counts from the last completion (the
// drain waits for the run's I/O), or from when the jobs began.
void EnterPhase(const char* phase) { g_phase.store(phase); }

// The next `seconds` are no hang, whatever completes.
void Allow(double seconds) {
  const double now = NowS();
  g_last_alive_s.store(now);
  g_give_up_at.store(now + seconds);
}

// Who ends a run given up. In the I/O phases the main thread does, so that
// its summary says what ran (its loops look every few milliseconds); the
// watchdog does when the main thread cannot: blocked outside those loops,
// or in the shut-down, when it prints the results the main thread left.
enum GiveUp : int {
  kNotGivenUp = 0,
  kMainGivesUp = 1,
  kWatchdogGivesUp = 2,
  kReporting = 3,  // the main thread writes the results of a run that ended
};
std::atomic<int> g_give_up{kNotGivenUp};
double g_watch_start_s = 0;
// How long the main thread has for the summary of a run it gave up, and
// how long the watchdog waits for it to take a hang in an I/O phase.
constexpr double kGivenUpSummaryS = 60;
constexpr double kMainNoticesS = 2;
// The results of a run in its shut-down, for the watchdog to print when
// the shut-down hangs; owned by the watchdog once it gives up.
std::atomic<Report*> g_shut_down_report{nullptr};

// Says on standard error that the run is given up, and returns why, for
// its results.
std::string SayGivingUp() {
  const double now = NowS();
  const char* phase = g_phase.load();
  const double quiet = now - g_last_alive_s.load();
  char why[160];
  if (IoPhase(phase)) {
    snprintf(why, sizeof(why), "nothing completed for %.0f s during the %s", quiet, phase);
    fprintf(Err(), "pyxbench: %s; giving up (%.0f s after the start)\n", why,
            now - g_watch_start_s);
  } else {
    snprintf(why, sizeof(why), "the %s did not end within %.0f s", phase, quiet);
    fprintf(Err(), "pyxbench: %s; giving up\n", why);
  }
  fflush(Err());
  return std::string("given up: ") + why;
}

void PrintResults(const Report& r) {
  if (r.options->json) {
    PrintJson(Out(), r);
  } else {
    PrintSummary(Out(), r);
  }
}

[[noreturn]] void EndGivenUp() {
  fflush(Out());
  SayLeftBehind();
  if (g_sim != nullptr && g_sim->pid() > 0) kill(g_sim->pid(), SIGKILL);
  _exit(3);
}

void Watchdog() {
  for (;;) {
    for (double left; (left = g_give_up_at.load() - NowS()) > 0;) Sleep(std::min(left, 0.05));
    const int state = g_give_up.load();
    if (state == kReporting) return;  // the run ended; its results are being written
    if (state == kMainGivesUp) {
      // A bound on the summary of the run the main thread gave up.
      Sleep(kGivenUpSummaryS);
      fprintf(Err(), "pyxbench: the summary of the run given up did not come within %.0f s\n",
              kGivenUpSummaryS);
      fflush(Err());
      EndGivenUp();
    }
    if (IoPhase(g_phase.load())) {
      const double until = NowS() + kMainNoticesS;
      while (g_give_up.load() == kNotGivenUp && g_give_up_at.load() <= NowS() && NowS() < until) {
        Sleep(0.01);
      }
      // Taken by the main thread, or something completed after all.
      if (g_give_up.load() != kNotGivenUp || g_give_up_at.load() > NowS()) continue;
    }
    int expected = kNotGivenUp;
    if (!g_give_up.compare_exchange_strong(expected, kWatchdogGivesUp)) continue;
    const std::string why = SayGivingUp();
    if (Report* r = g_shut_down_report.load()) {
      r->given_up = true;
      r->stopped = r->stopped.empty() ? why : r->stopped + "; then " + why;
      PrintResults(*r);
    }
    EndGivenUp();
  }
}

void ArmWatchdog(double seconds) {
  g_watch_start_s = NowS();
  g_last_alive_s.store(g_watch_start_s);
  g_give_up_at.store(g_watch_start_s + seconds);
  std::thread(Watchdog).detach();
}

// The main thread's look at the hang span: true when it passed during an
// I/O phase and the main thread now gives the run up (said once).
bool MainGivesUp() {
  if (NowS() < g_give_up_at.load() || !IoPhase(g_phase.load())) return false;
  int expected = kNotGivenUp;
  return g_give_up.compare_exchange_strong(expected, kMainGivesUp);
}

// The first SIGINT or SIGTERM asks the run to stop in order (the main
// thread looks at g_signal); a second ends the process at once.
volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig) {
  if (g_signal == 0) {
    g_signal = sig;
    return;
  }
  static const char kNow[] = "\npyxbench: second signal: ending at once\n";
  const ssize_t n = write(g_err_fd, kNow, sizeof(kNow) - 1);
  (void)n;
  SayLeftBehind();
  if (g_sim != nullptr && g_sim->pid() > 0) kill(g_sim->pid(), SIGKILL);
  _exit(128 + sig);
}

void CatchStopSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

JobCounts SumCounts(const std::vector<std::unique_ptr<Job>>& jobs) {
  JobCounts sum;
  for (const auto& j : jobs) sum += j->counts();
  return sum;
}

std::vector<DepthSample> DepthSamples(const std::vector<std::unique_ptr<Job>>& jobs) {
  std::vector<DepthSample> samples;
  for (const auto& j : jobs) samples.push_back(j->depth().Read());
  return samples;
}

// The jobs' thread ids, once every job thread runs (at most timeout_s).
std::vector<pid_t> JobThreads(const std::vector<std::unique_ptr<Job>>& jobs, double timeout_s) {
  const double deadline = NowS() + timeout_s;
  std::vector<pid_t> tids;
  for (const auto& j : jobs) {
    while (j->tid() == 0 && NowS() < deadline) Sleep(0.001);
    if (j->tid() != 0) tids.push_back(j->tid());
  }
  return tids;
}

bool AllReached(const std::vector<std::unique_ptr<Job>>& jobs, Phase p) {
  for (const auto& j : jobs) {
    if (j->reached() < p) return false;
  }
  return true;
}

// A job that failed (the host refused an I/O) ends its run early.
bool AnyReached(const std::vector<std::unique_ptr<Job>>& jobs, Phase p) {
  for (const auto& j : jobs) {
    if (j->reached() >= p) return true;
  }
  return false;
}

// Why a run stopped before its end, watched for by the main thread at
// every wait: a stop signal, or the cluster process gone.
struct Stopper {
  const Options* o = nullptr;
  SimProcess* sim = nullptr;
  JobControl* control = nullptr;
  std::string log_dir;
  double rpc_timeout_s = 10;
  std::string phase = "start-up";
  int signal = 0;           // the stop signal taken
  std::string cluster_end;  // how the cluster process ended, when it did
  std::string given_up;     // why the run was given up for a hang, when it was

  // What the end takes after the drain: the library's and the cluster's
  // (a stopped cluster is killed at once).
  static constexpr double kShutDownS = 1;

  bool stopped() const { return signal != 0 || !cluster_end.empty() || !given_up.empty(); }
  // Looks once; true when the run must stop (said on standard error once).
  bool Check() {
    // A hang ends a drain that a stop made wait, too.
    if (given_up.empty() && control != nullptr && MainGivesUp()) {
      given_up = SayGivingUp();
      // The drain ends at once (whatever a stop before set it to wait).
      control->abandon.store(true, std::memory_order_release);
      control->stop.store(true, std::memory_order_release);
      return true;
    }
    if (stopped()) return true;
    std::string how;
    if (sim != nullptr && sim->Ended(&how)) {
      cluster_end = how;
      if (ErrIsTerminal()) fprintf(Err(), "\n");
      fprintf(Err(), "pyxbench: the cluster process (pyxsim) died during the %s: %s; its log: %s\n",
              phase.c_str(), how.c_str(), (log_dir + "/pyxsim.out").c_str());
      // Nothing will answer what is in flight.
      Cut(1.0);
      return true;
    }
    if (g_signal != 0) {
      signal = g_signal;
      if (ErrIsTerminal()) fprintf(Err(), "\n");
      if (control == nullptr) {
        // Nothing is in flight before the jobs start.
        fprintf(Err(), "pyxbench: %s during the %s: stopping (again to end at once)\n",
                SignalName(signal), phase.c_str());
      } else {
        fprintf(Err(),
                "pyxbench: %s during the %s: stopping; what is in flight may take up to %.0f s "
                "(again to end at once)\n",
                SignalName(signal), phase.c_str(), rpc_timeout_s + 1 + kShutDownS);
      }
      Cut(rpc_timeout_s + 1);
      return true;
    }
    return false;
  }
  void Cut(double drain_s) {
    if (control == nullptr) return;
    control->stop_drain_s = drain_s;
    control->stop.store(true, std::memory_order_release);
  }
  static const char* SignalName(int sig) {
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "signal";
  }
  std::string Describe() const {
    if (!given_up.empty()) {
      return signal != 0 ? std::string("interrupted by ") + SignalName(signal) + "; then " + given_up
                         : given_up;
    }
    if (!cluster_end.empty()) {
      return "the cluster process died during the " + phase + " (" + cluster_end + "; its log: " +
             log_dir + "/pyxsim.out)";
    }
    std::string text = std::string("interrupted by ") + SignalName(signal) + " during the " + phase;
    if (o->verify && o->verify_pass) {
      text += phase == "read-back" ? "; read-back pass cut short" : "; no read-back pass";
    }
    return text;
  }
};

// The progress line of a phase: seconds in it, rates over the last second
// and, for the passes over the whole range, how far they are. When nothing
// completes for a while it says so, and since when, once on its own line
// even with the progress line off.
struct Progress {
  static constexpr double kStallNoteS = 5;
  bool on = true;
  std::string phase;
  double start_s = 0, last_s = 0;
  double first_s = 0;      // when the jobs began their I/O
  double last_done_s = 0;  // when a completion was last seen
  bool stall_said = false;
  JobCounts last, at_start;
  uint64_t done = 0;
  uint64_t range = 0;  // bytes a pass covers (0: not a pass)
  bool drawn = false;

  // The jobs begin their I/O: what completes is counted from here on,
  // across the phases (the drain waits for the run's I/O).
  void Start() { first_s = last_done_s = NowS(); }
  void Begin(const std::string& name, const JobCounts& now, uint64_t pass_bytes) {
    phase = name;
    start_s = last_s = NowS();
    last = at_start = now;
    range = pass_bytes;
    stall_said = false;
  }
  // Notes completions (moving the watchdog's deadline) and draws the line.
  void Tick(const JobCounts& now) {
    if (g_give_up.load() != kNotGivenUp) return;  // said, and nothing more to draw
    const double t = NowS();
    if (now.completed() != done) {
      done = now.completed();
      last_done_s = t;
      stall_said = false;
      Alive();
    }
    if (!phase.empty() && !stall_said && t - last_done_s >= kStallNoteS) {
      stall_said = true;
      if (drawn && ErrIsTerminal()) fprintf(Err(), "\n");
      fprintf(Err(), "pyxbench: nothing has completed for %.0f s during the %s (%llu I/O in "
              "flight)\n", t - last_done_s, phase.c_str(),
              static_cast<unsigned long long>(now.in_flight()));
      fflush(Err());
      drawn = false;
    }
    if (!on || phase.empty() || t - last_s < 0.999) return;
    const double dt = t - last_s;
    const double iops = (now.ios() - last.ios()) / dt;
    const double mib =
        ((now.read_bytes + now.write_bytes) - (last.read_bytes + last.write_bytes)) / dt /
        (1 << 20);
    char done_pct[32] = "";
    if (range != 0) {
      const uint64_t bytes =
          (now.read_bytes + now.write_bytes) - (at_start.read_bytes + at_start.write_bytes);
      snprintf(done_pct, sizeof(done_pct), " %3.0f%%", std::min(100.0, 100.0 * bytes / range));
    }
    char stall[64] = "";
    if (t - last_done_s >= 1.5) {
      snprintf(stall, sizeof(stall), "  nothing completed for %.0f s", t - last_done_s);
    }
    fprintf(Err(), "%s[%4.0fs] %-9s%s %9.0f IOPS %9.1f MiB/s  errors %llu  verify errors %llu%s%s",
            ErrIsTerminal() ? "\r" : "", t - start_s, phase.c_str(), done_pct, iops, mib,
            static_cast<unsigned long long>(now.errors),
            static_cast<unsigned long long>(now.verify_errors), stall,
            ErrIsTerminal() ? "\033[K" : "\n");
    fflush(Err());
    drawn = true;
    last = now;
    last_s = t;
  }
  void End() {
    if (drawn && ErrIsTerminal()) fprintf(Err(), "\n");
    drawn = false;
    phase.clear();
  }
};

// Waits until every job reached `p` (false after timeout_s), watching for
// a stop and drawing the progress line.
bool WaitJobs(const std::vector<std::unique_ptr<Job>>& jobs, Phase p, double timeout_s,
              Stopper* stop, Progress* progress) {
  const double deadline = NowS() + timeout_s;
  for (;;) {
    if (AllReached(jobs, p)) return true;
    if (NowS() >= deadline) return false;
    stop->Check();
    progress->Tick(SumCounts(jobs));
    Sleep(0.005);
  }
}

// The folder for the logs: --log-dir (made when missing, its parent must
// exist), else a new temporary one. "" with `error` set when it cannot be.
std::string MakeLogDir(const Options& o, std::string* error) {
  if (!o.log_dir.empty()) {
    struct stat st;
    if (mkdir(o.log_dir.c_str(), 0755) != 0 &&
        !(errno == EEXIST && stat(o.log_dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      *error = "cannot make the log folder " + o.log_dir + " (--log-dir): " +
               (errno == EEXIST ? std::string("it is not a folder") : strerror(errno));
      return "";
    }
    return o.log_dir;
  }
  const char* tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/pyxbench.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    *error = "cannot make a folder for the logs in " + templ.substr(0, templ.rfind('/')) + ": " +
             strerror(errno);
    return "";
  }
  return buf.data();
}

// Ends the run at once: the library's threads may be running, so no
// static destructors; the cluster's process is stopped first. A cluster
// that died is what went wrong, whatever failed after it.
int Fail(const std::string& what, Stopper* stop = nullptr) {
  if (stop != nullptr && stop->Check() && !stop->cluster_end.empty()) {
    SayLeftBehind();
    _exit(4);
  }
  fprintf(Err(), "pyxbench: %s\n", what.c_str());
  fflush(Err());
  SayLeftBehind();
  if (g_sim != nullptr) StopCluster(g_sim);
  _exit(2);
}

// Ends pyxbench stopped during its start-up, before any I/O: at once, with
// 4 when the cluster died, else 128 + the signal.
[[noreturn]] void EndStartUp(const Stopper& stop) {
  fflush(Err());
  SayLeftBehind();
  if (!stop.cluster_end.empty()) _exit(4);
  if (g_sim != nullptr) StopCluster(g_sim);
  _exit(128 + stop.signal);
}

// The driver's rpc_timeout in milliseconds as an INI text sets it (its
// default otherwise).
int64_t IniRpcTimeoutMs(const std::string& ini) {
  const long long v = strtoll(IniValue(ini, "rpc_timeout").c_str(), nullptr, 10);
  return v > 0 ? v : 10000;
}

// Opens disk `name` on a thread of its own, so that a stop signal or the
// cluster's death during the bring-up (which waits for the cluster's
// answers) ends the wait at once: null then. Says on standard error when
// the cluster has not answered for a while, and when the driver gives up.
std::unique_ptr<pyxhost::Disk> OpenDisk(const std::string& name, double timeout_s,
                                        const std::string& driver_ini, Stopper* stop) {
  constexpr double kSlowS = 5;
  struct Opening {
    std::atomic<bool> done{false};
    std::unique_ptr<pyxhost::Disk> disk;
  };
  // Shared with the thread, which outlives a wait that gives up.
  auto opening = std::make_shared<Opening>();
  std::thread([opening, name, timeout_s] {
    opening->disk = pyxhost::Disk::Open(name, timeout_s);
    opening->done.store(true, std::memory_order_release);
  }).detach();
  const double start = NowS();
  bool slow_said = false;
  while (!opening->done.load(std::memory_order_acquire)) {
    if (stop->Check()) return nullptr;
    if (!slow_said && NowS() - start >= kSlowS) {
      slow_said = true;
      // Each step of the bring-up asks the volume managers in turn, each
      // for up to rpc_timeout; the driver gives up on a step none answers.
      const size_t managers = std::max<size_t>(1, VolumeManagers(driver_ini).size());
      const double step_s = IniRpcTimeoutMs(driver_ini) / 1000.0 * static_cast<double>(managers);
      fprintf(Err(),
              "pyxbench: opening disk %s: no answer from the cluster for %.0f s (%s); the driver "
              "gives up on a step none of them answers, each asked in turn for up to "
              "rpc_timeout: about %.0f s after it asked; pyxbench waits %.0f s at most (Ctrl-C "
              "stops)\n",
              name.c_str(), kSlowS, VolumeManagersText(driver_ini).c_str(), step_s, timeout_s);
      fflush(Err());
    }
    Sleep(0.01);
  }
  return std::move(opening->disk);
}

// Says on standard error that the cluster stopped answering, since when
// (the last completion the progress saw) and whether its volume managers
// still take connections: `never_back` I/O did not come back.
void SayClusterSilent(const Progress& progress, const std::string& driver_ini,
                      uint64_t never_back) {
  const double ago_s = NowS() - progress.last_done_s;
  const time_t when = time(nullptr) - static_cast<time_t>(ago_s + 0.5);
  tm utc;
  gmtime_r(&when, &utc);
  char since[16];
  strftime(since, sizeof(since), "%H:%M:%S", &utc);
  // A probe is no hang (a volume manager that drops connections takes its
  // whole timeout).
  Allow(std::max(g_hang_s, 30.0));
  const std::string unreachable = UnreachableVolumeManagers(driver_ini, 1);
  const std::string now = unreachable.empty() ? "its volume managers still take connections"
                                              : "now " + unreachable;
  fprintf(Err(),
          "pyxbench: the cluster stopped answering: nothing completed since %s UTC (%.1f s "
          "after the I/O began, %.0f s ago); %llu I/O never came back; %s\n",
          since, progress.last_done_s - progress.first_s, ago_s,
          static_cast<unsigned long long>(never_back), now.c_str());
  fflush(Err());
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

// Runs a verify state names at most, besides those its units still hold.
constexpr size_t kKeptRuns = 4096;

// Why a loaded verify state cannot be this run's ("" when it can): another
// disk, range or unit.
std::string VerifyStateMismatch(const VerifyStateFile& state, const Options& o, uint64_t size) {
  if (state.disk != o.disk) return "it is of disk " + state.disk + ", not " + o.disk + " (--disk)";
  if (state.offset != o.offset || state.size != size) {
    return "it is of --offset " + SizeText(state.offset) + " --size " + SizeText(state.size) +
           ", not --offset " + SizeText(o.offset) + " --size " + SizeText(size);
  }
  if (state.unit != VerifyUnit(o)) {
    return "its units are " + std::to_string(state.unit) + " bytes, this run's " +
           std::to_string(VerifyUnit(o)) +
           " (give the --bs, --bsrange and --blockalign of the runs that saved it)";
  }
  return "";
}

// Whether the driver checks CRCs as an INI text sets is_crc (off unless).
bool IniCrcOn(const std::string& ini) {
  std::string v = IniValue(ini, "is_crc");
  for (char& c : v) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return v == "yes" || v == "true" || v == "1" || v == "on";
}

// The cluster pyxbench started refuses writes past its memory budget,
// which shows in the results only as errors: says why, from its log.
// The cluster refuses writes past its memory budget, which shows in the
// results only as errors: say why, from the cluster's log or the driver's.
void SayClusterRefusals(const std::string& log_dir, const std::string& driver_ini,
                        bool started_cluster, const Report& r) {
  if (r.totals.errors == 0) return;
  const std::string why = RefusedWritesReason(log_dir, driver_ini, started_cluster);
  if (!why.empty()) fprintf(Err(), "pyxbench: the cluster refused writes: %s\n", why.c_str());
}

// Out() written in full: false (with errno's text in `error`) when the
// results could not be written (a full disk, a closed pipe).
bool FlushResults(std::string* error) {
  errno = 0;
  if (fflush(Out()) == 0 && !ferror(Out())) return true;
  *error = errno != 0 ? strerror(errno) : "write error";
  return false;
}

int Main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, &o, &error)) {
    if (error.empty()) {
      // --help: its text is the result.
      if (FlushResults(&error)) return 0;
      fprintf(stderr, "pyxbench: cannot write the usage: %s\n", error.c_str());
      return 1;
    }
    fprintf(stderr, "pyxbench: %s\n", error.c_str());
    return 2;
  }
  if (!ParseEnvironment(&o, &error)) {
    fprintf(stderr, "pyxbench: %s\n", error.c_str());
    return 2;
  }
  g_hang_s = o.hang_s;
  const uint64_t per_job = o.size / o.numjobs / 4096 * 4096;
  if (per_job * o.numjobs != o.size) {
    fprintf(stderr,
            "pyxbench: note: --size %s runs as %s: each of --numjobs %d takes whole 4 KiB blocks "
            "of its share\n",
            SizeText(o.size).c_str(), SizeText(per_job * o.numjobs).c_str(), o.numjobs);
  }
  // The verify state the run starts from, refused before anything starts
  // when it cannot be used.
  VerifyStateFile state;
  bool state_loaded = false;
  if (!o.verify_state.empty()) {
    std::string why;
    state_loaded = LoadVerifyState(o.verify_state, &state, &why);
    if (state_loaded) why = VerifyStateMismatch(state, o, per_job * o.numjobs);
    const bool missing = !state_loaded && state.units.empty() && why == "it does not exist";
    if (missing && !o.verify_only && HasWrites(o.rw)) {
      fprintf(stderr, "pyxbench: --verify-state %s does not exist: this run starts it\n",
              o.verify_state.c_str());
      state = VerifyStateFile();
    } else if (!why.empty()) {
      fprintf(stderr, "pyxbench: cannot use --verify-state %s: %s%s\n", o.verify_state.c_str(),
              why.c_str(), missing ? " (a run with writes and --verify-state starts it)" : "");
      return 2;
    }
  }
  // What the run will hold in memory, refused before anything starts when
  // the system cannot give it. The cluster it starts gets what is left as
  // its budget for written blocks.
  const MemoryNeed need = MemoryNeeded(o, per_job);
  const uint64_t avail = AvailableMemory();
  if (need.total() > avail) {
    fprintf(stderr, "pyxbench: %s\n", MemoryRefusal(o, need, avail).c_str());
    return 2;
  }
  // What the cluster pyxbench starts may hold of written blocks: the rest.
  const uint64_t cluster_budget = ClusterBlockBudget(avail - need.verify_state - need.buffers -
                                                     need.cluster_program);
  if (need.cluster != 0) {
    const std::string of =
        avail == ~0ull ? "" : ", of " + std::to_string(avail >> 20) + " MiB available";
    fprintf(stderr,
            "pyxbench: the cluster keeps what is written in memory: up to %llu MiB with its "
            "program's own%s\n",
            static_cast<unsigned long long>((need.cluster + need.cluster_program) >> 20),
            of.c_str());
  }
  std::string config_text;
  if (!o.config.empty()) {
    if (!ReadFile(o.config, &config_text)) {
      fprintf(stderr, "pyxbench: cannot read %s\n", o.config.c_str());
      return 2;
    }
    // As the driver will read it: with the keys --ini-set gives.
    const std::string problem = ConfigProblem(o.config, EditIni(config_text, o.ini_set));
    if (!problem.empty()) {
      fprintf(stderr, "pyxbench: %s\n", problem.c_str());
      return 2;
    }
  }
  std::string log_dir = MakeLogDir(o, &error);
  if (log_dir.empty()) {
    fprintf(stderr, "pyxbench: %s\n", error.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  SaveStandardStreams();
  g_err_fd = fileno(Err());
  CatchStopSignals();
  // The start-up has bounds of its own (the cluster's start, the disk's
  // bring-up); this one is for what has none.
  ArmWatchdog(std::max(g_hang_s, 120.0));

  snprintf(g_left_behind, sizeof(g_left_behind), "pyxbench: logs kept in %s\n", log_dir.c_str());
  const std::string ini_path = log_dir + "/driver.ini";

  // The driver's configuration: the cluster's, with pyxbench's settings.
  std::map<std::string, std::string> keys;
  if (o.crc >= 0) keys["is_crc"] = o.crc ? "Yes" : "No";
  if (o.rpc_timeout_ms > 0) keys["rpc_timeout"] = std::to_string(o.rpc_timeout_ms);
  if (o.drivers > 0) keys["worker_num"] = std::to_string(o.drivers);
  for (const auto& kv : o.ini_set) keys[kv.first] = kv.second;

  SimProcess sim;
  g_sim = &sim;
  JobControl control;
  // The drain gives up on what is in flight (counting it lost) before the
  // watchdog would give up the whole run, so that the summary says what ran.
  control.drain_timeout_s = std::min(60.0, g_hang_s / 2);
  Stopper stop;
  stop.o = &o;
  stop.log_dir = log_dir;
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
                                     "--threads", std::to_string(o.sim_threads),
                                     "--memory-budget", std::to_string(cluster_budget)};
    if (!sim.Start(path, args, log_dir + "/pyxsim.out", 30, &error,
                   [] { return g_signal != 0; })) {
      if (error.empty()) {
        stop.Check();
        SayLeftBehind();
        return 128 + stop.signal;
      }
      return Fail(error);
    }
    stop.sim = &sim;
    if (!ReadFile(sim_ini, &base_ini)) return Fail("the cluster wrote no " + sim_ini, &stop);
    pyxsimctl = FindProgram("pyxsimctl", "");
    fresh_disk = true;
  } else {
    base_ini = config_text;
  }
  // Keep the driver's log out of the way of the results, unless the
  // configuration given says where it goes. asyn_log No, when asked for,
  // stays: the driver then logs to standard output, which goes to
  // stdio.log in the log folder.
  if (keys.count("log_file") == 0 &&
      (o.config.empty() || base_ini.find("log_file") == std::string::npos)) {
    if (keys.count("asyn_log") == 0) keys["asyn_log"] = "Yes";
    keys["log_file"] = log_dir + "/pyxdriver";
  }
  const std::string driver_ini = EditIni(base_ini, keys);
  if (!WriteFile(ini_path, driver_ini)) return Fail("cannot write " + ini_path, &stop);
  stop.rpc_timeout_s = IniRpcTimeoutMs(driver_ini) / 1000.0;
  const std::string problem = ConfigProblem(ini_path, driver_ini);
  if (!problem.empty()) return Fail(problem, &stop);
  // A cluster that is not up would only show as a bring-up that fails
  // after its retries.
  const std::string unreachable = UnreachableVolumeManagers(driver_ini, 3);
  // A signal cuts a probe short: it is no unreachable cluster.
  if (stop.Check()) EndStartUp(stop);
  if (!unreachable.empty()) return Fail(unreachable + " (" + ini_path + ")", &stop);

  // Whatever the library writes to standard output or error before its log
  // file takes over goes to a file too, never into the results.
  RedirectStandardStreams(log_dir + "/stdio.log");
  // The library's threads start from this one and keep its CPU set; the
  // host's start later, after it has moved to theirs.
  cpu_set_t own_cpus;
  pthread_getaffinity_np(pthread_self(), sizeof(own_cpus), &own_cpus);
  if (!PinCallingThread(o.lib_cpus)) return Fail("cannot run on the CPUs of --lib-cpus", &stop);
  if (pyxhost::StartLibrary(ini_path) != 0) {
    // Until its log file takes over, the library logs to standard output:
    // what it said of a configuration it refused is still in the buffer.
    fflush(stdout);
    return Fail("the library did not start (pyx_init_env failed; see " + log_dir + "):" +
                    LibraryStartErrors(log_dir, driver_ini, kLibraryLogWaitS),
                &stop);
  }
  if (o.host_cpus.empty()) {
    pthread_setaffinity_np(pthread_self(), sizeof(own_cpus), &own_cpus);
  } else if (!PinCallingThread(o.host_cpus)) {
    pyxhost::FinishLibrary();  // its log written out
    return Fail("cannot run on the CPUs of --host-cpus", &stop);
  }
  const int drivers = get_cpus_size();
  // The bring-up asks the volume managers in turn, each within the RPC
  // timeout, in up to four steps; a cluster that answers takes far less.
  const double open_timeout_s = std::max(
      60.0, stop.rpc_timeout_s * VolumeManagers(driver_ini).size() * 4 + 10);
  Allow(open_timeout_s + 30);
  std::unique_ptr<pyxhost::Disk> disk = OpenDisk(o.disk, open_timeout_s, driver_ini, &stop);
  // Stopped while the disk opened: the bring-up's answers are not waited
  // for.
  if (disk == nullptr) EndStartUp(stop);
  if (!disk->ok() || disk->size() < o.offset + o.size) {
    std::string why;
    if (!disk->ok()) {
      // The library's log says more; it is written out when the library
      // ends.
      const std::string said = disk->error();
      disk.reset();
      pyxhost::FinishLibrary();
      std::string reason = DriverLogReason(log_dir, o.disk, driver_ini);
      if (reason.empty() && said == "timeout") {
        reason = "the cluster did not answer within " +
                 std::to_string(static_cast<int>(open_timeout_s)) + " s (" +
                 VolumeManagersText(driver_ini) + ")";
      }
      why = "cannot open disk " + o.disk + ": " + (reason.empty() ? said : reason) +
            " (logs in " + log_dir + ")";
    } else {
      why = "disk " + o.disk + " holds " + SizeText(disk->size()) + ", fewer than --offset " +
            SizeText(o.offset) + " + --size " + SizeText(o.size);
      disk->Close();
      disk.reset();
      pyxhost::FinishLibrary();
    }
    return Fail(why, &stop);
  }

  // A stop taken while starting (nothing in flight yet) ends the jobs
  // before they begin.
  stop.Check();
  stop.control = &control;
  if (stop.stopped()) stop.Cut(stop.cluster_end.empty() ? stop.rpc_timeout_s + 1 : 1.0);
  const uint64_t run_id = NewRunId();
  const uint64_t job_units = o.verify ? (per_job + VerifyUnit(o) - 1) / VerifyUnit(o) : 0;
  if (o.verify) {
    if (state_loaded && state.disk_size != disk->size()) {
      const std::string why = "cannot use --verify-state " + o.verify_state +
                              ": it is of a disk of " + std::to_string(state.disk_size) +
                              " bytes; disk " + o.disk + " holds " + std::to_string(disk->size());
      disk->Close();
      disk.reset();
      pyxhost::FinishLibrary();
      return Fail(why, &stop);
    }
    if (!state_loaded) {
      // A disk the cluster made for this run reads back zeros; one that was
      // there before holds what it holds, so nothing is known until written.
      state.disk = o.disk;
      state.offset = o.offset;
      state.size = per_job * o.numjobs;
      state.unit = VerifyUnit(o);
      state.units.assign(job_units * o.numjobs, fresh_disk ? kNeverWritten : kUnknown);
    }
    state.disk_size = disk->size();
    if (!o.verify_only) state.lineage.Add(run_id, state.next_number);
    // A run that writes takes the state out of use until it saves it at
    // its end: should it end at once (a second signal, given up, killed),
    // the next run is told what it wrote is unknown instead of finding
    // its blocks as mismatches.
    std::string why;
    if (!o.verify_state.empty() && !o.verify_only && (HasWrites(o.rw) || o.prefill) &&
        !SaveVerifyState(o.verify_state, state, &why, true)) {
      disk->Close();
      disk.reset();
      pyxhost::FinishLibrary();
      return Fail("cannot use --verify-state " + o.verify_state + ": " + why, &stop);
    }
  }
  std::vector<std::unique_ptr<Job>> jobs;
  for (int i = 0; i < o.numjobs; ++i) {
    JobVerify jv;
    jv.run_id = run_id;
    jv.lineage = &state.lineage;
    jv.units = o.verify ? state.units.data() + job_units * i : nullptr;
    jv.first_number = o.verify_only ? 1 : state.next_number;
    jv.read_all = o.verify_only && !state_loaded;
    jobs.emplace_back(new Job(i, o, disk.get(), &control, o.offset + per_job * i, per_job, jv));
  }
  std::vector<std::thread> threads;
  for (auto& j : jobs) threads.emplace_back([&j] { j->Run(); });

  // More threads busy with the I/O than CPUs to run them: they take turns,
  // and the depth the jobs hold may fall short of --iodepth.
  const std::vector<pid_t> job_tids = JobThreads(jobs, 10);
  const CpuShare cpu_share = ReadCpuShare(job_tids, kLibraryThreadPrefix, sim.pid());
  const std::string crowded = CrowdedText(cpu_share);
  if (!crowded.empty()) {
    fprintf(Err(), "pyxbench: note: %s: they take turns on them, and the I/O in flight may fall "
            "short of --iodepth (the summary's depth line says how far)\n", crowded.c_str());
  }
  Progress progress;
  progress.on = o.progress;
  progress.Start();
  EnterPhase("prefill");
  Alive();
  if (o.prefill && !stop.stopped()) {
    fprintf(Err(), "pyxbench: prefilling %s\n", SizeText(per_job * o.numjobs).c_str());
    stop.phase = "prefill";
    progress.Begin("prefill", SumCounts(jobs), per_job * o.numjobs);
  }
  WaitJobs(jobs, Phase::kPrefill, 30 * 86400, &stop, &progress);
  progress.End();

  bool faults_on = false;
  if (o.faults && !o.verify_only && !stop.stopped()) {
    std::string out;
    const int64_t timeout = o.rpc_timeout_ms > 0 ? o.rpc_timeout_ms : 10000;
    std::vector<std::string> args = {"--port", std::to_string(sim.control_port()),
                                     "random-faults"};
    for (const std::string& a : FaultArgs(o, timeout)) args.push_back(a);
    Allow(std::max(g_hang_s, 70.0));
    // A soak without its faults would prove nothing: stop here instead.
    if (RunTool(pyxsimctl, args, &out) != 0) {
      return Fail("could not start the random faults through " + pyxsimctl + ": " + out, &stop);
    }
    faults_on = true;
    Alive();
  }

  // Run: ramp, then the measured span, with a progress line a second; its
  // span counts from here, however long the prefill took.
  if (!stop.stopped() && !o.verify_only) {
    control.phase.store(static_cast<int>(Phase::kRun), std::memory_order_release);
  }
  if (o.ramp_time_s > 0 && !o.verify_only && !stop.stopped()) {
    EnterPhase("ramp");
    stop.phase = "ramp";
    progress.Begin("ramp", SumCounts(jobs), 0);
    const double end = NowS() + o.ramp_time_s;
    while (NowS() < end && !stop.Check() && !AnyReached(jobs, Phase::kDrain)) {
      Sleep(std::min(0.02, std::max(0.0, end - NowS())));
      progress.Tick(SumCounts(jobs));
    }
    progress.End();
  }
  Measure m;
  // Rates are only ever computed over a span the run measured: none when
  // it stopped (or a job failed) before the measured span began, nor for a
  // prefill alone (--runtime 0).
  m.measured =
      !stop.Check() && !AnyReached(jobs, Phase::kDrain) && o.runtime_s > 0 && !o.verify_only;
  // Latencies are taken from here on, before the counts the rates start
  // from: every I/O the rates count has its latency counted too.
  control.measuring.store(m.measured);
  m.start_counts = SumCounts(jobs);
  m.cpu_start = SelfCpuSeconds();
  m.lib_cpu_start = ThreadsCpuSeconds(kLibraryThreadPrefix);
  m.sim_cpu_start = sim.CpuSeconds();
  m.pending_start = PendingWaits(drivers);
  m.pieces_start = pyxhost::TotalCounters().pieces_submitted;
  m.start_s = NowS();
  const std::vector<DepthSample> depth_start = DepthSamples(jobs);
  const CpuWait wait_start = ReadCpuWait(job_tids);
  if (m.measured) {
    EnterPhase("run");
    stop.phase = "run";
    progress.Begin("run", m.start_counts, 0);
    for (;;) {
      const double left = m.start_s + o.runtime_s - NowS();
      if (left <= 0 || stop.Check() || AnyReached(jobs, Phase::kDrain)) break;
      Sleep(std::min(left, 0.02));
      progress.Tick(SumCounts(jobs));
    }
    progress.End();
  }
  control.measuring.store(false);
  const std::vector<DepthSample> depth_end = DepthSamples(jobs);
  const CpuWait wait_end = ReadCpuWait(job_tids);
  if (m.measured) {
    m.end_s = NowS();
    m.end_counts = SumCounts(jobs);
  } else {
    m.end_s = m.start_s;
    m.end_counts = m.start_counts;
  }
  m.cpu_end = SelfCpuSeconds();
  m.lib_cpu_end = ThreadsCpuSeconds(kLibraryThreadPrefix);
  m.sim_cpu_end = sim.CpuSeconds();
  m.pending_end = PendingWaits(drivers);
  m.pieces_end = pyxhost::TotalCounters().pieces_submitted;

  control.phase.store(static_cast<int>(Phase::kDrain), std::memory_order_release);
  EnterPhase("drain");
  if (!stop.stopped()) stop.phase = "drain";
  progress.Begin("drain", SumCounts(jobs), 0);
  const bool drained = WaitJobs(jobs, Phase::kDrain, control.drain_timeout_s + 30, &stop, &progress);
  progress.End();
  // Each large I/O counts once, however many pieces the host saw of it.
  const JobCounts drain_sum = SumCounts(jobs);
  const uint64_t never_back = drain_sum.lost != 0 ? drain_sum.lost
                              : drained           ? 0
                                                  : drain_sum.in_flight();
  // I/O the drain gave up on, with no death or hang said for it already.
  if (never_back != 0 && stop.cluster_end.empty() && stop.given_up.empty()) {
    SayClusterSilent(progress, driver_ini, never_back);
  }
  if (faults_on && !stop.Check()) {
    std::string out;
    Allow(std::max(g_hang_s, 130.0));
    RunTool(pyxsimctl, {"--port", std::to_string(sim.control_port()), "stop-random-faults"}, &out,
            120);
    Alive();
    // Its answer is the one line of counts.
    const size_t at = out.find("retcodes=");
    m.fault_stats = at == std::string::npos ? "(no answer)" : out.substr(at, out.find('\n', at) - at);
  }
  if (o.verify && o.verify_pass && !stop.Check()) {
    // The read-back runs only over a range whose writes all ended: the
    // jobs skip it after a lost I/O or a failure, and it is said so.
    bool failed = false;
    for (const auto& j : jobs) failed = failed || (drained && !j->failure().empty());
    if (!drained || never_back != 0) {
      fprintf(Err(), "pyxbench: no read-back: %llu I/O never completed in the drain\n",
              static_cast<unsigned long long>(never_back));
    } else if (failed) {
      fprintf(Err(), "pyxbench: no read-back: a job failed (see the summary)\n");
    } else {
      // What this run wrote (the prefill too), not all of --size: a
      // read-only run over a large disk has nothing to read back.
      uint64_t back = 0;
      for (const auto& j : jobs) back += j->read_back_bytes();
      const std::string what =
          !o.verify_only ? (o.prefill ? "what the prefill and the run wrote" : "what the run wrote")
          : state_loaded ? "what " + o.verify_state + " says was written"
                         : "all of --size";
      if (back == 0) {
        fprintf(Err(), "pyxbench: no read-back: %s\n",
                o.verify_only ? (o.verify_state + " says nothing was written").c_str()
                              : "nothing was written");
      } else {
        control.read_back.store(true, std::memory_order_release);
        fprintf(Err(), "pyxbench: reading back %.1f MiB (%s)\n", back / double(1 << 20),
                what.c_str());
        EnterPhase("read-back");
        stop.phase = "read-back";
        progress.Begin("read-back", SumCounts(jobs), back);
      }
    }
  }
  control.phase.store(static_cast<int>(Phase::kVerify), std::memory_order_release);
  WaitJobs(jobs, Phase::kDone, 30 * 86400, &stop, &progress);
  progress.End();
  for (auto& t : threads) t.join();
  const uint64_t listed = control.Listed();
  const uint64_t wrong = SumCounts(jobs).mismatched_blocks;
  if (wrong > listed) {
    fprintf(Err(), "pyxbench: %llu more mismatched blocks not listed (%llu listed above)\n",
            static_cast<unsigned long long>(wrong - listed),
            static_cast<unsigned long long>(listed));
  }
  std::string state_failure;
  if (!o.verify_state.empty() && !o.verify_only) {
    for (const auto& j : jobs) state.next_number = std::max(state.next_number, j->next_number());
    // The runs are kept for what their numbers tell of an older write,
    // those no unit holds any more only while they are few.
    if (state.lineage.runs().size() > kKeptRuns) state.lineage.Prune(state.units);
    std::string why;
    if (SaveVerifyState(o.verify_state, state, &why)) {
      fprintf(Err(), "pyxbench: verify state saved to %s (run %s)\n", o.verify_state.c_str(),
              RunIdText(run_id).c_str());
    } else {
      state_failure = "the verify state was not saved: " + why;
      fprintf(Err(), "pyxbench: %s\n", state_failure.c_str());
    }
  }
  // The shut-down's own span: the library's end, the cluster's (which waits
  // up to 30 s before it kills it).
  g_phase.store("shut-down");
  Allow(std::max(g_hang_s, 60.0));

  Report r;
  r.options = &o;
  r.drivers = drivers;
  r.crc_on = IniCrcOn(driver_ini);
  r.size = per_job * o.numjobs;
  r.measure = m;
  r.depth = DepthOfRun(o.iodepth, depth_start, depth_end, wait_start, wait_end, cpu_share,
                       m.measured);
  r.totals = SumCounts(jobs);
  for (const auto& j : jobs) {
    r.read_lat.Merge(j->read_latency());
    r.write_lat.Merge(j->write_latency());
    r.host += j->host_counters();
    if (!j->failure().empty()) r.failures.push_back(j->failure());
  }
  if (!state_failure.empty()) r.failures.push_back(state_failure);
  if (o.verify) r.run_id = RunIdText(run_id);
  r.log_dir = log_dir;
  r.verify_state_bytes = need.verify_state;
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  r.max_rss_bytes = static_cast<uint64_t>(ru.ru_maxrss) << 10;
  if (!stop.given_up.empty()) {
    // Given up: what was measured, with what never came back counted lost;
    // the library and the cluster are not waited for.
    r.given_up = true;
    r.stopped = stop.Describe();
    SayClusterRefusals(log_dir, driver_ini, fresh_disk, r);
    PrintResults(r);
    if (!FlushResults(&error)) {
      fprintf(Err(), "pyxbench: cannot write the results: %s\n", error.c_str());
    }
    EndGivenUp();
  }
  // Should the shut-down hang, the watchdog prints these results.
  stop.Check();
  Report* shut_down_report = new Report(r);
  if (stop.stopped()) shut_down_report->stopped = stop.Describe();
  g_shut_down_report.store(shut_down_report);

  disk->Close();
  disk.reset();
  pyxhost::FinishLibrary();
  stop.Check();
  if (stop.stopped()) r.stopped = stop.Describe();
  g_sim = nullptr;
  StopCluster(&sim);
  if (!stop.cluster_end.empty()) r.cluster_died_cpu_s = sim.CpuSeconds();
  SayClusterRefusals(log_dir, driver_ini, fresh_disk, r);

  int expected = kNotGivenUp;
  if (!g_give_up.compare_exchange_strong(expected, kReporting)) {
    // The watchdog gave the shut-down up and prints the results.
    for (;;) Sleep(1);
  }
  PrintResults(r);
  // Results that did not reach their file are no results: `pyxbench --json
  // > r.json && next` must not go on with an empty file.
  const bool written = FlushResults(&error);
  if (!written) fprintf(Err(), "pyxbench: cannot write the results: %s\n", error.c_str());
  const bool clean = r.Clean() && written;
  if (clean && !o.keep_logs && o.log_dir.empty()) {
    std::string out;
    RunTool("rm", {"-rf", log_dir}, &out);
  } else {
    SayLeftBehind();
  }
  const int code = !stop.cluster_end.empty()                         ? 4
                   : stop.signal != 0                                ? 128 + stop.signal
                   : clean                                           ? 0
                   : written && r.ChecksClean() && r.stopped.empty() ? 5
                                                                     : 1;
  // A channel with I/O still in flight left its records to the library on
  // purpose: end without the exit-time leak check counting them.
  if (r.lost() != 0) {
    fflush(nullptr);
    _exit(code);
  }
  return code;
}

}  // namespace
}  // namespace pyxbench

int main(int argc, char** argv) {
  try {
    return pyxbench::Main(argc, argv);
  } catch (const std::bad_alloc&) {
    fprintf(pyxbench::Err(), "pyxbench: out of memory\n");
    pyxbench::SayLeftBehind();
    if (pyxbench::g_sim != nullptr) pyxbench::StopCluster(pyxbench::g_sim);
    _exit(2);
  }
}
