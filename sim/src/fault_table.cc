#include "fault_table.h"

namespace pyxsim {

namespace {

// Codes a block server gives for passing trouble; the driver retries them.
constexpr int kRetryableCodes[] = {-12001, -12016, -12018, -12006, -12007};

bool ReadOnlyFault(IoFault fault) { return fault != IoFault::kStaleTerm; }

}  // namespace

void FaultTable::Add(Role role, int index, const std::string& method, const Verdict& verdict,
                     int times) {
  if (times == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{role, index, method, verdict, times < 0 ? -1 : times});
  active_.fetch_add(1, std::memory_order_relaxed);
}

void FaultTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  active_.fetch_sub(static_cast<int>(rules_.size()), std::memory_order_relaxed);
  rules_.clear();
}

int FaultTable::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(rules_.size());
}

bool FaultTable::Matches(const Rule& rule, Role role, int index, const std::string& method) {
  if (rule.role != role) return false;
  if (rule.index != Faults::kAnyServer && rule.index != index) return false;
  if (!rule.method.empty() && rule.method != method) return false;
  if (rule.verdict.kind == Verdict::kIoFault) {
    if (method != "Read" && method != "Write") return false;
    if (ReadOnlyFault(rule.verdict.io_fault) && method != "Read") return false;
  }
  return true;
}

Verdict FaultTable::Decide(Role role, int index, const std::string& method) {
  if (active_.load(std::memory_order_relaxed) == 0) return Verdict();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = rules_.begin(); it != rules_.end(); ++it) {
    if (!Matches(*it, role, index, method)) continue;
    const Verdict verdict = it->verdict;
    if (it->remaining > 0 && --it->remaining == 0) {
      rules_.erase(it);
      active_.fetch_sub(1, std::memory_order_relaxed);
    }
    return verdict;
  }
  return random_on_ ? DecideRandom(role, method) : Verdict();
}

Verdict FaultTable::DecideRandom(Role role, const std::string& method) {
  Verdict verdict;
  if (role != Role::kBlockServer || (method != "Read" && method != "Write")) return verdict;
  const double x = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
  double edge = rates_.retcode;
  if (x < edge) {
    verdict.kind = Verdict::kRetcode;
    verdict.retcode = kRetryableCodes[rng_() % (sizeof(kRetryableCodes) / sizeof(int))];
    ++stats_.retcodes;
    return verdict;
  }
  edge += rates_.delay;
  if (x < edge && rates_.delay_ms > 0) {
    verdict.kind = Verdict::kDelay;
    verdict.delay_ms = rates_.delay_ms;
    ++stats_.delays;
    return verdict;
  }
  edge += rates_.close;
  if (x < edge) {
    verdict.kind = Verdict::kClose;
    ++stats_.closes;
  }
  return verdict;
}

void FaultTable::StartRandom(uint64_t seed, const RandomFaultRates& rates) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!random_on_) active_.fetch_add(1, std::memory_order_relaxed);
  random_on_ = true;
  rates_ = rates;
  rng_.seed(seed);
  stats_ = RandomFaultStats();
}

void FaultTable::StopRandom() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (random_on_) active_.fetch_sub(1, std::memory_order_relaxed);
  random_on_ = false;
}

bool FaultTable::random_on() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return random_on_;
}

RandomFaultRates FaultTable::random_rates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rates_;
}

uint64_t FaultTable::Draw() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rng_();
}

RandomFaultStats FaultTable::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

void FaultTable::CountEvent(uint64_t RandomFaultStats::*field) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++(stats_.*field);
}

}  // namespace pyxsim
