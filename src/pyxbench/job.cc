#include "job.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "output.h"

namespace pyxbench {

namespace {

constexpr uint64_t kBlock = 4096;
constexpr uint64_t kChunk = 65536;  // prefill and verify-pass I/O size

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t SplitMix(uint64_t* x) { return Mix(*x += 0x9e3779b97f4a7c15ull); }

}  // namespace

uint64_t VerifyStateBytes(const Options& o, uint64_t len) {
  const uint64_t unit = VerifyUnit(o);
  return (len + unit - 1) / unit * sizeof(uint32_t) + (len + kBlock - 1) / kBlock;
}

JobCounts& JobCounts::operator+=(const JobCounts& o) {
  reads += o.reads;
  writes += o.writes;
  read_bytes += o.read_bytes;
  write_bytes += o.write_bytes;
  errors += o.errors;
  read_errors += o.read_errors;
  write_errors += o.write_errors;
  verify_errors += o.verify_errors;
  verified_bytes += o.verified_bytes;
  never_written_bytes += o.never_written_bytes;
  mismatched_blocks += o.mismatched_blocks;
  unknown_blocks += o.unknown_blocks;
  lost += o.lost;
  issued += o.issued;
  return *this;
}

struct Job::Unit {
  Job* job = nullptr;
  uint8_t* buf = nullptr;
  uint64_t offset = 0;  // relative to the job's start
  uint64_t len = 0;
  bool write = false;
  uint32_t id = 0;  // a write's number (verification)
  bool in_flight = false;
  int64_t start_ns = 0;
  bool measured = false;  // issued while the span was measured
};

Job::Job(int index, const Options& options, pyxhost::Disk* disk, JobControl* control,
         uint64_t start, uint64_t len, const JobVerify& verify)
    : index_(index),
      options_(options),
      disk_(disk),
      control_(control),
      start_(start),
      len_(len),
      verify_(verify) {
  uint64_t seed = options.randseed * 1000003 + static_cast<uint64_t>(index);
  rng_[0] = SplitMix(&seed);
  rng_[1] = SplitMix(&seed);
  chunk_ = kChunk;
  if (options_.verify) {
    unit_ = VerifyUnit(options_);
    // The prefill writes whole units too (the stretch's last one may be
    // short: only the prefill reaches it).
    chunk_ = std::max<uint64_t>(1, kChunk / unit_) * unit_;
    ids_ = verify_.units;
    unit_count_ = (len_ + unit_ - 1) / unit_;
    next_id_ = verify_.first_number;
    busy_.assign((len_ + kBlock - 1) / kBlock, 0);
  }
}

Job::~Job() { free(buffers_); }

uint64_t Job::Rand() {
  // xorshift128+
  uint64_t s1 = rng_[0];
  const uint64_t s0 = rng_[1];
  rng_[0] = s0;
  s1 ^= s1 << 23;
  rng_[1] = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
  return rng_[1] + s0;
}

JobCounts Job::counts() const {
  JobCounts c;
  c.reads = reads_.load(std::memory_order_relaxed);
  c.writes = writes_.load(std::memory_order_relaxed);
  c.read_bytes = read_bytes_.load(std::memory_order_relaxed);
  c.write_bytes = write_bytes_.load(std::memory_order_relaxed);
  c.errors = errors_.load(std::memory_order_relaxed);
  c.read_errors = read_errors_.load(std::memory_order_relaxed);
  c.write_errors = write_errors_.load(std::memory_order_relaxed);
  c.verify_errors = verify_errors_.load(std::memory_order_relaxed);
  c.verified_bytes = verified_bytes_.load(std::memory_order_relaxed);
  c.never_written_bytes = never_written_bytes_.load(std::memory_order_relaxed);
  c.mismatched_blocks = mismatched_blocks_.load(std::memory_order_relaxed);
  c.unknown_blocks = unknown_blocks_.load(std::memory_order_relaxed);
  c.lost = lost_.load(std::memory_order_relaxed);
  // Last: never behind the completions read above.
  c.issued = issued_.load(std::memory_order_relaxed);
  return c;
}

pyxhost::Counters Job::host_counters() const { return final_host_; }

bool Job::BlocksFree(uint64_t offset, uint64_t len) const {
  for (uint64_t b = offset / kBlock; b <= (offset + len - 1) / kBlock; ++b) {
    if (busy_[b]) return false;
  }
  return true;
}

void Job::MarkBlocks(uint64_t offset, uint64_t len, uint8_t value) {
  for (uint64_t b = offset / kBlock; b <= (offset + len - 1) / kBlock; ++b) busy_[b] = value;
}

// Chooses the next run I/O of `len` bytes; false when every candidate
// overlaps a block in flight (verification) and the job must wait.
bool Job::Next(Unit* unit, bool write, uint64_t len) {
  unit->write = write;
  unit->len = len;
  if (IsRandom(options_.rw)) {
    const uint64_t align = options_.blockalign;
    const uint64_t slots = (len_ - len) / align + 1;
    for (int attempt = 0; attempt < 8; ++attempt) {
      unit->offset = Rand() % slots * align;
      if (!options_.verify || BlocksFree(unit->offset, len)) return true;
    }
    return false;
  }
  if (seq_pos_ + len > len_) seq_pos_ = 0;
  if (options_.verify && !BlocksFree(seq_pos_, len)) return false;
  unit->offset = seq_pos_;
  seq_pos_ += len;
  return true;
}

bool Job::FillRun(Unit* unit) {
  bool write;
  switch (options_.rw) {
    case RwMode::kRead:
    case RwMode::kRandRead: write = false; break;
    case RwMode::kWrite:
    case RwMode::kRandWrite: write = true; break;
    default: write = static_cast<int>(Rand() % 100) >= options_.rwmixread; break;
  }
  uint64_t len = options_.bs_min;
  if (options_.bs_max > options_.bs_min) {
    const uint64_t steps = (options_.bs_max - options_.bs_min) / 512 + 1;
    len = options_.bs_min + Rand() % steps * 512;
  }
  return Next(unit, write, len);
}

bool Job::FillPrefill(Unit* unit) {
  if (fill_pos_ >= len_) {
    filling_done_ = true;
    return false;
  }
  unit->write = true;
  unit->offset = fill_pos_;
  unit->len = std::min(chunk_, len_ - fill_pos_);
  fill_pos_ += unit->len;
  return true;
}

// What the read-back reads: the units this run's writes last set (those
// of the runs before too with --verify-only), or every one.
bool Job::Written(uint64_t unit) const {
  if (verify_.read_all) return true;
  const uint32_t id = ids_[unit];
  return id != kNeverWritten && id <= kMaxWriteNumber && id >= verify_.first_number;
}

uint64_t Job::WrittenBytes() const {
  uint64_t bytes = 0;
  for (uint64_t u = 0; u < unit_count_; ++u) {
    if (Written(u)) bytes += std::min(unit_, len_ - u * unit_);
  }
  return bytes;
}

// The read-back reads what Written() names, in runs of units of at most a
// chunk.
bool Job::FillVerify(Unit* unit) {
  uint64_t u = fill_pos_ / unit_;
  while (u < unit_count_ && !Written(u)) ++u;
  if (u >= unit_count_) {
    fill_pos_ = len_;
    filling_done_ = true;
    return false;
  }
  const uint64_t from = u * unit_;
  uint64_t to = from;
  while (to < len_ && to - from < chunk_ && Written(to / unit_)) to = std::min(len_, to + unit_);
  unit->write = false;
  unit->offset = from;
  unit->len = to - from;
  fill_pos_ = to;
  return true;
}

bool Job::Issue(Unit* unit) {
  if (unit->write && options_.verify) {
    // Fresh bytes for every write, so that a stale block never reads back
    // as the expected one. Past the last number, blocks are checked by
    // their headers alone.
    unit->id = next_id_ <= kMaxWriteNumber ? next_id_++ : kUnnumbered;
    StampWrite(verify_.run_id, unit->id, start_, unit_, start_ + unit->offset, unit->len,
               unit->buf);
  }
  if (!unit->write && options_.verify) {
    // The buffer may still hold a write of these very units: a read that
    // came back without filling it must not pass for one that did.
    for (uint64_t at = 0; at < unit->len; at += unit_) {
      memset(unit->buf + at, 0xff, std::min<uint64_t>(8, unit->len - at));
    }
  }
  if (options_.verify) MarkBlocks(unit->offset, unit->len, 1);
  unit->start_ns = NowNs();
  unit->measured = control_->measuring.load(std::memory_order_relaxed);
  unit->in_flight = true;
  const uint64_t at = start_ + unit->offset;
  const int rc = unit->write ? channel_->Write(unit->buf, at, unit->len, &Job::OnDone, unit)
                             : channel_->Read(unit->buf, at, unit->len, &Job::OnDone, unit);
  if (rc != 0) {
    if (options_.verify) MarkBlocks(unit->offset, unit->len, 0);
    unit->in_flight = false;
    failure_ = "the host refused an I/O (" + std::to_string(rc) + ")";
    return false;
  }
  depth_.Set(unit->start_ns, ++in_flight_);
  Bump(issued_, uint64_t{1});
  return true;
}

void Job::OnDone(void* arg, int status) {
  Unit* unit = static_cast<Unit*>(arg);
  unit->job->Complete(unit, status);
}

void Job::Complete(Unit* unit, int status) {
  const int64_t now = NowNs();
  const int64_t lat = now - unit->start_ns;
  unit->in_flight = false;
  depth_.Set(now, --in_flight_);
  // Issued in the measured span (its latency counts, however late it
  // comes), or issued in the ramp and completed in the span.
  const bool measured = unit->measured || control_->measuring.load(std::memory_order_relaxed);
  if (status == 0) {
    if (measured) (unit->write ? write_lat_ : read_lat_).Record(static_cast<uint64_t>(lat));
    if (unit->write) {
      Bump(writes_, uint64_t{1});
      Bump(write_bytes_, unit->len);
    } else {
      Bump(reads_, uint64_t{1});
      Bump(read_bytes_, unit->len);
    }
  } else {
    Bump(errors_, uint64_t{1});
    Bump(unit->write ? write_errors_ : read_errors_, uint64_t{1});
    if (unit->write && options_.verify) {
      // The cluster may or may not hold these bytes now.
      SetUnits(unit->offset, unit->len, kUnknown);
    }
  }
  if (status == 0 && options_.verify) {
    if (unit->write) {
      ApplyWrite(unit);
    } else {
      CheckRead(unit);
    }
  }
  if (options_.verify) MarkBlocks(unit->offset, unit->len, 0);
  idle_.push_back(unit);
}

// Every write covers whole units (the last, short one only when it reaches
// the stretch's end).
void Job::SetUnits(uint64_t offset, uint64_t len, uint32_t id) {
  const uint64_t last = (offset + len - 1) / unit_;
  for (uint64_t u = offset / unit_; u <= last; ++u) {
    if (id == kUnknown && ids_[u] != kUnknown) Bump(unknown_blocks_, uint64_t{1});
    ids_[u] = id;
  }
}

void Job::ApplyWrite(const Unit* unit) {
  SetUnits(unit->offset, unit->len, unit->id == kUnnumbered ? kUnknown : unit->id);
}

// Writes the drain gave up on may or may not reach the cluster.
void Job::ForgetInFlightWrites() {
  for (const auto& unit : units_) {
    if (unit->in_flight && unit->write) SetUnits(unit->offset, unit->len, kUnknown);
  }
}

// Every unit the read covers is checked, whoever wrote it.
void Job::CheckRead(const Unit* unit) {
  const uint64_t end = unit->offset + unit->len;
  uint64_t verified = 0, zeros = 0, mismatched = 0;
  std::string what;
  for (uint64_t u = unit->offset / unit_; u * unit_ < end; ++u) {
    const uint64_t from = std::max(unit->offset, u * unit_);
    const uint64_t to = std::min(end, (u + 1) * unit_);
    const uint8_t* got = unit->buf + (from - unit->offset);
    switch (CheckUnit(got, start_ + from, to - from, unit_, ids_[u], *verify_.lineage, &what)) {
      case UnitCheck::kVerified:
        verified += to - from;
        break;
      case UnitCheck::kNeverWritten:
        zeros += to - from;
        break;
      case UnitCheck::kUnchecked:
        break;
      case UnitCheck::kMismatch:
        ++mismatched;
        ListMismatch(unit, from, what);
        break;
    }
  }
  if (verified != 0) Bump(verified_bytes_, verified);
  if (zeros != 0) Bump(never_written_bytes_, zeros);
  if (mismatched != 0) {
    Bump(mismatched_blocks_, mismatched);
    Bump(verify_errors_, uint64_t{1});
  }
}

// Lists the wrong unit at `from` (relative to the job's start) unless this
// job listed it before (the read-back reads it again) or the run listed
// enough; true when listed.
bool Job::ListMismatch(const Unit* unit, uint64_t from, const std::string& what) {
  std::atomic<uint64_t>& listed = control_->mismatches_listed;
  if (listed.load(std::memory_order_relaxed) >= JobControl::kListedMismatches) return false;
  const uint64_t at = from / unit_;
  if (std::find(listed_.begin(), listed_.end(), at) != listed_.end()) return false;
  if (listed.fetch_add(1, std::memory_order_relaxed) >= JobControl::kListedMismatches) {
    return false;
  }
  listed_.push_back(at);
  fprintf(Err(),
          "pyxbench: verify error, job %d: read of %llu bytes at %llu: the unit at %llu holds %s\n",
          index_, static_cast<unsigned long long>(unit->len),
          static_cast<unsigned long long>(start_ + unit->offset),
          static_cast<unsigned long long>(start_ + from), what.c_str());
  return true;
}

void Job::Pump(bool (Job::*fill)(Unit*)) {
  while (!idle_.empty()) {
    Unit* unit = idle_.back();
    if (!(this->*fill)(unit)) break;
    idle_.pop_back();
    if (!Issue(unit)) {
      idle_.push_back(unit);
      break;
    }
  }
}

// Polls until nothing is in flight: at most drain_timeout_s, once the run
// is cut short at most stop_drain_s from then on, and once it is given up
// no longer.
bool Job::DrainChannel() {
  const int64_t start = NowNs();
  int64_t deadline = start + static_cast<int64_t>(control_->drain_timeout_s * 1e9);
  bool cut = false;
  while (channel_->outstanding() != 0) {
    const int64_t now = NowNs();
    if (!cut && control_->stop.load(std::memory_order_acquire)) {
      cut = true;
      deadline = std::min(deadline, now + static_cast<int64_t>(control_->stop_drain_s * 1e9));
    }
    if (now >= deadline || control_->abandon.load(std::memory_order_acquire)) return false;
    channel_->WaitAndPoll(std::min<int64_t>(10000, (deadline - now) / 1000 + 1));
  }
  return true;
}

void Job::Run() {
  tid_.store(static_cast<pid_t>(gettid()), std::memory_order_release);
  depth_.Set(NowNs(), 0);
  pyxhost::Channel::Options copt;
  copt.spin_us = options_.poll_spin_us;
  copt.sleep_us = options_.poll_sleep_us;
  copt.spin_max_outstanding = options_.poll_spin_max;
  copt.nap_per_io_us = options_.poll_nap_per_io_us;
  const uint64_t buf_len = std::max<uint64_t>(options_.bs_max, kChunk);
  channel_.reset(new SplitChannel(disk_, copt, options_.iodepth, buf_len));

  const uint64_t stride = (buf_len + kBlock - 1) / kBlock * kBlock;
  buffers_ = static_cast<uint8_t*>(aligned_alloc(kBlock, stride * options_.iodepth));
  for (uint64_t i = 0; i < stride * options_.iodepth / 8; ++i) {
    reinterpret_cast<uint64_t*>(buffers_)[i] = Rand();
  }
  for (int i = 0; i < options_.iodepth; ++i) {
    units_.emplace_back(new Unit());
    units_.back()->job = this;
    units_.back()->buf = buffers_ + stride * i;
    idle_.push_back(units_.back().get());
  }

  auto wait_phase = [this](Phase p) {
    while (phase() < p) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };

  auto stopped = [this] { return control_->stop.load(std::memory_order_acquire); };
  if (options_.prefill) {
    fill_pos_ = 0;
    filling_done_ = false;
    while (failure_.empty() && (!filling_done_ || channel_->outstanding() != 0)) {
      // Cut short: what is in flight is the drain's (below) to wait for.
      if (stopped()) break;
      Pump(&Job::FillPrefill);
      channel_->WaitAndPoll(1000);
    }
  }
  reached_.store(static_cast<int>(Phase::kPrefill), std::memory_order_release);
  wait_phase(Phase::kRun);
  while (failure_.empty() && phase() == Phase::kRun) {
    Pump(&Job::FillRun);
    channel_->WaitAndPoll(1000);
  }
  if (!DrainChannel()) {
    Bump(lost_, channel_->outstanding());
    if (options_.verify) ForgetInFlightWrites();
  }
  if (options_.verify && options_.verify_pass) {
    read_back_bytes_.store(WrittenBytes(), std::memory_order_release);
  }
  reached_.store(static_cast<int>(Phase::kDrain), std::memory_order_release);
  wait_phase(Phase::kVerify);
  if (options_.verify && options_.verify_pass && control_->read_back.load() &&
      lost_.load() == 0 && failure_.empty() && !stopped()) {
    fill_pos_ = 0;
    filling_done_ = false;
    while (failure_.empty() && (!filling_done_ || channel_->outstanding() != 0)) {
      if (!stopped()) Pump(&Job::FillVerify);
      if (stopped() || (channel_->WaitAndPoll(1000) == 0 && filling_done_)) {
        if (!DrainChannel()) Bump(lost_, channel_->outstanding());
        break;
      }
    }
  }
  final_host_ = channel_->counters();
  // A channel with I/O still in flight stays allocated for the library.
  channel_.reset();
  reached_.store(static_cast<int>(Phase::kDone), std::memory_order_release);
}

}  // namespace pyxbench
