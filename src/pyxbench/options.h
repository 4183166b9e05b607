// pyxbench's command line, with fio's option names where fio has one.
#ifndef PYXBENCH_OPTIONS_H_
#define PYXBENCH_OPTIONS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pyxbench {

enum class RwMode { kRead, kWrite, kRandRead, kRandWrite, kRandRw, kRw };

// The largest disk the cluster pyxbench starts can make (its routes cover
// at most 8192 planes of 16 MiB): --offset + --size and --disk-size.
constexpr uint64_t kMaxClusterDisk = 128ull << 30;
// --offset and --size each, with --config (far from wrapping when added).
constexpr uint64_t kMaxGivenDisk = 1ull << 60;

struct Options {
  // Workload.
  RwMode rw = RwMode::kRandRw;
  int rwmixread = 50;             // percent of reads in rw / randrw
  uint64_t bs_min = 4096;         // --bs N, or --bsrange MIN-MAX
  uint64_t bs_max = 4096;
  uint64_t blockalign = 0;        // offset alignment; 0: fio's default
  int iodepth = 1;
  int numjobs = 1;                // host threads, one channel each
  double runtime_s = 10;
  double ramp_time_s = 0;         // run, but not counted
  uint64_t size = 256ull << 20;   // bytes of the disk the jobs use
  uint64_t offset = 0;            // where that range starts
  uint64_t randseed = 0x5eed;
  bool verify = false;            // every read checked against what was written
  bool verify_pass = true;        // with verify: read everything back at the end
  bool prefill = false;           // write the whole range before the run
  // --verify-state FILE: what the run last wrote to each unit, loaded at
  // the start and saved at the end. --verify-only: no workload, read back
  // what FILE (or, without one, all of --size) says was written. Each
  // turns --verify on.
  std::string verify_state;
  bool verify_only = false;

  // Driver configuration (kept as the config file has it unless given).
  int crc = -1;                   // --crc on|off: is_crc; -1 untouched
  int64_t rpc_timeout_ms = -1;    // -1 untouched
  int drivers = -1;               // worker_num; -1 untouched (cluster mode: 4)
  std::map<std::string, std::string> ini_set;  // --ini-set KEY=VALUE, any key

  // Cluster.
  std::string config;             // --config FILE: use that cluster
  std::string disk = "pyxbench";  // --disk NAME
  std::string pyxsim;             // --pyxsim PATH (default: beside this program)
  uint64_t disk_size = 0;         // cluster mode: size of the disk made; 0: size+offset
  int block_servers = 3;
  int volume_managers = 0;        // 0: 1, or 2 with --faults (fail-overs)
  int block_masters = 0;          // likewise
  int sim_threads = 2;            // worker threads per block server
  bool faults = false;            // random faults in the cluster (soak)
  uint64_t fault_seed = 1;
  int fault_interval_ms = 500;    // one cluster event this often

  // Host polling.
  int poll_spin_us = 100;
  int poll_sleep_us = 10;
  int poll_spin_max = 4;          // spin only with this many I/O in flight or fewer
  int poll_nap_per_io_us = 6;

  // CPU placement (CPU lists as taskset takes them, "0-3,6"): the library's
  // threads, and the host's (the jobs' submitting and polling threads and
  // the main thread). Empty: left where the system puts them.
  std::vector<int> lib_cpus;
  std::vector<int> host_cpus;

  // Output.
  bool json = false;
  bool progress = true;
  std::string log_dir;            // driver and cluster logs; default: a temp dir
  bool keep_logs = false;

  // Environment.
  double hang_s = 600;            // PYXBENCH_HANG_S: no completion this long is a hang
};

// Parses argv into `out` and checks every value against its stated limit
// (the one --help states). On a bad option returns false with the reason
// in `error` (naming the option, the value and what is allowed); on --help
// prints usage to stdout and returns false with error "".
bool ParseOptions(int argc, char** argv, Options* out, std::string* error);
// Reads and checks what the environment sets (PYXBENCH_HANG_S); false with
// the reason in `error` for a value outside its limit.
bool ParseEnvironment(Options* out, std::string* error);

// "0-3,6" -> {0, 1, 2, 3, 6}; false when not such a list of CPU numbers
// (with why, when given and more can be said than that: "3-1" runs from
// high to low).
bool ParseCpuList(const std::string& text, std::vector<int>* out, std::string* why = nullptr);

// "4k" -> 4096, "1536" -> 1536, "1m" -> 1048576, "1t"; false when not a
// size or past 2^64 - 1.
bool ParseSize(const std::string& text, uint64_t* out);
// 4096 -> "4k", 1536 -> "1536", 1 << 30 -> "1g".
std::string SizeText(uint64_t bytes);

// The size of the units --verify tracks: it divides every write's offset
// and length within a job's share of --size.
uint64_t VerifyUnit(const Options& o);

const char* RwName(RwMode rw);
bool IsRandom(RwMode rw);
bool HasReads(RwMode rw);
bool HasWrites(RwMode rw);

}  // namespace pyxbench

#endif  // PYXBENCH_OPTIONS_H_
