// One pyxbench job: a host thread with its own I/O channel that keeps
// `iodepth` I/O in flight over its own stretch of the disk. An I/O larger
// than the library takes goes to it in pieces (split.h), and is one I/O
// here: in the depth, the counts, the latencies and the checks.
//
// With verification on, every unit a write covers describes itself (see
// verify.h), and the job keeps which write last touched each unit of its
// stretch (VerifyUnit bytes, which divides every write's offset and
// length): 4 bytes a unit, in the run's verify state. It never has two I/O
// in flight on the same 4 KiB block, checks every read, whoever wrote the
// blocks, and at the end reads back what was written (by the prefill or
// the workload; with --verify-only, what the state says was written). A
// write that failed, or was lost, leaves its units unknown (the cluster may
// or may not have stored it) until a later write covers them.
//
// Counts and latencies are of the I/O that succeeded; failed I/O is counted
// apart. An I/O issued while the span is measured has its latency recorded
// whenever it completes, in the drain too.
#ifndef PYXBENCH_JOB_H_
#define PYXBENCH_JOB_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "depth.h"
#include "histogram.h"
#include "options.h"
#include "pyxhost/host.h"
#include "split.h"
#include "verify.h"

namespace pyxbench {

// What the main thread tells the jobs, in this order.
enum class Phase : int {
  kPrefill = 0,  // write the stretch once (with --prefill)
  kRun = 1,      // the workload
  kDrain = 2,    // stop submitting, wait for what is in flight
  kVerify = 3,   // read back what was written (with --verify)
  kDone = 4,
};

struct JobControl {
  std::atomic<int> phase{static_cast<int>(Phase::kPrefill)};
  std::atomic<bool> measuring{false};  // latencies count while set
  // Set when the run is cut short (a signal, the cluster gone): the prefill
  // and the read-back stop, and the drain waits at most stop_drain_s more.
  std::atomic<bool> stop{false};
  // Set when the run is given up (nothing completed for the hang span):
  // the drain stops waiting at once, counting what is in flight as lost.
  std::atomic<bool> abandon{false};
  // Set before kVerify when the read-back runs: only after a drain where
  // every job's I/O ended and no job failed.
  std::atomic<bool> read_back{false};
  double drain_timeout_s = 60;
  double stop_drain_s = 10;
  // Reads with wrong bytes listed on standard error, all jobs together (at
  // most kListedMismatches; may count past it, see Listed()).
  std::atomic<uint64_t> mismatches_listed{0};
  static constexpr uint64_t kListedMismatches = 5;
  uint64_t Listed() const {
    const uint64_t n = mismatches_listed.load(std::memory_order_relaxed);
    return n < kListedMismatches ? n : kListedMismatches;
  }
};

// The bytes of verification state a job over `len` bytes keeps (units of
// VerifyUnit).
uint64_t VerifyStateBytes(const Options& o, uint64_t len);

// Counts of one job; written by its thread only, read by any.
struct JobCounts {
  uint64_t reads = 0, writes = 0;  // succeeded
  uint64_t read_bytes = 0, write_bytes = 0;
  uint64_t errors = 0;         // I/O completed with status -1
  uint64_t read_errors = 0, write_errors = 0;  // ... by direction
  uint64_t verify_errors = 0;  // reads that returned other bytes than written
  uint64_t verified_bytes = 0;       // in units whose header held
  uint64_t never_written_bytes = 0;  // in all-zero units
  uint64_t mismatched_blocks = 0;    // units that held something else
  uint64_t unknown_blocks = 0;  // blocks left unverifiable by failed writes
  uint64_t lost = 0;            // still in flight when the drain gave up
  uint64_t issued = 0;          // handed to the host (each large one once)
  uint64_t ios() const { return reads + writes; }
  // Succeeded or failed: every I/O that came back.
  uint64_t completed() const { return ios() + errors; }
  // Issued and not come back (the counts are read one by one).
  uint64_t in_flight() const { return issued > completed() ? issued - completed() : 0; }
  JobCounts& operator+=(const JobCounts& o);
};

// What a job verifies against: its part of the run's verify state.
struct JobVerify {
  uint64_t run_id = 0;
  const VerifyLineage* lineage = nullptr;
  // Per unit of the job's stretch, the number of the write that last
  // touched it (kNeverWritten, kUnknown or a write's); the job's own while
  // it runs.
  uint32_t* units = nullptr;
  uint32_t first_number = 1;  // this run's writes are numbered from here
  // The read-back reads every unit, not only the written ones (--verify-only
  // without a state file).
  bool read_all = false;
};

class Job {
 public:
  // The job works on [start, start + len) of the disk.
  Job(int index, const Options& options, pyxhost::Disk* disk, JobControl* control, uint64_t start,
      uint64_t len, const JobVerify& verify);
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // The thread body: runs the phases as the control asks.
  void Run();

  // Any thread.
  JobCounts counts() const;
  // The last phase whose work this job has finished (a Phase).
  Phase reached() const { return static_cast<Phase>(reached_.load(std::memory_order_acquire)); }
  // Bytes the read-back pass will read: the units a write of this run (the
  // prefill's too) last set. Known once the job reached Phase::kDrain.
  uint64_t read_back_bytes() const { return read_back_bytes_.load(std::memory_order_acquire); }
  // The I/O in flight over time (any thread), and the job thread's id (0
  // until it runs).
  const DepthMeter& depth() const { return depth_; }
  pid_t tid() const { return tid_.load(std::memory_order_acquire); }
  // After the thread ended.
  const Histogram& read_latency() const { return read_lat_; }
  const Histogram& write_latency() const { return write_lat_; }
  pyxhost::Counters host_counters() const;
  const std::string& failure() const { return failure_; }
  // The number the job's next write would have taken.
  uint32_t next_number() const { return next_id_; }

 private:
  struct Unit;
  static void OnDone(void* arg, int status);
  void Complete(Unit* unit, int status);
  bool Next(Unit* unit, bool write, uint64_t len);
  bool FillRun(Unit* unit);
  bool Issue(Unit* unit);
  void Pump(bool (Job::*fill)(Unit*));
  bool FillPrefill(Unit* unit);
  bool FillVerify(Unit* unit);
  bool Written(uint64_t unit) const;
  uint64_t WrittenBytes() const;
  void CheckRead(const Unit* unit);
  bool ListMismatch(const Unit* unit, uint64_t from, const std::string& what);
  void ApplyWrite(const Unit* unit);
  void SetUnits(uint64_t offset, uint64_t len, uint32_t id);
  void ForgetInFlightWrites();
  bool DrainChannel();
  bool BlocksFree(uint64_t offset, uint64_t len) const;
  void MarkBlocks(uint64_t offset, uint64_t len, uint8_t value);
  uint64_t Rand();
  Phase phase() const {
    return static_cast<Phase>(control_->phase.load(std::memory_order_acquire));
  }
  template <typename T>
  static void Bump(std::atomic<T>& c, T n) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }

  const int index_;
  const Options& options_;
  pyxhost::Disk* disk_;
  JobControl* control_;
  const uint64_t start_;
  const uint64_t len_;
  uint64_t rng_[2];
  uint64_t seq_pos_ = 0;   // next offset of sequential I/O, relative
  uint64_t fill_pos_ = 0;  // next offset of the prefill / verify pass
  bool filling_done_ = false;

  // Parents of up to --bs or --bsrange's largest, split for the host's
  // module as its block layer would.
  std::unique_ptr<SplitChannel> channel_;
  std::vector<std::unique_ptr<Unit>> units_;
  std::vector<Unit*> idle_;
  uint8_t* buffers_ = nullptr;

  // Verification state, relative to start_: per unit the number of the
  // write that last touched it (ids_, of verify_.units), and per 4 KiB
  // block whether an I/O is in flight on it.
  JobVerify verify_;
  uint64_t unit_ = 0;
  uint64_t chunk_ = 0;  // prefill and read-back I/O size
  uint32_t next_id_ = 1;
  uint32_t* ids_ = nullptr;
  uint64_t unit_count_ = 0;
  std::vector<uint8_t> busy_;
  // The units this job listed as wrong: a later read of the same unit (the
  // read-back's) is not listed again.
  std::vector<uint64_t> listed_;
  std::atomic<uint64_t> read_back_bytes_{0};

  Histogram read_lat_, write_lat_;
  uint32_t in_flight_ = 0;  // as the depth meter counts them
  DepthMeter depth_;
  std::atomic<pid_t> tid_{0};
  std::atomic<uint64_t> reads_{0}, writes_{0}, read_bytes_{0}, write_bytes_{0}, errors_{0},
      read_errors_{0}, write_errors_{0}, verify_errors_{0}, verified_bytes_{0},
      never_written_bytes_{0}, mismatched_blocks_{0}, unknown_blocks_{0}, lost_{0}, issued_{0};
  std::atomic<int> reached_{-1};
  pyxhost::Counters final_host_;
  std::string failure_;
};

}  // namespace pyxbench

#endif  // PYXBENCH_JOB_H_
