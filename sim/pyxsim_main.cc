// pyxsim: runs a simulated storage cluster in its own process until SIGTERM
// or SIGINT, with a control service for fault injection from other
// processes, and optionally writes the INI file a driver needs to reach it.
//
//   pyxsim --bs 3 --disk d0:1G --disk d1:4G:5 --ini /tmp/sim.ini
//
// Once serving it prints one line, "pyxsim ready " followed by key=value
// fields (control, volume_manager_ips, volume_manager_ports, block_masters,
// block_servers, ini, disks).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "pyxsim/cluster.h"
#include "pyxsim/control_server.h"
#include "tarn/base/logging.h"

namespace {

struct DiskSpec {
  std::string name;
  uint64_t size = 0;
  uint64_t dgs = 1;
};

struct Args {
  pyxsim::ClusterOptions cluster;
  bool budget_given = false;
  std::vector<DiskSpec> disks;
  int control_port = 0;
  std::string ini;
  std::vector<std::pair<std::string, std::string>> ini_overrides;
  std::string log_level = "warning";
};

const char kUsage[] =
    "usage: pyxsim [options]\n"
    "  --vm N / --bm N / --bs N     volume managers, block masters, block servers (1, 1, 2;\n"
    "                               the cluster pyxbench starts itself has 3 block servers:\n"
    "                               --bs 3 gives the same)\n"
    "  --threads N                  worker threads of each block server (2)\n"
    "  --busy-poll                  block-server workers poll instead of sleeping (one core each)\n"
    "  --ip ADDR                    listening address (127.0.0.1)\n"
    "  --ipv6                       ADDR is an IPv6 address\n"
    "  --ports P,P,...              fixed ports: volume managers, block masters, block servers\n"
    "  --die-capacity SIZE --plane-capacity SIZE --block-capacity SIZE --die-unit-capacity SIZE\n"
    "  --disk NAME:SIZE[:DGS]       a disk (repeatable); SIZE takes K, M, G, T\n"
    "  --memory-budget SIZE         written blocks all disks may hold together; writes of\n"
    "                               new blocks past it fail (the memory available at start;\n"
    "                               0: no bound)\n"
    "  --control-port N             port of the control service (0: a free port)\n"
    "  --ini PATH                   write the driver's INI file\n"
    "  --ini-set KEY=VALUE          set or add a key of the INI's [ORLA] section (repeatable)\n"
    "  --log-level NAME             trace, debug, info, warning, error (warning)\n";

// "64K", "1G", "4096"; false when not a size.
bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) return false;
  int shift = 0;
  switch (*end) {
    case '\0': break;
    case 'K': case 'k': shift = 10; ++end; break;
    case 'M': case 'm': shift = 20; ++end; break;
    case 'G': case 'g': shift = 30; ++end; break;
    case 'T': case 't': shift = 40; ++end; break;
    default: return false;
  }
  if (*end != '\0' || (shift != 0 && value > (~0ull >> shift))) return false;
  *out = value << shift;
  return true;
}

bool ParseInt(const std::string& text, int* out) {
  uint64_t value = 0;
  if (!ParseSize(text, &value) || value > 1000000000ull) return false;
  *out = static_cast<int>(value);
  return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t pos = text.find(sep, start);
    parts.push_back(text.substr(start, pos - start));
    if (pos == std::string::npos) return parts;
    start = pos + 1;
  }
}

bool ParseDisk(const std::string& text, DiskSpec* disk) {
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() < 2 || parts.size() > 3 || parts[0].empty()) return false;
  disk->name = parts[0];
  if (!ParseSize(parts[1], &disk->size)) return false;
  return parts.size() == 2 || ParseSize(parts[2], &disk->dgs);
}

// 0 ok, 1 bad arguments, 2 help asked.
int ParseArgs(int argc, char** argv, Args* args) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") return 2;
    if (flag == "--ipv6") {
      args->cluster.ipv6 = true;
      continue;
    }
    if (flag == "--busy-poll") {
      args->cluster.busy_poll = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "pyxsim: %s needs a value\n", flag.c_str());
      return 1;
    }
    const std::string value = argv[++i];
    pyxsim::Geometry& geo = args->cluster.geometry;
    bool ok = true;
    if (flag == "--vm") {
      ok = ParseInt(value, &args->cluster.volume_managers);
    } else if (flag == "--bm") {
      ok = ParseInt(value, &args->cluster.block_masters);
    } else if (flag == "--bs") {
      ok = ParseInt(value, &args->cluster.block_servers);
    } else if (flag == "--threads") {
      ok = ParseInt(value, &args->cluster.threads);
    } else if (flag == "--ip") {
      args->cluster.ip = value;
    } else if (flag == "--ports") {
      for (const std::string& part : Split(value, ',')) {
        int port = 0;
        ok = ok && ParseInt(part, &port) && port < 65536;
        args->cluster.ports.push_back(static_cast<uint16_t>(port));
      }
    } else if (flag == "--die-capacity") {
      ok = ParseSize(value, &geo.die_capacity);
    } else if (flag == "--plane-capacity") {
      ok = ParseSize(value, &geo.plane_capacity);
    } else if (flag == "--block-capacity") {
      ok = ParseSize(value, &geo.block_capacity);
    } else if (flag == "--die-unit-capacity") {
      ok = ParseSize(value, &geo.die_unit_capacity);
    } else if (flag == "--disk") {
      args->disks.emplace_back();
      ok = ParseDisk(value, &args->disks.back());
    } else if (flag == "--memory-budget") {
      ok = ParseSize(value, &args->cluster.memory_budget);
      args->budget_given = true;
    } else if (flag == "--control-port") {
      ok = ParseInt(value, &args->control_port) && args->control_port < 65536;
    } else if (flag == "--ini") {
      args->ini = value;
    } else if (flag == "--ini-set") {
      const size_t eq = value.find('=');
      ok = eq != std::string::npos && eq > 0;
      if (ok) args->ini_overrides.emplace_back(value.substr(0, eq), value.substr(eq + 1));
    } else if (flag == "--log-level") {
      args->log_level = value;
    } else {
      fprintf(stderr, "pyxsim: unknown option %s\n", flag.c_str());
      return 1;
    }
    if (!ok) {
      fprintf(stderr, "pyxsim: bad value for %s: %s\n", flag.c_str(), value.c_str());
      return 1;
    }
  }
  return 0;
}

// Bytes the kernel says it can still give (MemAvailable), bounded by what
// the limit of the cgroup this process is in leaves; 0 when unknown. The
// cgroup's usage counts the page cache, which the kernel gives back on
// demand: only the rest is taken.
uint64_t AvailableMemory() {
  uint64_t avail = 0;
  std::ifstream meminfo("/proc/meminfo");
  std::string key, line;
  uint64_t kib = 0;
  while (std::getline(meminfo, line)) {
    std::istringstream in(line);
    if ((in >> key >> kib) && key == "MemAvailable:" && kib < (~0ull >> 10)) avail = kib << 10;
  }
  std::string dir = "/sys/fs/cgroup";
  std::ifstream self("/proc/self/cgroup");
  while (std::getline(self, line)) {
    if (line.compare(0, 4, "0::/") == 0 && line != "0::/") dir += line.substr(3);
  }
  std::ifstream max_file(dir + "/memory.max"), current_file(dir + "/memory.current");
  std::ifstream stat_file(dir + "/memory.stat");
  uint64_t limit = 0, used = 0, value = 0;
  if (avail != 0 && (max_file >> limit) && (current_file >> used)) {
    while (stat_file >> key >> value) {
      if (key == "active_file" || key == "inactive_file") used -= std::min(used, value);
    }
    avail = std::min(avail, limit > used ? limit - used : 0);
  }
  return avail;
}

// A port that was free a moment ago, for the driver's own service.
uint16_t FreePort(const std::string& ip, bool ipv6) {
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
    a6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, ip.c_str(), &a6->sin6_addr) != 1) return 0;
    len = sizeof(*a6);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
    a4->sin_family = AF_INET;
    if (inet_pton(AF_INET, ip.c_str(), &a4->sin_addr) != 1) return 0;
    len = sizeof(*a4);
  }
  const int fd = socket(addr.ss_family, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  close(fd);
  return port;
}

bool WriteIni(const Args& args, const pyxsim::Cluster& cluster) {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"use_orla", "Yes"},
      {"volume_manager_ips", cluster.volume_manager_ips()},
      {"volume_manager_ports", cluster.volume_manager_ports()},
      {"rdma_device", "sim0"},
      {"rdma_port", "0"},
      {"gazelle_port", "0"},
      {"rdma_index", "0"},
      {"kLogLevel", "info"},
      {"retry_sleep_ms", "500"},
      {"max_io_size", "16384"},
      {"max_flighting", "300"},
      {"polling_interval_ms", "500"},
      {"retry_pending_ms", "8000"},
      {"worker_num", "4"},
      {"is_tcp", "Yes"},
      {"is_crc", "No"},
      {"enable_metric", "No"},
      {"enable_tarn_metric", "No"},
      {"tarn_metrics_interval", "3"},
      {"asyn_log", "No"},
      {"log_size", "50"},
      {"is_ipv6", args.cluster.ipv6 ? "Yes" : "No"},
      {"client_nums", "1"},
      {"rpc_timeout", "10000"},
      {"rpc_depth", "128"},
      {"conn_idle_time", "0"},
      {"recv_buff_size", "0"},
      {"service_ip", args.cluster.ip},
      {"service_port", std::to_string(FreePort(args.cluster.ip, args.cluster.ipv6))},
      {"service_worker_num", "1"},
  };
  for (const auto& override_kv : args.ini_overrides) {
    bool replaced = false;
    for (auto& kv : keys) {
      if (kv.first == override_kv.first) {
        kv.second = override_kv.second;
        replaced = true;
      }
    }
    if (!replaced) keys.push_back(override_kv);
  }
  std::ofstream out(args.ini, std::ios::trunc);
  out << "[ORLA]\n";
  for (const auto& kv : keys) out << kv.first << " " << kv.second << "\n";
  out.close();
  return static_cast<bool>(out);
}

std::string Ports(const pyxsim::Cluster& cluster, pyxsim::Role role) {
  std::string out;
  for (int i = 0; i < cluster.count(role); ++i) {
    if (i != 0) out += ",";
    out += std::to_string(cluster.port(role, i));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  const int parsed = ParseArgs(argc, argv, &args);
  if (parsed != 0) {
    fputs(kUsage, parsed == 2 ? stdout : stderr);
    return parsed == 2 ? 0 : 2;
  }
  plinth::Logger::setLogLevel(args.log_level);
  signal(SIGPIPE, SIG_IGN);
  // Every thread started from here on inherits the blocked signals; the main
  // thread takes them with sigwait.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  // Every written block is held in memory: without a bound of its own the
  // cluster takes what the machine has.
  if (!args.budget_given) args.cluster.memory_budget = AvailableMemory();
  pyxsim::Cluster cluster(args.cluster);
  if (cluster.Start() != 0) {
    fprintf(stderr, "pyxsim: the cluster did not start\n");
    return 1;
  }
  std::string disks;
  for (const DiskSpec& disk : args.disks) {
    if (cluster.CreateDisk(disk.name, disk.size, disk.dgs) != 0) {
      fprintf(stderr, "pyxsim: disk %s refused\n", disk.name.c_str());
      return 1;
    }
    if (!disks.empty()) disks += ",";
    disks += disk.name + ":" + cluster.DiskUuid(disk.name);
  }
  pyxsim::ControlServer control(&cluster, args.cluster.ip,
                                static_cast<uint16_t>(args.control_port), args.cluster.ipv6);
  if (control.Start() != 0) {
    fprintf(stderr, "pyxsim: the control service did not start\n");
    return 1;
  }
  if (!args.ini.empty() && !WriteIni(args, cluster)) {
    fprintf(stderr, "pyxsim: cannot write %s\n", args.ini.c_str());
    return 1;
  }
  printf("pyxsim ready control=%u volume_manager_ips=%s volume_manager_ports=%s "
         "block_masters=%s block_servers=%s ini=%s disks=%s\n",
         control.port(), cluster.volume_manager_ips().c_str(),
         cluster.volume_manager_ports().c_str(), Ports(cluster, pyxsim::Role::kBlockMaster).c_str(),
         Ports(cluster, pyxsim::Role::kBlockServer).c_str(), args.ini.c_str(), disks.c_str());
  fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  control.Stop();
  cluster.Stop();
  printf("pyxsim stopped by signal %d\n", sig);
  fflush(stdout);
  return 0;
}
