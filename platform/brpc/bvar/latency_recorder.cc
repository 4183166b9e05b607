#include "bvar/latency_recorder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>

#include "bvar/detail/cells.h"
#include "bvar/detail/sampler.h"

namespace bvar {
namespace detail {
namespace {

// Histogram layout: values below 16 have a bucket each; above, every power
// of two [2^e, 2^(e+1)) is split into 8 equal buckets, up to e = 40.
constexpr int kExact = 16;
constexpr int kSubBits = 3;
constexpr int kSub = 1 << kSubBits;
constexpr int kMinExp = 4;
constexpr int kMaxExp = 40;
constexpr int kBuckets = kExact + (kMaxExp - kMinExp + 1) * kSub;
constexpr size_t kLatencyStripes = 8;

int bucket_of(int64_t v) {
  if (v < kExact) return v < 0 ? 0 : static_cast<int>(v);
  const int e = 63 - __builtin_clzll(static_cast<uint64_t>(v));
  if (e > kMaxExp) return kBuckets - 1;
  const int sub = static_cast<int>((v >> (e - kSubBits)) & (kSub - 1));
  return kExact + (e - kMinExp) * kSub + sub;
}

// The middle of a bucket's range.
int64_t bucket_value(int b) {
  if (b < kExact) return b;
  const int e = kMinExp + (b - kExact) / kSub;
  const int64_t sub = (b - kExact) % kSub;
  const int64_t width = int64_t{1} << (e - kSubBits);
  return (kSub + sub) * width + width / 2;
}

typedef std::array<uint64_t, kBuckets> Histogram;

struct Snapshot {
  int64_t ns = 0;
  int64_t count = 0;
  int64_t sum = 0;
  int64_t max = 0;  // largest record since the previous snapshot
  Histogram buckets{};
};

}  // namespace

class LatencyCore final : public Sampled {
 public:
  explicit LatencyCore(time_t window_size)
      : window_(window_size > 0 ? static_cast<size_t>(window_size)
                                : static_cast<size_t>(kDefaultWindowSeconds)) {
    for (Stripe& s : stripes_) {
      s.count.store(0, std::memory_order_relaxed);
      s.sum.store(0, std::memory_order_relaxed);
      s.max.store(0, std::memory_order_relaxed);
      for (auto& b : s.buckets) b.store(0, std::memory_order_relaxed);
    }
    samples_.push_back(Snapshot());
    samples_.back().ns = monotonic_ns();
    schedule_sampling(this);
  }
  ~LatencyCore() { unschedule_sampling(this); }

  void record(int64_t v) {
    Stripe& s = stripes_[thread_stripe() & (kLatencyStripes - 1)];
    s.count.fetch_add(1, std::memory_order_relaxed);
    s.sum.fetch_add(v, std::memory_order_relaxed);
    atomic_max(&s.max, v);
    s.buckets[bucket_of(v)].fetch_add(1, std::memory_order_relaxed);
  }

  void take_sample() override {
    Snapshot snap;
    collect(&snap, true, true);
    std::lock_guard<std::mutex> lock(mu_);
    samples_.push_back(snap);
    while (samples_.size() > window_ + 1) samples_.pop_front();
  }

  int64_t count() const {
    int64_t n = 0;
    for (const Stripe& s : stripes_) n += s.count.load(std::memory_order_relaxed);
    return n;
  }

  int64_t qps() const {
    std::lock_guard<std::mutex> lock(mu_);
    Snapshot newest;
    const Snapshot& oldest = span(&newest, false);
    const double seconds = static_cast<double>(newest.ns - oldest.ns) / 1e9;
    if (seconds <= 0) return 0;
    return std::llround(static_cast<double>(newest.count - oldest.count) / seconds);
  }

  int64_t latency() const {
    std::lock_guard<std::mutex> lock(mu_);
    Snapshot newest;
    const Snapshot& oldest = span(&newest, false);
    const int64_t n = newest.count - oldest.count;
    return n <= 0 ? 0 : (newest.sum - oldest.sum) / n;
  }

  int64_t max_latency() const {
    std::lock_guard<std::mutex> lock(mu_);
    if (samples_.size() == 1) {
      Snapshot live;
      collect(&live, false, false);
      return live.max;
    }
    int64_t best = 0;
    for (size_t i = 1; i < samples_.size(); ++i) best = std::max(best, samples_[i].max);
    return best;
  }

  int64_t percentile(double ratio) const {
    std::lock_guard<std::mutex> lock(mu_);
    Snapshot newest;
    const Snapshot& oldest = span(&newest, true);
    uint64_t total = 0;
    for (int b = 0; b < kBuckets; ++b) total += newest.buckets[b] - oldest.buckets[b];
    if (total == 0) return 0;
    ratio = std::min(std::max(ratio, 0.0), 1.0);
    const uint64_t rank = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(ratio * static_cast<double>(total))));
    uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
      seen += newest.buckets[b] - oldest.buckets[b];
      if (seen >= rank) return bucket_value(b);
    }
    return bucket_value(kBuckets - 1);
  }

  time_t window_size() const { return static_cast<time_t>(window_); }

 private:
  struct alignas(kCacheLine) Stripe {
    std::atomic<int64_t> count;
    std::atomic<int64_t> sum;
    std::atomic<int64_t> max;
    std::atomic<uint64_t> buckets[kBuckets];
  };

  // Sums the stripes; `reset_max` starts a new interval for the maximum.
  void collect(Snapshot* snap, bool with_buckets, bool reset_max) const {
    snap->ns = monotonic_ns();
    for (Stripe& s : stripes_) {
      snap->count += s.count.load(std::memory_order_relaxed);
      snap->sum += s.sum.load(std::memory_order_relaxed);
      const int64_t m = reset_max ? s.max.exchange(0, std::memory_order_relaxed)
                                  : s.max.load(std::memory_order_relaxed);
      snap->max = std::max(snap->max, m);
      if (!with_buckets) continue;
      for (int b = 0; b < kBuckets; ++b) {
        snap->buckets[b] += s.buckets[b].load(std::memory_order_relaxed);
      }
    }
  }

  // The window's end points: returns the oldest snapshot and fills
  // `*newest` with the latest one (or live values before the first
  // sample). Called with mu_ held.
  const Snapshot& span(Snapshot* newest, bool with_buckets) const {
    if (samples_.size() > 1) {
      *newest = samples_.back();
    } else {
      collect(newest, with_buckets, false);
    }
    return samples_.front();
  }

  const size_t window_;
  // Mutable so that const readers can sum them; only the sampler resets.
  mutable Stripe stripes_[kLatencyStripes];
  mutable std::mutex mu_;
  std::deque<Snapshot> samples_;  // oldest first, at most window_ + 1
};

}  // namespace detail

namespace {

template <typename F>
std::function<int64_t()> view(const detail::LatencyCore* core, F f) {
  return [core, f] { return f(*core); };
}

}  // namespace

LatencyRecorder::LatencyRecorder(time_t window_size)
    : core_(new detail::LatencyCore(window_size)),
      count_(view(core_.get(), [](const detail::LatencyCore& c) { return c.count(); })),
      qps_(view(core_.get(), [](const detail::LatencyCore& c) { return c.qps(); })),
      latency_(view(core_.get(), [](const detail::LatencyCore& c) { return c.latency(); })),
      max_latency_(view(core_.get(),
                        [](const detail::LatencyCore& c) { return c.max_latency(); })),
      p50_(view(core_.get(), [](const detail::LatencyCore& c) { return c.percentile(0.5); })),
      p90_(view(core_.get(), [](const detail::LatencyCore& c) { return c.percentile(0.9); })),
      p99_(view(core_.get(), [](const detail::LatencyCore& c) { return c.percentile(0.99); })),
      p999_(view(core_.get(),
                 [](const detail::LatencyCore& c) { return c.percentile(0.999); })) {}

LatencyRecorder::LatencyRecorder(const std::string& prefix, time_t window_size)
    : LatencyRecorder(window_size) {
  expose_as("", prefix);
}

LatencyRecorder::LatencyRecorder(const std::string& prefix, const std::string& name,
                                 time_t window_size)
    : LatencyRecorder(window_size) {
  expose_as(prefix, name);
}

LatencyRecorder::~LatencyRecorder() { hide(); }

LatencyRecorder& LatencyRecorder::operator<<(int64_t latency) {
  core_->record(latency);
  return *this;
}

int64_t LatencyRecorder::latency() const { return core_->latency(); }
int64_t LatencyRecorder::max_latency() const { return core_->max_latency(); }
int64_t LatencyRecorder::qps() const { return core_->qps(); }
int64_t LatencyRecorder::count() const { return core_->count(); }
int64_t LatencyRecorder::latency_percentile(double ratio) const {
  return core_->percentile(ratio);
}
time_t LatencyRecorder::window_size() const { return core_->window_size(); }

int LatencyRecorder::expose_as(const std::string& prefix, const std::string& name,
                               DisplayFilter filter) {
  struct Part {
    PassiveStatus<int64_t>* var;
    const char* suffix;
  };
  const Part parts[] = {
      {&count_, "_count"},           {&qps_, "_qps"},
      {&latency_, "_latency"},       {&max_latency_, "_max_latency"},
      {&p50_, "_latency_50"},        {&p90_, "_latency_90"},
      {&p99_, "_latency_99"},        {&p999_, "_latency_999"},
  };
  int rc = 0;
  for (const Part& p : parts) {
    if (p.var->expose_as(prefix, name + p.suffix, filter) != 0) rc = -1;
  }
  return rc;
}

void LatencyRecorder::hide() {
  count_.hide();
  qps_.hide();
  latency_.hide();
  max_latency_.hide();
  p50_.hide();
  p90_.hide();
  p99_.hide();
  p999_.hide();
}

}  // namespace bvar
