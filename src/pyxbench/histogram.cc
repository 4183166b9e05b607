#include "histogram.h"

#include <algorithm>

namespace pyxbench {

int Histogram::BucketOf(uint64_t v) {
  constexpr uint64_t kSub = 1u << kSubBits;
  if (v < 2 * kSub) return static_cast<int>(v);
  const int msb = 63 - __builtin_clzll(v);
  const int shift = msb - kSubBits;
  // (v >> shift) lies in [kSub, 2 kSub).
  return static_cast<int>(shift * kSub + (v >> shift));
}

uint64_t Histogram::BucketLow(int bucket) {
  constexpr int kSub = 1 << kSubBits;
  if (bucket < 2 * kSub) return static_cast<uint64_t>(bucket);
  const int shift = bucket / kSub - 1;
  const uint64_t mantissa = static_cast<uint64_t>(bucket - shift * kSub);
  return mantissa << shift;
}

void Histogram::Record(uint64_t value) {
  ++buckets_[BucketOf(value)];
  ++count_;
  sum_ += value;
  min_ = std::min(min_, value);
  max_ = std::max(max_, value);
}

void Histogram::Merge(const Histogram& o) {
  for (int i = 0; i < kBuckets; ++i) buckets_[i] += o.buckets_[i];
  count_ += o.count_;
  sum_ += o.sum_;
  min_ = std::min(min_, o.min_);
  max_ = std::max(max_, o.max_);
}

uint64_t Histogram::Percentile(double fraction) const {
  if (count_ == 0) return 0;
  const double want = fraction * static_cast<double>(count_);
  uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += buckets_[i];
    if (buckets_[i] != 0 && static_cast<double>(seen) >= want) {
      // The middle of the bucket, kept within what was seen.
      const uint64_t low = BucketLow(i);
      const uint64_t high = i + 1 < kBuckets ? BucketLow(i + 1) : low;
      return std::clamp((low + high) / 2, min(), max_);
    }
  }
  return max_;
}

}  // namespace pyxbench
