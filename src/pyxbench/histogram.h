// Latency histogram: log-linear buckets (64 per power of two, about 1.5 %
// apart), fixed size, no allocation when recording.
#ifndef PYXBENCH_HISTOGRAM_H_
#define PYXBENCH_HISTOGRAM_H_

#include <array>
#include <cstdint>

namespace pyxbench {

class Histogram {
 public:
  void Record(uint64_t value);
  void Merge(const Histogram& other);
  uint64_t count() const { return count_; }
  uint64_t min() const { return count_ == 0 ? 0 : min_; }
  uint64_t max() const { return max_; }
  double mean() const { return count_ == 0 ? 0 : static_cast<double>(sum_) / count_; }
  // The value below which `fraction` (0..1) of the recorded values lie,
  // within a bucket's width; 0 when empty.
  uint64_t Percentile(double fraction) const;

 private:
  static constexpr int kSubBits = 6;
  static constexpr int kBuckets = (64 - kSubBits) * (1 << kSubBits) + (1 << kSubBits);
  static int BucketOf(uint64_t value);
  static uint64_t BucketLow(int bucket);

  std::array<uint64_t, kBuckets> buckets_{};
  uint64_t count_ = 0;
  uint64_t sum_ = 0;
  uint64_t min_ = UINT64_MAX;
  uint64_t max_ = 0;
};

}  // namespace pyxbench

#endif  // PYXBENCH_HISTOGRAM_H_
