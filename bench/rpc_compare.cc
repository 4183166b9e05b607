// bench_rpc_compare: echo calls (4 KiB request, 64-byte answer) over
// 127.0.0.1 through every registered RPC system, at 1 and at 32 calls in
// flight, printed as one table: calls/s, latency percentiles and CPU seconds
// per 100 000 calls on each side; then the framework's ratios against gRPC
// and the socket floors when framework rows are registered.
//
// Each server runs in a child process (this program re-executed with
// --serve=NAME), so its CPU time is its own; the child reports
// getrusage(RUSAGE_SELF) over a control socket before and after every
// measured run. The client's CPU time is this process's getrusage deltas.
//
// Options (environment variables in brackets):
//   --calls=N     calls per measured run [RPC_COMPARE_CALLS], default 100000
//   --seconds=S   time cap per measured run [RPC_COMPARE_SECONDS], default 3
//   --warmup=N    unmeasured calls before each run, default 2000
//   --depths=1,32 calls in flight to measure
//   --only=a,b    run only the named systems [RPC_COMPARE_ONLY]
//   --list        print the registered systems
// gRPC server threads: RPC_COMPARE_GRPC_SERVER_THREADS (default 1).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "rpc_compare/system_under_test.h"

extern char** environ;

namespace rpc_compare {

std::vector<SystemFactory>& Registry() {
  static std::vector<SystemFactory> factories;
  return factories;
}

namespace {

struct Options {
  uint64_t calls = 100000;
  double seconds = 3.0;
  uint64_t warmup = 2000;
  std::vector<int> depths{1, 32};
  std::vector<std::string> only;
  bool list = false;
  std::string serve;  // server mode: the system to serve
  int ctl_fd = -1;    // server mode: the control socket
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

bool ParseOptions(int argc, char** argv, Options* opt) {
  if (const char* env = getenv("RPC_COMPARE_CALLS")) opt->calls = strtoull(env, nullptr, 10);
  if (const char* env = getenv("RPC_COMPARE_SECONDS")) opt->seconds = atof(env);
  if (const char* env = getenv("RPC_COMPARE_ONLY")) opt->only = Split(env);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value = arg.find('=') == std::string::npos ? "" : arg.substr(arg.find('=') + 1);
    if (arg.rfind("--calls=", 0) == 0) {
      opt->calls = strtoull(value.c_str(), nullptr, 10);
    } else if (arg.rfind("--seconds=", 0) == 0) {
      opt->seconds = atof(value.c_str());
    } else if (arg.rfind("--warmup=", 0) == 0) {
      opt->warmup = strtoull(value.c_str(), nullptr, 10);
    } else if (arg.rfind("--depths=", 0) == 0) {
      opt->depths.clear();
      for (const std::string& d : Split(value)) opt->depths.push_back(atoi(d.c_str()));
    } else if (arg.rfind("--only=", 0) == 0) {
      opt->only = Split(value);
    } else if (arg == "--list") {
      opt->list = true;
    } else if (arg.rfind("--serve=", 0) == 0) {
      opt->serve = value;
    } else if (arg.rfind("--ctl-fd=", 0) == 0) {
      opt->ctl_fd = atoi(value.c_str());
    } else if (arg.rfind("--benchmark_", 0) == 0) {
      // The bench runner hands Google Benchmark flags to every program.
    } else {
      fprintf(stderr, "unknown option %s\n", arg.c_str());
      return false;
    }
  }
  for (int d : opt->depths) {
    if (d < 1) {
      fprintf(stderr, "depths must be at least 1\n");
      return false;
    }
  }
  return opt->calls > 0 && opt->seconds > 0;
}

std::unique_ptr<SystemUnderTest> MakeSystem(const std::string& name) {
  for (const SystemFactory& factory : Registry()) {
    std::unique_ptr<SystemUnderTest> system = factory();
    if (system->Name() == name) return system;
  }
  return nullptr;
}

bool WriteFull(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Reads len bytes, giving up after timeout_ms without progress.
bool ReadFull(int fd, void* data, size_t len, int timeout_ms) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    pollfd pfd = {fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int64_t CpuMicros(const rusage& usage) {
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

int64_t SelfCpuMicros() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return CpuMicros(usage);
}

// Control protocol, one byte per command: 'u' is answered with the server
// process's CPU microseconds (int64); 'q' (or the benchmark going away)
// stops the server and ends the process.
int ServerMain(const Options& opt) {
  std::unique_ptr<SystemUnderTest> system = MakeSystem(opt.serve);
  int32_t port = system ? system->StartServer() : -1;
  if (!WriteFull(opt.ctl_fd, &port, sizeof(port)) || port < 0) _exit(1);
  for (;;) {
    char command = 'q';
    if (::read(opt.ctl_fd, &command, 1) != 1 || command == 'q') break;
    if (command == 'u') {
      int64_t cpu = SelfCpuMicros();
      if (!WriteFull(opt.ctl_fd, &cpu, sizeof(cpu))) break;
    }
  }
  system->StopServer();
  // Server threads may still be parked in their loops; leave them to the exit.
  _exit(0);
}

// The benchmark side of one server child.
class ServerProcess {
 public:
  ~ServerProcess() { Stop(); }

  // Returns the server's port, or -1.
  int Start(const std::string& name) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -1;
    ctl_ = fds[0];
    ::fcntl(ctl_, F_SETFD, FD_CLOEXEC);
    std::string serve = "--serve=" + name;
    std::string ctl = "--ctl-fd=" + std::to_string(fds[1]);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, &serve[0], &ctl[0], nullptr};
    // posix_spawn, not fork: no fork handlers run in a process whose gRPC
    // threads are alive.
    int rc = ::posix_spawn(&pid_, exe, nullptr, nullptr, argv, environ);
    ::close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      return -1;
    }
    int32_t port = -1;
    if (!ReadFull(ctl_, &port, sizeof(port), 10000)) return -1;
    return port;
  }

  // CPU microseconds the server has used so far, or -1.
  int64_t CpuMicros() {
    int64_t cpu = -1;
    char command = 'u';
    if (!WriteFull(ctl_, &command, 1) || !ReadFull(ctl_, &cpu, sizeof(cpu), 10000)) return -1;
    return cpu;
  }

  void Stop() {
    if (ctl_ >= 0) {
      char command = 'q';
      WriteFull(ctl_, &command, 1);
      ::close(ctl_);
      ctl_ = -1;
    }
    if (pid_ > 0) {
      // Give the server a few seconds to leave, then end it.
      for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          return;
        }
        ::usleep(10000);
      }
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  int ctl_ = -1;
  pid_t pid_ = -1;
};

struct Row {
  std::string system;
  Role role;
  int depth = 0;
  uint64_t calls = 0;
  uint64_t failures = 0;
  double seconds = 0;
  double calls_per_s = 0;
  double p50_us = 0;
  double p99_us = 0;
  double client_cpu_per_100k = 0;
  double server_cpu_per_100k = -1;
  std::string error;
};

double PercentileUs(std::vector<uint32_t>* ns, double q) {
  if (ns->empty()) return 0;
  size_t index = std::min(ns->size() - 1, static_cast<size_t>(q * ns->size()));
  std::nth_element(ns->begin(), ns->begin() + index, ns->end());
  return (*ns)[index] / 1000.0;
}

Row Measure(SystemUnderTest* system, ServerProcess* server, int depth, const Options& opt) {
  Row row;
  row.system = system->Name();
  row.role = system->role();
  row.depth = depth;

  ClientRun warmup{depth, opt.warmup, Clock::now() + std::chrono::seconds(1)};
  if (opt.warmup > 0) system->RunClient(warmup);

  int64_t server_before = server->CpuMicros();
  int64_t client_before = SelfCpuMicros();
  Clock::time_point start = Clock::now();
  ClientRun run{depth, opt.calls,
                start + std::chrono::microseconds(static_cast<int64_t>(opt.seconds * 1e6))};
  ClientResult result = system->RunClient(run);
  row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int64_t client_cpu = SelfCpuMicros() - client_before;
  int64_t server_after = server->CpuMicros();

  row.calls = result.calls;
  row.failures = result.failures;
  row.error = result.error;
  if (row.calls > 0 && row.seconds > 0) {
    row.calls_per_s = row.calls / row.seconds;
    row.client_cpu_per_100k = client_cpu / 1e6 / row.calls * 1e5;
    if (server_before >= 0 && server_after >= 0) {
      row.server_cpu_per_100k = (server_after - server_before) / 1e6 / row.calls * 1e5;
    }
  }
  row.p50_us = PercentileUs(&result.latency_ns, 0.50);
  row.p99_us = PercentileUs(&result.latency_ns, 0.99);
  return row;
}

void RunSystem(SystemUnderTest* system, const Options& opt, std::vector<Row>* rows) {
  const std::string name = system->Name();
  ServerProcess server;
  int port = server.Start(name);
  if (port <= 0) {
    fprintf(stderr, "%s: server did not start\n", name.c_str());
    return;
  }
  if (!system->ConnectClient(static_cast<uint16_t>(port))) {
    fprintf(stderr, "%s: client could not connect to port %d\n", name.c_str(), port);
    return;
  }
  for (int depth : opt.depths) {
    if (depth > system->MaxOutstanding()) continue;
    rows->push_back(Measure(system, &server, depth, opt));
    const Row& row = rows->back();
    fprintf(stderr, "  %-20s depth %2d: %llu calls in %.2f s\n", name.c_str(), depth,
            static_cast<unsigned long long>(row.calls), row.seconds);
  }
  system->DisconnectClient();
  server.Stop();
}

void PrintTable(const std::vector<Row>& rows) {
  printf("\n%-20s %5s %9s %11s %9s %9s %12s %12s %7s\n", "system", "depth", "calls",
         "calls/s", "p50 us", "p99 us", "cli cpu s", "srv cpu s", "failed");
  printf("%-20s %5s %9s %11s %9s %9s %12s %12s %7s\n", "", "", "", "", "", "", "per 100k",
         "per 100k", "");
  for (const Row& r : rows) {
    char server_cpu[32] = "n/a";
    if (r.server_cpu_per_100k >= 0) snprintf(server_cpu, sizeof(server_cpu), "%.3f", r.server_cpu_per_100k);
    printf("%-20s %5d %9llu %11.0f %9.1f %9.1f %12.3f %12s %7llu\n", r.system.c_str(), r.depth,
           static_cast<unsigned long long>(r.calls), r.calls_per_s, r.p50_us, r.p99_us,
           r.client_cpu_per_100k, server_cpu, static_cast<unsigned long long>(r.failures));
  }
  for (const Row& r : rows) {
    if (!r.error.empty()) printf("  %s depth %d: %s\n", r.system.c_str(), r.depth, r.error.c_str());
  }
}

// The best row of a role at a depth: highest calls/s or lowest p50.
const Row* Best(const std::vector<Row>& rows, Role role, int depth, bool by_latency) {
  const Row* best = nullptr;
  for (const Row& r : rows) {
    if (r.role != role || r.depth != depth || r.calls == 0 || r.failures > 0) continue;
    if (!best || (by_latency ? r.p50_us < best->p50_us : r.calls_per_s > best->calls_per_s)) {
      best = &r;
    }
  }
  return best;
}

// Prints row's metric divided by the same metric of the reference row.
void PrintRatio(const Row& row, const char* metric, const Row* reference, double value,
                double reference_value, bool at_least, double target) {
  if (!reference || reference_value <= 0) return;
  double ratio = value / reference_value;
  bool met = at_least ? ratio >= target : ratio <= target;
  printf("  %-20s depth %2d  %-7s / %-20s = %6.2fx  (target %s %.1fx) %s\n", row.system.c_str(),
         row.depth, metric, reference->system.c_str(), ratio, at_least ? ">=" : "<=", target,
         met ? "met" : "MISSED");
}

void PrintRatios(const std::vector<Row>& rows) {
  int max_depth = 0;
  for (const Row& r : rows) max_depth = std::max(max_depth, r.depth);
  const Row* grpc_rate = Best(rows, Role::kBaseline, max_depth, false);
  const Row* grpc_p50 = Best(rows, Role::kBaseline, 1, true);
  const Row* blocking_floor = Best(rows, Role::kBlockingFloor, 1, true);
  const Row* spinning_floor = Best(rows, Role::kSpinningFloor, 1, true);

  printf("\nAgainst the best gRPC row and the floors:\n");
  bool any_candidate = false;
  for (const Row& r : rows) {
    bool blocking = r.role == Role::kCandidateBlocking;
    if (!blocking && r.role != Role::kCandidateBusyPoll) continue;
    any_candidate = true;
    if (r.depth == max_depth && max_depth > 1) {
      PrintRatio(r, "calls/s", grpc_rate, r.calls_per_s, grpc_rate ? grpc_rate->calls_per_s : 0,
                 true, 3.0);
    }
    if (r.depth == 1) {
      PrintRatio(r, "p50", grpc_p50, r.p50_us, grpc_p50 ? grpc_p50->p50_us : 0, false, 0.5);
      const Row* floor = blocking ? blocking_floor : spinning_floor;
      PrintRatio(r, "p50", floor, r.p50_us, floor ? floor->p50_us : 0, false,
                 blocking ? 1.5 : 2.0);
    }
  }
  if (!any_candidate) printf("  (no framework rows registered)\n");
  if (grpc_p50 && blocking_floor && blocking_floor->p50_us > 0) {
    printf("  for reference: %s p50 at depth 1 is %.2fx %s\n", grpc_p50->system.c_str(),
           grpc_p50->p50_us / blocking_floor->p50_us, blocking_floor->system.c_str());
  }
}

int BenchMain(const Options& opt) {
  std::vector<std::unique_ptr<SystemUnderTest>> systems;
  for (const SystemFactory& factory : Registry()) systems.push_back(factory());
  std::stable_sort(systems.begin(), systems.end(),
                   [](const std::unique_ptr<SystemUnderTest>& a,
                      const std::unique_ptr<SystemUnderTest>& b) { return a->role() < b->role(); });
  if (opt.list) {
    for (const auto& s : systems) printf("%-20s %s\n", s->Name().c_str(), s->Describe().c_str());
    return 0;
  }

  printf("Echo over 127.0.0.1: %zu-byte request, %zu-byte response; up to %llu calls or %.1f s "
         "per run after %llu warm-up calls.\n",
         kRequestBytes, kResponseBytes, static_cast<unsigned long long>(opt.calls), opt.seconds,
         static_cast<unsigned long long>(opt.warmup));
  std::vector<Row> rows;
  for (const auto& system : systems) {
    const std::string name = system->Name();
    if (!opt.only.empty() && std::find(opt.only.begin(), opt.only.end(), name) == opt.only.end()) {
      continue;
    }
    printf("  %-20s %s\n", name.c_str(), system->Describe().c_str());
    fflush(stdout);
    RunSystem(system.get(), opt, &rows);
  }
  PrintTable(rows);
  PrintRatios(rows);
  for (const Row& r : rows) {
    if (r.failures > 0 || r.calls == 0) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace rpc_compare

int main(int argc, char** argv) {
  rpc_compare::Options opt;
  if (!rpc_compare::ParseOptions(argc, argv, &opt)) return 2;
  // A vanished peer must show up as a failed call, not end the program.
  ::signal(SIGPIPE, SIG_IGN);
  if (!opt.serve.empty()) return rpc_compare::ServerMain(opt);
  return rpc_compare::BenchMain(opt);
}
