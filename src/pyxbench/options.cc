#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

namespace pyxbench {

namespace {

const char kUsage[] =
    "usage: pyxbench [options]\n"
    "Drives the pyxdriver library through its C interface, as fio drives a disk.\n"
    "By default it starts the simulated cluster (pyxsim) with one disk.\n"
    "\n"
    "Workload (fio's names):\n"
    "  --rw read|write|randread|randwrite|rw|randrw   (randrw)\n"
    "  --rwmixread PCT        reads in a mixed workload (50)\n"
    "  --bs SIZE              block size, 512 to 256k, any alignment (4k)\n"
    "  --bsrange MIN-MAX      random block sizes, multiples of 512\n"
    "  --blockalign SIZE      offset alignment (bs; 512 with --bsrange)\n"
    "  --iodepth N            I/O in flight per job (1)\n"
    "  --numjobs N            host threads, one I/O channel each (1)\n"
    "  --runtime SECONDS      (10)\n"
    "  --ramp_time SECONDS    run first, not counted (0)\n"
    "  --size SIZE            bytes of the disk to use (256m)\n"
    "  --offset SIZE          where they start (0)\n"
    "  --randseed N           (0x5eed)\n"
    "  --verify               check every read against what was written\n"
    "  --verify_pass on|off   with --verify, read everything back at the end (on)\n"
    "  --prefill              write the whole range first (reads then copy data)\n"
    "Driver:\n"
    "  --crc on|off           is_crc: per-4 KiB CRC32C checks\n"
    "  --rpc-timeout-ms N     rpc_timeout\n"
    "  --drivers N            worker_num, the library's I/O drivers (4)\n"
    "  --ini-set KEY=VALUE    any other key of the driver's configuration\n"
    "Cluster:\n"
    "  --config FILE          use the cluster FILE names instead of starting one\n"
    "  --disk NAME            disk to open (pyxbench)\n"
    "  --pyxsim PATH          the cluster program (next to pyxbench)\n"
    "  --disk-size SIZE       size of the disk made (size + offset)\n"
    "  --block-servers N      (3)\n"
    "  --volume-managers N    (1; 2 with --faults)\n"
    "  --block-masters N      (1; 2 with --faults)\n"
    "  --sim-threads N        worker threads per block server (2)\n"
    "  --faults               random faults in the cluster while it runs\n"
    "  --fault-seed N         (1)\n"
    "  --fault-interval-ms N  one cluster event this often (500)\n"
    "Host polling:\n"
    "  --poll-spin-max N      spin only with at most N I/O in flight (4)\n"
    "  --poll-spin-us N       then spin this long for an answer (100)\n"
    "  --poll-sleep-us N      and nap this long between looks after it (10)\n"
    "  --poll-nap-per-io-us N with more in flight, nap N us per I/O in flight (6)\n"
    "CPU placement (lists as taskset takes them, e.g. 0-3,6):\n"
    "  --lib-cpus LIST        the library's threads run on these CPUs\n"
    "  --host-cpus LIST       the host's threads (jobs, main) on these\n"
    "Output:\n"
    "  --json                 one JSON object on standard output\n"
    "  --progress on|off      a progress line a second on standard error (on)\n"
    "  --log-dir DIR          driver and cluster logs (a new temporary folder)\n"
    "  --keep-logs            keep that folder even when all went well\n";

bool ParseInt(const std::string& text, int64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  return true;
}

// A CPU number below the size of the kernel's CPU set type.
constexpr int64_t kMaxCpus = 1024;

bool ParseDouble(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (*end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

bool ParseOnOff(const std::string& text, bool* out) {
  if (text == "on" || text == "1" || text == "true" || text == "yes") {
    *out = true;
    return true;
  }
  if (text == "off" || text == "0" || text == "false" || text == "no") {
    *out = false;
    return true;
  }
  return false;
}

bool ParseRw(const std::string& text, RwMode* out) {
  static const std::map<std::string, RwMode> kModes = {
      {"read", RwMode::kRead},         {"write", RwMode::kWrite},
      {"randread", RwMode::kRandRead}, {"randwrite", RwMode::kRandWrite},
      {"randrw", RwMode::kRandRw},     {"rw", RwMode::kRw},
      {"readwrite", RwMode::kRw}};
  auto it = kModes.find(text);
  if (it == kModes.end()) return false;
  *out = it->second;
  return true;
}

}  // namespace

bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, 10);
  std::string suffix(end);
  for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  uint64_t mult = 1;
  if (suffix.empty() || suffix == "b") {
    mult = 1;
  } else if (suffix == "k" || suffix == "kb" || suffix == "kib") {
    mult = 1ull << 10;
  } else if (suffix == "m" || suffix == "mb" || suffix == "mib") {
    mult = 1ull << 20;
  } else if (suffix == "g" || suffix == "gb" || suffix == "gib") {
    mult = 1ull << 30;
  } else {
    return false;
  }
  *out = v * mult;
  return true;
}

const char* RwName(RwMode rw) {
  switch (rw) {
    case RwMode::kRead: return "read";
    case RwMode::kWrite: return "write";
    case RwMode::kRandRead: return "randread";
    case RwMode::kRandWrite: return "randwrite";
    case RwMode::kRandRw: return "randrw";
    case RwMode::kRw: return "rw";
  }
  return "?";
}

bool IsRandom(RwMode rw) {
  return rw == RwMode::kRandRead || rw == RwMode::kRandWrite || rw == RwMode::kRandRw;
}
bool HasReads(RwMode rw) { return rw != RwMode::kWrite && rw != RwMode::kRandWrite; }
bool HasWrites(RwMode rw) { return rw != RwMode::kRead && rw != RwMode::kRandRead; }

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  // Every option takes "--name value" or "--name=value"; flags take neither.
  using Setter = std::function<bool(const std::string&)>;
  bool bsrange = false;
  bool blockalign_given = false;
  const std::map<std::string, Setter> with_value = {
      {"rw", [&](const std::string& v) { return ParseRw(v, &o->rw); }},
      {"readwrite", [&](const std::string& v) { return ParseRw(v, &o->rw); }},
      {"rwmixread",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 0 || n > 100) return false;
         o->rwmixread = static_cast<int>(n);
         return true;
       }},
      {"bs",
       [&](const std::string& v) {
         if (!ParseSize(v, &o->bs_min)) return false;
         o->bs_max = o->bs_min;
         return true;
       }},
      {"bsrange",
       [&](const std::string& v) {
         const size_t dash = v.find('-');
         if (dash == std::string::npos) return false;
         bsrange = true;
         return ParseSize(v.substr(0, dash), &o->bs_min) &&
                ParseSize(v.substr(dash + 1), &o->bs_max) && o->bs_min <= o->bs_max;
       }},
      {"blockalign",
       [&](const std::string& v) {
         blockalign_given = true;
         return ParseSize(v, &o->blockalign) && o->blockalign > 0;
       }},
      {"iodepth",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 4096) return false;
         o->iodepth = static_cast<int>(n);
         return true;
       }},
      {"numjobs",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 256) return false;
         o->numjobs = static_cast<int>(n);
         return true;
       }},
      {"runtime", [&](const std::string& v) { return ParseDouble(v, &o->runtime_s); }},
      {"ramp_time", [&](const std::string& v) { return ParseDouble(v, &o->ramp_time_s); }},
      {"size", [&](const std::string& v) { return ParseSize(v, &o->size) && o->size > 0; }},
      {"offset", [&](const std::string& v) { return ParseSize(v, &o->offset); }},
      {"randseed",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n)) return false;
         o->randseed = static_cast<uint64_t>(n);
         return true;
       }},
      {"verify_pass", [&](const std::string& v) { return ParseOnOff(v, &o->verify_pass); }},
      {"crc",
       [&](const std::string& v) {
         bool on;
         if (!ParseOnOff(v, &on)) return false;
         o->crc = on ? 1 : 0;
         return true;
       }},
      {"rpc-timeout-ms",
       [&](const std::string& v) {
         return ParseInt(v, &o->rpc_timeout_ms) && o->rpc_timeout_ms > 0;
       }},
      {"drivers",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 16) return false;
         o->drivers = static_cast<int>(n);
         return true;
       }},
      {"ini-set",
       [&](const std::string& v) {
         const size_t eq = v.find('=');
         if (eq == std::string::npos || eq == 0) return false;
         o->ini_set[v.substr(0, eq)] = v.substr(eq + 1);
         return true;
       }},
      {"config", [&](const std::string& v) { o->config = v; return !v.empty(); }},
      {"disk", [&](const std::string& v) { o->disk = v; return !v.empty(); }},
      {"pyxsim", [&](const std::string& v) { o->pyxsim = v; return !v.empty(); }},
      {"disk-size", [&](const std::string& v) { return ParseSize(v, &o->disk_size); }},
      {"block-servers",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 64) return false;
         o->block_servers = static_cast<int>(n);
         return true;
       }},
      {"volume-managers",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 16) return false;
         o->volume_managers = static_cast<int>(n);
         return true;
       }},
      {"block-masters",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 16) return false;
         o->block_masters = static_cast<int>(n);
         return true;
       }},
      {"lib-cpus", [&](const std::string& v) { return ParseCpuList(v, &o->lib_cpus); }},
      {"host-cpus", [&](const std::string& v) { return ParseCpuList(v, &o->host_cpus); }},
      {"sim-threads",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1 || n > 64) return false;
         o->sim_threads = static_cast<int>(n);
         return true;
       }},
      {"fault-seed",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n)) return false;
         o->fault_seed = static_cast<uint64_t>(n);
         return true;
       }},
      {"fault-interval-ms",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1) return false;
         o->fault_interval_ms = static_cast<int>(n);
         return true;
       }},
      {"poll-spin-us",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 0) return false;
         o->poll_spin_us = static_cast<int>(n);
         return true;
       }},
      {"poll-sleep-us",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1) return false;
         o->poll_sleep_us = static_cast<int>(n);
         return true;
       }},
      {"poll-spin-max",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 0) return false;
         o->poll_spin_max = static_cast<int>(n);
         return true;
       }},
      {"poll-nap-per-io-us",
       [&](const std::string& v) {
         int64_t n;
         if (!ParseInt(v, &n) || n < 1) return false;
         o->poll_nap_per_io_us = static_cast<int>(n);
         return true;
       }},
      {"progress", [&](const std::string& v) { return ParseOnOff(v, &o->progress); }},
      {"log-dir", [&](const std::string& v) { o->log_dir = v; return !v.empty(); }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"verify", [&] { o->verify = true; }},
      {"prefill", [&] { o->prefill = true; }},
      {"json", [&] { o->json = true; }},
      {"faults", [&] { o->faults = true; }},
      {"keep-logs", [&] { o->keep_logs = true; }},
  };

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      error->clear();
      return false;
    }
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + arg + "' (see --help)";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    auto flag = flags.find(name);
    if (flag != flags.end()) {
      if (has_value) {
        bool on;
        if (!ParseOnOff(value, &on)) {
          *error = "--" + name + " takes no value";
          return false;
        }
        if (on) flag->second();
      } else {
        flag->second();
      }
      continue;
    }
    auto setter = with_value.find(name);
    if (setter == with_value.end()) {
      *error = "unknown option --" + name + " (see --help)";
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = "--" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (!setter->second(value)) {
      *error = "bad value '" + value + "' for --" + name;
      return false;
    }
  }

  if (o->bs_min < 1 || o->bs_max > 262144) {
    *error = "block sizes go from 1 byte to 256k";
    return false;
  }
  if (!blockalign_given) o->blockalign = bsrange ? 512 : o->bs_min;
  if (bsrange) {
    o->bs_min = (o->bs_min + 511) / 512 * 512;
    o->bs_max = o->bs_max / 512 * 512;
    if (o->bs_min > o->bs_max) {
      *error = "--bsrange holds no multiple of 512";
      return false;
    }
  }
  const uint64_t per_job = o->size / o->numjobs / 4096 * 4096;
  if (per_job < o->bs_max) {
    *error = "--size leaves each job less than one block (--bs)";
    return false;
  }
  if (o->config.empty() && o->drivers < 0) o->drivers = 4;
  // Fail-overs need a second volume manager and block master.
  if (o->volume_managers == 0) o->volume_managers = o->faults ? 2 : 1;
  if (o->block_masters == 0) o->block_masters = o->faults ? 2 : 1;
  return true;
}

bool ParseCpuList(const std::string& text, std::vector<int>* out) {
  std::vector<int> cpus;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    int64_t first, last;
    if (dash == std::string::npos) {
      if (!ParseInt(item, &first)) return false;
      last = first;
    } else if (!ParseInt(item.substr(0, dash), &first) || !ParseInt(item.substr(dash + 1), &last)) {
      return false;
    }
    if (first < 0 || last < first || last >= kMaxCpus) return false;
    for (int64_t c = first; c <= last; ++c) cpus.push_back(static_cast<int>(c));
    at = comma + 1;
  }
  *out = cpus;
  return !cpus.empty();
}

}  // namespace pyxbench
