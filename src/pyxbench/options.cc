#include "options.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <numeric>

#include "driver_keys.h"

namespace pyxbench {

namespace {

const char kIntro[] =
    "usage: pyxbench [options]\n"
    "Drives the pyxdriver library through its C interface, as fio drives a disk.\n"
    "By default it starts the simulated cluster (pyxsim) with one disk.\n"
    "scripts/run.sh builds it as build-release/src/pyxbench/pyxbench.\n"
    "\n"
    "For fio users: options take fio's names where fio has one, but\n"
    "  - every run is time-based (fio's time_based): it runs for --runtime over\n"
    "    the --size region, wrapping around at its end; --runtime and --ramp_time\n"
    "    take seconds or fio's time units (500ms, 30s, 2m, 1h, 1d);\n"
    "  - --size is shared by the jobs: each of --numjobs gets its own 1/N of it\n"
    "    (fio gives every job the whole --size);\n"
    "  - one job per command line: no --name, no job files; --disk, not\n"
    "    --filename; results on standard output, not in --output;\n"
    "  - --json prints one flat object of pyxbench's own (iops, bw_mib_s,\n"
    "    read_/write_ figures, latency percentiles in us, checks), not the form\n"
    "    of fio's --output-format=json; as in fio, rates and latencies are of\n"
    "    the I/O that succeeded, with failed I/O counted beside them;\n"
    "  - --verify has no checksum kinds (--verify=crc32c): it compares every\n"
    "    read with the bytes last written; a flag given again as --verify=off\n"
    "    (or --verify 0, as fio takes it) is off (the later value wins);\n"
    "  - the default workload is --rw randrw, 50% reads (fio's default is read);\n"
    "  - --time_based, --direct=1, --ioengine=libaio, --group_reporting,\n"
    "    --thread, --rwmixwrite and --eta are taken (see below).\n"
    "Every value is checked before anything starts; a value outside what is\n"
    "stated below is refused (exit status 2).\n";

const char kOutro[] =
    "\n"
    "--verify remembers which write last touched each unit of --size (4 bytes a\n"
    "unit; the unit divides every write's offset and length: 512 with --bsrange,\n"
    "else the largest common divisor of --bs and --blockalign, at least 512),\n"
    "plus a byte per 4 KiB: under 1% of --size at 512-byte units. Every unit a\n"
    "write covers starts with a header (its offset, the writing run's id, the\n"
    "write's number, a checksum), so every read is checked, whoever wrote it:\n"
    "verified (the header holds at its offset), never written (all zeros) or\n"
    "mismatched (anything else, or another write than the state says). The cluster\n"
    "pyxbench starts keeps every block written in memory: a --prefill writes all\n"
    "of --size, a workload with writes may. A run whose state, buffers and\n"
    "written blocks would not fit in the memory available is refused before it\n"
    "starts; the cluster gets the rest as its budget and fails writes past it.\n"
    "With --ini-set asyn_log=No the driver logs to stdio.log in the log folder.\n"
    "\n"
    "Exit status: 0 all clean; 1 not clean (I/O errors, verify errors, I/O lost\n"
    "or completed twice), or the results could not be written; 2 a bad option,\n"
    "or the run could not start (a --verify-state FILE refused with its\n"
    "reason); 3 the run hung (in any phase, no I/O completed\n"
    "for 600 s, or PYXBENCH_HANG_S seconds: 1 to 604800, or with fio's units)\n"
    "and was given up, with the summary of what it measured; 4 the cluster\n"
    "process pyxbench started died; 5 a run with --verify that verified nothing\n"
    "(result: NOTHING VERIFIED: no block it read held a header of its own);\n"
    "128+N stopped by signal N (130 for SIGINT, 143 for SIGTERM): the first\n"
    "SIGINT or SIGTERM stops the run, lets what is in flight complete and prints\n"
    "the summary of what ran; a second ends it at once.\n";

// Options that shape the cluster pyxbench starts: refused with --config,
// where they would have no effect.
const char* const kStartedClusterOnly[] = {
    "pyxsim",      "disk-size",  "block-servers",    "volume-managers", "block-masters",
    "sim-threads", "fault-seed", "fault-interval-ms"};

// A CPU number below the size of the kernel's CPU set type.
constexpr int64_t kMaxCpus = 1024;
// What a block device takes: whole sectors, at sector offsets.
constexpr uint64_t kSector = 512;
constexpr uint64_t kMinBs = kSector;
// As fio users give it; above the library's largest the jobs split I/O.
constexpr uint64_t kMaxBs = 16 << 20;
constexpr uint64_t kMaxBlockalign = 1ull << 30;
constexpr double kMaxRuntime = 7 * 86400;

bool ParseUnsigned(const std::string& text, int base, uint64_t* out) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0') return false;
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

// "30", "1.5", "500ms", "30s", "2m", "1h", "1d" (fio's time units; a bare
// number is seconds) into seconds; false when not such a time.
bool ParseSeconds(const std::string& text, double* out) {
  static const std::map<std::string, double> kUnits = {
      {"", 1},       {"s", 1},        {"sec", 1},  {"ms", 1e-3}, {"msec", 1e-3},
      {"us", 1e-6},  {"usec", 1e-6},  {"m", 60},   {"min", 60},  {"h", 3600},
      {"d", 86400}};
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
    return false;
  }
  char* end = nullptr;
  const double d = strtod(text.c_str(), &end);
  std::string unit(end);
  for (char& c : unit) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  const auto it = kUnits.find(unit);
  if (it == kUnits.end() || !std::isfinite(d)) return false;
  *out = d * it->second;
  return std::isfinite(*out);
}

// The CPUs this process may run on.
std::vector<int> AllowedCpus() {
  std::vector<int> cpus;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  }
  return cpus;
}

// {0, 1, 2, 3, 6} -> "0-3,6"
std::string CpuListText(const std::vector<int>& cpus) {
  std::string out;
  for (size_t i = 0; i < cpus.size();) {
    size_t j = i;
    while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
    out += (out.empty() ? "" : ",") + std::to_string(cpus[i]);
    if (j > i) out += "-" + std::to_string(cpus[j]);
    i = j + 1;
  }
  return out;
}

std::string Num(double v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%g", v);
  return buf;
}

// One option: its name, what it takes, what it does, what it allows (the
// limit both --help and the error state) and its default.
struct OptionDef {
  const char* group;  // a heading, where a group starts
  std::string name;
  std::string arg;    // "" for a flag
  std::string help;
  std::string allowed;
  std::string def;
  std::function<bool(const std::string&)> set;  // false: outside `allowed`
  std::function<void(bool)> flag;                // a flag: on, or off (--flag=off)
};

// "  --name ARG   help: allowed (default)", wrapped at 80 columns.
std::string UsageLine(const OptionDef& s) {
  constexpr size_t kIndent = 25, kWidth = 80;
  std::string head = "  --" + s.name + (s.arg.empty() ? "" : " " + s.arg);
  head.resize(std::max(head.size() + 1, kIndent), ' ');
  std::string text = s.help;
  if (!s.allowed.empty()) text += (s.help.empty() ? "" : ": ") + s.allowed;
  if (!s.def.empty()) text += " (" + s.def + ")";
  std::string out = head;
  size_t column = head.size();
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (column > kIndent && column + 1 + word.size() > kWidth) {
      out += "\n" + std::string(kIndent, ' ');
      column = kIndent;
    } else if (column > head.size() || column > kIndent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    at = end + 1;
  }
  return out + "\n";
}

}  // namespace

bool ParseSize(const std::string& text, uint64_t* out) {
  if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  std::string suffix(end);
  for (char& c : suffix) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  int shift = 0;
  if (suffix.empty() || suffix == "b") {
    shift = 0;
  } else if (suffix == "k" || suffix == "kb" || suffix == "kib") {
    shift = 10;
  } else if (suffix == "m" || suffix == "mb" || suffix == "mib") {
    shift = 20;
  } else if (suffix == "g" || suffix == "gb" || suffix == "gib") {
    shift = 30;
  } else if (suffix == "t" || suffix == "tb" || suffix == "tib") {
    shift = 40;
  } else {
    return false;
  }
  if (shift != 0 && v > (~0ull >> shift)) return false;
  *out = static_cast<uint64_t>(v) << shift;
  return true;
}

std::string SizeText(uint64_t bytes) {
  static const char kUnits[] = "kmgt";
  int unit = -1;
  while (unit < 3 && bytes != 0 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + (unit < 0 ? "" : std::string(1, kUnits[unit]));
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

uint64_t VerifyUnit(const Options& o) {
  // Random offsets are multiples of blockalign, sequential ones sums of
  // block sizes; sizes are bs, or bs_min plus multiples of 512.
  uint64_t unit = std::gcd(o.blockalign, o.bs_min);
  if (o.bs_max != o.bs_min) unit = std::gcd(unit, uint64_t{512});
  return unit;
}

bool IsRandom(RwMode rw) {
  return rw == RwMode::kRandRead || rw == RwMode::kRandWrite || rw == RwMode::kRandRw;
}
bool HasReads(RwMode rw) { return rw != RwMode::kWrite && rw != RwMode::kRandWrite; }
bool HasWrites(RwMode rw) { return rw != RwMode::kRead && rw != RwMode::kRandRead; }

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  // Every option takes "--name value" or "--name=value"; flags take neither.
  bool bs_given = false;
  bool bsrange_given = false;
  bool blockalign_given = false;
  std::vector<OptionDef> defs;
  // Why the last value was refused, when its own check says more than the
  // option's `allowed`.
  std::string reason;
  auto flag = [&](const char* group, const std::string& name, const std::string& help,
                  std::function<void(bool)> f) {
    defs.push_back({group, name, "", help, "", "", nullptr, std::move(f)});
  };
  auto opt = [&](const char* group, const std::string& name, const std::string& arg,
                 const std::string& help, const std::string& allowed, const std::string& def,
                 std::function<bool(const std::string&)> f) {
    defs.push_back({group, name, arg, help, allowed, def, std::move(f), nullptr});
  };
  // Whole numbers in [lo, hi] into an int or a 64-bit field.
  auto whole = [](int64_t lo, int64_t hi) { return std::to_string(lo) + " to " + std::to_string(hi); };
  auto int_in = [](int64_t lo, int64_t hi, int* out) {
    return [lo, hi, out](const std::string& v) {
      uint64_t n;
      if (!ParseUnsigned(v, 10, &n) || static_cast<int64_t>(n) < lo || n > static_cast<uint64_t>(hi)) {
        return false;
      }
      *out = static_cast<int>(n);
      return true;
    };
  };
  auto seconds_in = [](double lo, double hi, double* out) {
    return [lo, hi, out](const std::string& v) {
      double d;
      if (!ParseSeconds(v, &d) || d < lo || d > hi) return false;
      *out = d;
      return true;
    };
  };
  auto on_off = [](bool* out) {
    return [out](const std::string& v) { return ParseOnOff(v, out); };
  };
  auto seed = [](uint64_t* out) {
    return [out](const std::string& v) { return ParseUnsigned(v, 0, out); };
  };
  const std::string max_disk = SizeText(kMaxClusterDisk);

  opt("Workload (fio's names):", "rw", "MODE", "",
      "read, write, randread, randwrite, randrw, or rw (also spelled readwrite)",
      "randrw; fio's default is read", [&](const std::string& v) { return ParseRw(v, &o->rw); });
  opt(nullptr, "readwrite", "MODE", "the same as --rw", "", "", [&](const std::string& v) {
    return ParseRw(v, &o->rw);
  });
  opt(nullptr, "rwmixread", "PCT", "reads in a mixed workload", whole(0, 100), "50",
      int_in(0, 100, &o->rwmixread));
  opt(nullptr, "bs", "SIZE",
      "block size; above 256k each I/O goes to the library as pieces of at most 256k, "
      "as a host's block layer splits it, and counts once",
      SizeText(kMinBs) + " to " + SizeText(kMaxBs) + ", whole sectors of 512 as a block device "
          "takes them",
      "4k", [&](const std::string& v) {
        if (v.find(',') != std::string::npos) {
          reason = "pyxbench takes one block size for reads and writes alike (no fio R,W "
                   "pair); for several sizes give --bsrange MIN-MAX";
          return false;
        }
        uint64_t n;
        if (!ParseSize(v, &n) || n < kMinBs || n > kMaxBs || n % kSector != 0) return false;
        o->bs_min = o->bs_max = n;
        bs_given = true;
        return true;
      });
  opt(nullptr, "bsrange", "MIN-MAX", "random block sizes",
      "multiples of 512 from " + SizeText(kMinBs) + " to " + SizeText(kMaxBs) + ", MIN <= MAX", "",
      [&](const std::string& v) {
        const size_t dash = v.find('-');
        uint64_t lo, hi;
        if (dash == std::string::npos || !ParseSize(v.substr(0, dash), &lo) ||
            !ParseSize(v.substr(dash + 1), &hi) || lo < kMinBs || hi > kMaxBs || lo > hi ||
            lo % 512 != 0 || hi % 512 != 0) {
          return false;
        }
        o->bs_min = lo;
        o->bs_max = hi;
        bsrange_given = true;
        return true;
      });
  opt(nullptr, "blockalign", "SIZE", "offset alignment of random I/O",
      "a power of two from 512 to " + SizeText(kMaxBlockalign) + ", within each job's share of --size",
      "bs; 512 with --bsrange", [&](const std::string& v) {
        uint64_t n;
        if (!ParseSize(v, &n) || n < kSector || n > kMaxBlockalign || (n & (n - 1)) != 0) {
          return false;
        }
        o->blockalign = n;
        blockalign_given = true;
        return true;
      });
  opt(nullptr, "iodepth", "N", "I/O in flight per job", whole(1, 4096), "1",
      int_in(1, 4096, &o->iodepth));
  opt(nullptr, "numjobs", "N", "host threads, one I/O channel and 1/N of --size each",
      whole(1, 256), "1", int_in(1, 256, &o->numjobs));
  const std::string units = "; seconds, or with fio's units (500ms, 30s, 2m, 1h, 1d)";
  const std::string runtimes =
      "0.1 to " + Num(kMaxRuntime) + ", or 0 with --prefill (the prefill only)" + units;
  std::string runtime_given = "10";
  opt(nullptr, "runtime", "TIME", "how long the measured run lasts, at most a week", runtimes,
      "10", [&, set = seconds_in(0, kMaxRuntime, &o->runtime_s)](const std::string& v) {
        runtime_given = v;
        return set(v);
      });
  opt(nullptr, "ramp_time", "TIME", "run first, not counted", "0 to 86400" + units, "0",
      seconds_in(0, 86400, &o->ramp_time_s));
  // A cluster given by --config holds disks of its own sizes (opening the
  // disk checks them); the cluster pyxbench starts, at most kMaxClusterDisk.
  const std::string sizes = "4k to " + max_disk + ", with --offset at most " + max_disk +
                            " (the largest disk of the cluster pyxbench starts; with --config, "
                            "the disk's size), at least one block per job";
  const std::string offsets =
      "multiples of 512 from 0 to " + max_disk + " - --size (with --config, the disk's size)";
  std::string size_given, offset_given;
  opt(nullptr, "size", "SIZE", "bytes of the disk the jobs share", sizes, "256m",
      [&](const std::string& v) {
        size_given = v;
        return ParseSize(v, &o->size) && o->size >= 4096 && o->size <= kMaxGivenDisk;
      });
  opt(nullptr, "offset", "SIZE", "where they start", offsets, "0", [&](const std::string& v) {
    offset_given = v;
    return ParseSize(v, &o->offset) && o->offset <= kMaxGivenDisk && o->offset % kSector == 0;
  });
  opt(nullptr, "randseed", "N", "", "0 to 2^64-1", "0x5eed", seed(&o->randseed));
  flag(nullptr, "verify",
       "check every read against what was written (memory: see below); --verify=off undoes it",
       [&](bool on) { o->verify = on; });
  opt(nullptr, "verify_pass", "on|off", "with --verify, read back at the end what the run wrote", "",
      "on", on_off(&o->verify_pass));
  opt(nullptr, "verify-state", "FILE",
      "load what earlier runs wrote from FILE at the start, save what this run wrote to it at "
      "its end (turns --verify on; a run with writes starts a FILE that does not exist)",
      "a pyxbench verify state of the same --disk, --offset, --size and unit", "",
      [&](const std::string& v) {
        o->verify_state = v;
        return !v.empty();
      });
  flag(nullptr, "verify-only",
       "no workload: read back and check what --verify-state FILE says was written (without "
       "it, all of --size)",
       [&](bool on) { o->verify_only = on; });
  flag(nullptr, "prefill", "write the whole range first (reads then copy data)",
       [&](bool on) { o->prefill = on; });
  opt("Driver:", "crc", "on|off", "is_crc: per-4 KiB CRC32C checks", "", "as configured",
      [&](const std::string& v) {
        bool on;
        if (!ParseOnOff(v, &on)) return false;
        o->crc = on ? 1 : 0;
        return true;
      });
  opt(nullptr, "rpc-timeout-ms", "N", "rpc_timeout", whole(10, 600000), "as configured",
      [&](const std::string& v) {
        uint64_t n;
        if (!ParseUnsigned(v, 10, &n) || n < 10 || n > 600000) return false;
        o->rpc_timeout_ms = static_cast<int64_t>(n);
        return true;
      });
  opt(nullptr, "drivers", "N", "worker_num, the library's I/O drivers", whole(1, 16), "4",
      int_in(1, 16, &o->drivers));
  std::string keys;
  for (const std::string& k : DriverKeyNames()) keys += (keys.empty() ? "" : ", ") + k;
  opt(nullptr, "ini-set", "KEY=VALUE", "another key of the driver's configuration",
      "KEY one of " + keys + ", with a value the driver takes (below)", "",
      [&](const std::string& v) {
        const size_t eq = v.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = v.substr(0, eq);
        const std::vector<std::string>& names = DriverKeyNames();
        if (std::find(names.begin(), names.end(), key) == names.end()) return false;
        const std::string problem = DriverValueProblem(key, v.substr(eq + 1));
        if (!problem.empty()) {
          reason = key + ": allowed " + problem;
          return false;
        }
        o->ini_set[key] = v.substr(eq + 1);
        return true;
      });
  opt("Cluster:", "config", "FILE", "use the cluster FILE names instead of starting one",
      "a readable file", "", [&](const std::string& v) {
        o->config = v;
        struct stat st;
        if (!v.empty() && stat(v.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
          reason = "it is not a file: allowed a readable file (a driver configuration)";
          return false;
        }
        return !v.empty() && access(v.c_str(), R_OK) == 0;
      });
  opt(nullptr, "disk", "NAME", "disk to open", "letters, digits, '.', '_' and '-'", "pyxbench",
      [&](const std::string& v) {
        if (v.empty()) return false;
        for (char c : v) {
          if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') {
            return false;
          }
        }
        o->disk = v;
        return true;
      });
  opt(nullptr, "pyxsim", "PATH", "the cluster program",
      "a program this user may run (a name alone: found in PATH)", "next to pyxbench",
      [&](const std::string& v) {
        o->pyxsim = v;
        if (v.empty()) return false;
        if (v.find('/') == std::string::npos) return true;  // left to PATH, as exec finds it
        struct stat st;
        return stat(v.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(v.c_str(), X_OK) == 0;
      });
  opt(nullptr, "disk-size", "SIZE", "size of the disk made",
      "multiples of 4k up to " + max_disk + ", at least --offset + --size", "size + offset",
      [&](const std::string& v) {
        return ParseSize(v, &o->disk_size) && o->disk_size % 4096 == 0 && o->disk_size > 0 &&
               o->disk_size <= kMaxClusterDisk;
      });
  opt(nullptr, "block-servers", "N", "", whole(1, 64),
      "3; a pyxsim started by hand has 2 unless given --bs 3",
      int_in(1, 64, &o->block_servers));
  opt(nullptr, "volume-managers", "N", "", whole(1, 16), "1; 2 with --faults",
      int_in(1, 16, &o->volume_managers));
  opt(nullptr, "block-masters", "N", "", whole(1, 16), "1; 2 with --faults",
      int_in(1, 16, &o->block_masters));
  opt(nullptr, "sim-threads", "N", "worker threads per block server", whole(1, 64), "2",
      int_in(1, 64, &o->sim_threads));
  flag(nullptr, "faults", "random faults in the cluster while it runs",
       [&](bool on) { o->faults = on; });
  opt(nullptr, "fault-seed", "N", "", "0 to 2^64-1", "1", seed(&o->fault_seed));
  opt(nullptr, "fault-interval-ms", "N", "one cluster event this often", whole(1, 3600000), "500",
      int_in(1, 3600000, &o->fault_interval_ms));
  opt("Host polling:", "poll-spin-max", "N", "spin only with at most N I/O in flight",
      whole(0, 4096), "4", int_in(0, 4096, &o->poll_spin_max));
  opt(nullptr, "poll-spin-us", "N", "then spin this long for an answer", whole(0, 1000000), "100",
      int_in(0, 1000000, &o->poll_spin_us));
  opt(nullptr, "poll-sleep-us", "N", "and nap this long between looks after it",
      whole(1, 1000000), "10", int_in(1, 1000000, &o->poll_sleep_us));
  opt(nullptr, "poll-nap-per-io-us", "N", "with more in flight, nap N us per I/O in flight",
      whole(1, 1000), "6", int_in(1, 1000, &o->poll_nap_per_io_us));
  const std::vector<int> allowed_cpus = AllowedCpus();
  const std::string cpus =
      allowed_cpus.empty()
          ? "CPU numbers 0 to " + std::to_string(kMaxCpus - 1) + ", a range from low to high"
          : "CPUs this process may run on (here " + CpuListText(allowed_cpus) +
                "), a range from low to high";
  auto cpu_list = [&](std::vector<int>* out) {
    return [&, out](const std::string& v) {
      if (!ParseCpuList(v, out, &reason)) return false;
      // A set the kernel would not give (more CPUs than its type holds)
      // leaves the check to the pinning.
      if (allowed_cpus.empty()) return true;
      for (int c : *out) {
        if (std::find(allowed_cpus.begin(), allowed_cpus.end(), c) == allowed_cpus.end()) {
          reason = "CPU " + std::to_string(c) + " is not one this process may run on (" +
                   CpuListText(allowed_cpus) + ")";
          return false;
        }
      }
      return true;
    };
  };
  opt("CPU placement (lists as taskset takes them, e.g. 0-3,6):", "lib-cpus", "LIST",
      "the library's threads run on these CPUs", cpus, "", cpu_list(&o->lib_cpus));
  opt(nullptr, "host-cpus", "LIST", "the host's threads (jobs, main) on these", cpus, "",
      cpu_list(&o->host_cpus));
  flag("Output (everything but --json's object goes to standard error):", "json",
       "one JSON object on standard output", [&](bool on) { o->json = on; });
  opt(nullptr, "progress", "on|off", "a progress line a second, naming the phase", "", "on",
      on_off(&o->progress));
  opt(nullptr, "log-dir", "DIR", "driver and cluster logs", "", "a new temporary folder",
      [&](const std::string& v) { o->log_dir = v; return !v.empty(); });
  flag(nullptr, "keep-logs", "keep that folder even when all went well",
       [&](bool on) { o->keep_logs = on; });
  // fio's options for what pyxbench does anyway: taken, so that a fio
  // command line runs, and refused where they would ask for something else.
  bool ioengine_given = false;
  flag("fio's options, taken where pyxbench does the same:", "time_based",
       "every run is time-based; --time_based=0 is refused", [&](bool on) {
         if (!on) reason = "every pyxbench run is time-based: it runs for --runtime";
       });
  flag(nullptr, "direct", "every I/O goes to the driver, there is no page cache; --direct=0 is "
       "refused", [&](bool on) {
         if (!on) reason = "every pyxbench I/O goes to the driver: there is no page cache";
       });
  opt(nullptr, "ioengine", "NAME",
      "I/O go through the driver's C interface, asynchronously, --iodepth in flight per job "
      "(a note says so)",
      "libaio or io_uring", "", [&](const std::string& v) {
        ioengine_given = true;
        return v == "libaio" || v == "io_uring";
      });
  flag(nullptr, "group_reporting", "the jobs are always reported together", [&](bool on) {
    if (!on) reason = "pyxbench always reports its jobs together";
  });
  opt(nullptr, "rwmixwrite", "PCT", "writes in a mixed workload: --rwmixread 100 - PCT",
      whole(0, 100), "50", [&](const std::string& v) {
        int writes;
        if (!int_in(0, 100, &writes)(v)) return false;
        o->rwmixread = 100 - writes;
        return true;
      });
  opt(nullptr, "eta", "WHEN", "the progress line: always or auto (--progress on), never (off)",
      "always, auto or never", "auto", [&](const std::string& v) {
        if (v != "always" && v != "auto" && v != "never") return false;
        o->progress = v != "never";
        return true;
      });
  flag(nullptr, "thread", "the jobs are always threads of one process", [&](bool on) {
    if (!on) reason = "pyxbench's jobs are always threads of one process";
  });
  opt(nullptr, "output-format", "FORMAT", "",
      "normal (the summary); for one JSON object give --json (pyxbench's own form, not fio's)",
      "normal", [&](const std::string& v) {
        if (v != "normal") return false;
        o->json = false;  // the later value wins: --json --output-format=normal
        return true;
      });

  std::string cluster_only_given;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::string usage = kIntro;
      for (const OptionDef& s : defs) {
        if (s.group != nullptr) usage += std::string("\n") + s.group + "\n";
        usage += UsageLine(s);
      }
      usage += kOutro;
      usage += "\n--ini-set keys and the values the driver takes for them:\n" + DriverKeysHelp();
      fputs(usage.c_str(), stdout);
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
    // fio's options for what pyxbench does another way: that way named.
    static const std::map<std::string, std::string> kOtherWay = {
        {"name",
         "pyxbench runs one job per command line and takes no job names or job files; give "
         "fio's job options directly, for example: pyxbench --rw randread --bs 4k --iodepth 16 "
         "--numjobs 2 --runtime 30"},
        {"filename",
         "pyxbench opens a disk of a cluster, not a file: --disk NAME (with --config FILE for "
         "a cluster of your own)"},
        {"output",
         "pyxbench writes its results to standard output and everything else to standard "
         "error: redirect it (pyxbench --json > r.json)"},
    };
    const auto other = kOtherWay.find(name);
    if (other != kOtherWay.end()) {
      *error = "--" + name + ": " + other->second + " (see --help)";
      return false;
    }
    const OptionDef* found = nullptr;
    for (const OptionDef& s : defs) {
      if (s.name == name) found = &s;
    }
    if (found == nullptr) {
      *error = "unknown option --" + name + " (see --help)";
      return false;
    }
    reason.clear();
    if (std::find(std::begin(kStartedClusterOnly), std::end(kStartedClusterOnly), name) !=
        std::end(kStartedClusterOnly)) {
      cluster_only_given = name;
    }
    if (found->flag) {
      bool on = true;
      // fio takes its boolean options' values as the next argument too
      // (--direct 1); no other argument could follow a flag.
      if (!has_value && i + 1 < argc && ParseOnOff(argv[i + 1], &on)) {
        value = argv[++i];
        has_value = true;
      }
      if (has_value && !ParseOnOff(value, &on)) {
        *error = name == "verify"
                     ? "bad value '" + value + "' for --verify: pyxbench's --verify has no " +
                           "checksum kinds: it compares every read with the bytes last written " +
                           "there; give --verify (or --verify=off)"
                     : "bad value '" + value + "' for --" + name + ": allowed on or off (or " +
                           "--" + name + " alone, for on)";
        return false;
      }
      found->flag(on);
      if (!reason.empty()) {
        *error = "--" + name + (has_value ? "=" + value : "") + ": " + reason;
        return false;
      }
      continue;
    }
    if (!has_value) {
      // No value of any option starts with "--": what follows is the next
      // option (--runtime --json).
      if (i + 1 >= argc || strncmp(argv[i + 1], "--", 2) == 0) {
        *error = "--" + name + " needs a value" +
                 (i + 1 < argc ? " (before " + std::string(argv[i + 1]) + ")" : "") +
                 (found->allowed.empty() ? "" : ": allowed " + found->allowed);
        return false;
      }
      value = argv[++i];
    }
    if (!found->set(value)) {
      *error = "bad value '" + value + "' for --" + name;
      if (!reason.empty()) {
        *error += ": " + reason;
      } else if (!found->allowed.empty()) {
        *error += ": allowed " + found->allowed;
      } else if (found->arg == "on|off") {
        *error += ": allowed on or off";
      } else {
        *error += ": allowed a non-empty " + found->arg;
      }
      return false;
    }
  }

  // Values that depend on each other, checked together.
  if (o->runtime_s < 0.1 && !(o->runtime_s == 0 && o->prefill)) {
    *error = "bad value '" + runtime_given + "' for --runtime: allowed " + runtimes;
    return false;
  }
  if (bs_given && bsrange_given) {
    *error = "--bs and --bsrange both given: give one (--bs for one size, --bsrange for many)";
    return false;
  }
  if (!blockalign_given) o->blockalign = bsrange_given ? 512 : o->bs_min;
  const uint64_t per_job = o->size / o->numjobs / 4096 * 4096;
  if (per_job < o->bs_max) {
    const uint64_t least = (o->bs_max + 4095) / 4096 * 4096 * static_cast<uint64_t>(o->numjobs);
    *error = "bad value '" + SizeText(o->size) + "' for --size: allowed at least one block (" +
             SizeText(o->bs_max) + ") per job in whole 4k shares, here " + SizeText(least) +
             " for --numjobs " + std::to_string(o->numjobs);
    return false;
  }
  if (o->blockalign > per_job) {
    *error = "bad value '" + SizeText(o->blockalign) + "' for --blockalign: allowed a power of " +
             "two from 512 to " + SizeText(kMaxBlockalign) + ", within each job's share of --size" +
             " (here " + SizeText(per_job) + ")";
    return false;
  }
  if (o->config.empty() && o->size > kMaxClusterDisk) {
    *error = "bad value '" + size_given + "' for --size: allowed " + sizes;
    return false;
  }
  if (o->config.empty() && o->offset > kMaxClusterDisk) {
    *error = "bad value '" + offset_given + "' for --offset: allowed " + offsets;
    return false;
  }
  if (o->config.empty() && o->offset + o->size > kMaxClusterDisk) {
    *error = "--offset " + SizeText(o->offset) + " + --size " + SizeText(o->size) +
             " is past the largest disk of the cluster pyxbench starts: allowed at most " +
             max_disk + " together";
    return false;
  }
  if (o->config.empty()) {
    if (o->disk_size != 0 && o->disk_size < o->offset + o->size) {
      *error = "bad value '" + SizeText(o->disk_size) + "' for --disk-size: allowed at least " +
               "--offset + --size (" + SizeText(o->offset + o->size) + ")";
      return false;
    }
  } else if (o->faults) {
    *error = "--faults needs the cluster pyxbench starts: give no --config";
    return false;
  } else if (!cluster_only_given.empty()) {
    *error = "--" + cluster_only_given + " shapes the cluster pyxbench starts and has no " +
             "effect on one given by --config: give no --config, or leave --" +
             cluster_only_given + " out";
    return false;
  }
  if (!o->verify_state.empty() || o->verify_only) o->verify = true;
  if (o->verify_only && o->prefill) {
    *error = "--verify-only runs no workload: give no --prefill";
    return false;
  }
  if (o->verify_only && !o->verify_pass) {
    *error = "--verify-only is the read-back pass: give no --verify_pass off";
    return false;
  }
  if (o->verify && VerifyUnit(*o) < 512) {
    *error = "--verify tracks writes in units dividing every write's offset and length, here " +
             std::to_string(VerifyUnit(*o)) + " bytes (--bs " + SizeText(o->bs_min) +
             ", --blockalign " + SizeText(o->blockalign) + "): allowed at least 512";
    return false;
  }
  // The state holds one grid of units over --size, whatever --numjobs.
  if (!o->verify_state.empty() && per_job % VerifyUnit(*o) != 0) {
    *error = "--verify-state keeps units of " + std::to_string(VerifyUnit(*o)) +
             " bytes on one grid: allowed a --size whose share per job (here " + SizeText(per_job) +
             ") is a multiple of it";
    return false;
  }
  if (o->config.empty() && o->drivers < 0) o->drivers = 4;
  if (ioengine_given) {
    fprintf(stderr,
            "pyxbench: note: --ioengine: pyxbench has one engine, the driver's C interface; "
            "it submits asynchronously, --iodepth in flight per job, as libaio would\n");
  }
  // Fail-overs need a second volume manager and block master.
  if (o->volume_managers == 0) o->volume_managers = o->faults ? 2 : 1;
  if (o->block_masters == 0) o->block_masters = o->faults ? 2 : 1;
  return true;
}

bool ParseEnvironment(Options* out, std::string* error) {
  const char* hang = getenv("PYXBENCH_HANG_S");
  if (hang == nullptr || *hang == '\0') return true;
  double s;
  if (!ParseSeconds(hang, &s) || s < 1 || s > kMaxRuntime) {
    *error = "bad value '" + std::string(hang) + "' for PYXBENCH_HANG_S: allowed 1 to " +
             Num(kMaxRuntime) + " seconds, or with fio's units (500ms, 30s, 2m, 1h, 1d)";
    return false;
  }
  out->hang_s = s;
  return true;
}

bool ParseCpuList(const std::string& text, std::vector<int>* out, std::string* why) {
  std::vector<int> cpus;
  size_t at = 0;
  std::string unused;
  if (why == nullptr) why = &unused;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const size_t dash = item.find('-');
    uint64_t first, last;
    if (dash == std::string::npos) {
      if (!ParseUnsigned(item, 10, &first)) return false;
      last = first;
    } else if (!ParseUnsigned(item.substr(0, dash), 10, &first) ||
               !ParseUnsigned(item.substr(dash + 1), 10, &last)) {
      return false;
    }
    if (last < first) {
      *why = "the range " + item + " runs from high to low: give " + std::to_string(last) + "-" +
             std::to_string(first);
      return false;
    }
    if (last >= static_cast<uint64_t>(kMaxCpus)) return false;
    for (uint64_t c = first; c <= last; ++c) cpus.push_back(static_cast<int>(c));
    at = comma + 1;
  }
  *out = cpus;
  return !cpus.empty();
}

}  // namespace pyxbench
