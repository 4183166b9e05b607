// What pyxbench checks before and around the start of a run, so that a run
// that cannot work is refused with its reason instead of failing later with
// a vaguer one: the memory the run needs, the driver configuration given by
// --config, whether its volume managers can be reached, and, when a disk
// did not open, what the driver's log says about it.
#ifndef PYXBENCH_PREFLIGHT_H_
#define PYXBENCH_PREFLIGHT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace pyxbench {

// Bytes of memory the system can still give this process: what the kernel
// calls available, and no more than a cgroup's limit leaves.
uint64_t AvailableMemory();

// What the run holds in memory, in bytes.
struct MemoryNeed {
  uint64_t verify_state = 0;     // --verify's state, all jobs
  uint64_t buffers = 0;          // the jobs' I/O buffers
  uint64_t cluster_program = 0;  // the started cluster's own: its threads, the I/O it holds
  uint64_t cluster = 0;          // the started cluster's copy of what is written
  uint64_t total() const { return verify_state + buffers + cluster_program + cluster; }
};
// `per_job`: each job's share of --size, in bytes.
MemoryNeed MemoryNeeded(const Options& o, uint64_t per_job);
// The budget of written blocks (pyxsim --memory-budget, which counts 4 KiB
// a block) that fits in `bytes` of memory for the blocks.
uint64_t ClusterBlockBudget(uint64_t bytes);
// The message refusing a run that needs `need` with `available` bytes.
std::string MemoryRefusal(const Options& o, const MemoryNeed& need, uint64_t available);

// The value of `key` in the "ORLA" sections of an INI text ("" when absent).
std::string IniValue(const std::string& ini, const std::string& key);

// "" when `text` (read from `path`) can be a driver configuration, else why
// not: no [ORLA] section, or no volume manager named.
std::string ConfigProblem(const std::string& path, const std::string& text);

// "" when a volume manager the configuration names takes a TCP connection
// (within timeout_s each), else which could not be reached and why.
std::string UnreachableVolumeManagers(const std::string& ini, double timeout_s);

// The volume managers an INI text names, "ip:port" each (paired by
// position; one port for all when only one is given).
std::vector<std::string> VolumeManagers(const std::string& ini);
// "the volume managers at 10.0.0.1:4000, 10.0.0.2:4000, rpc_timeout 10000 ms"
std::string VolumeManagersText(const std::string& ini);

// After a disk failed to open: what the driver's log in `log_dir` says
// ("" when it says nothing pyxbench recognises). `ini`: the driver's
// configuration, naming where the cluster is.
std::string DriverLogReason(const std::string& log_dir, const std::string& disk,
                            const std::string& ini);

// The files the driver logs to under the configuration `ini`: first what
// went to standard output (`log_dir`/stdio.log), then this process's
// LOG_FILE.* where its log_file puts them (`log_dir`/pyxdriver by default).
std::vector<std::string> DriverLogFiles(const std::string& log_dir, const std::string& ini);

// Why the library refused to start, as lines to follow a colon: the ERROR
// lines it logged (waiting up to wait_s for them to land), each once; of
// many the first (the cause) and the last (the outcome). When it logged
// none, why none, or where pyxbench looked and what it warned of: never "".
std::string LibraryStartErrors(const std::string& log_dir, const std::string& ini,
                               double wait_s);

// After a run with errors: why the cluster refused writes, as the cluster
// pyxbench started said in its log (`log_dir`/pyxsim.out, when
// `started_cluster`), else as the driver's log (where `ini` puts it) has
// the first refused write's answer; "" when neither says.
std::string RefusedWritesReason(const std::string& log_dir, const std::string& ini,
                                bool started_cluster);

}  // namespace pyxbench

#endif  // PYXBENCH_PREFLIGHT_H_
