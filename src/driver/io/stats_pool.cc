#include "io/stats_pool.h"

#include <algorithm>

#include "tarn/base/logging.h"

namespace pyx {

namespace {

constexpr uint64_t Pack(uint64_t tag, uint32_t index) { return tag << 32 | index; }
constexpr uint32_t IndexOf(uint64_t head) { return static_cast<uint32_t>(head); }
constexpr uint64_t TagOf(uint64_t head) { return head >> 32; }

}  // namespace

StatsPool::StatsPool(size_t count)
    : count_(static_cast<uint32_t>(std::min<size_t>(count, kNil - 1))),
      records_(new bdev_pyx_io_stats[count_]()),
      next_(new std::atomic<uint32_t>[count_]) {
  for (uint32_t i = 0; i < count_; ++i) {
    next_[i].store(i + 1 < count_ ? i + 1 : kNil, std::memory_order_relaxed);
  }
  head_.store(Pack(0, count_ > 0 ? 0 : kNil), std::memory_order_release);
}

StatsPool::~StatsPool() {
  const size_t left = free_count();
  if (left != count_) {
    LOG_ERROR << count_ - left << " I/O timing records still out when their pool goes";
  }
}

bdev_pyx_io_stats* StatsPool::Take() {
  uint64_t head = head_.load(std::memory_order_acquire);
  for (;;) {
    const uint32_t index = IndexOf(head);
    if (index == kNil) return new bdev_pyx_io_stats{0, 0};
    // Read before the exchange: should another thread take this record
    // (and maybe give it back) meanwhile, the tag has moved, the exchange
    // fails and a stale successor is never installed.
    const uint32_t next = next_[index].load(std::memory_order_relaxed);
    if (head_.compare_exchange_weak(head, Pack(TagOf(head) + 1, next), std::memory_order_acquire,
                                    std::memory_order_acquire)) {
      bdev_pyx_io_stats* stats = &records_[index];
      *stats = bdev_pyx_io_stats{0, 0};
      return stats;
    }
  }
}

void StatsPool::Give(bdev_pyx_io_stats* stats) {
  if (stats == nullptr) return;
  if (!Owns(stats)) {
    delete stats;
    return;
  }
  const uint32_t index = static_cast<uint32_t>(stats - records_.get());
  uint64_t head = head_.load(std::memory_order_relaxed);
  for (;;) {
    next_[index].store(IndexOf(head), std::memory_order_relaxed);
    if (head_.compare_exchange_weak(head, Pack(TagOf(head) + 1, index), std::memory_order_release,
                                    std::memory_order_relaxed)) {
      return;
    }
  }
}

size_t StatsPool::free_count() const {
  size_t n = 0;
  for (uint32_t i = IndexOf(head_.load(std::memory_order_acquire)); i != kNil && n < count_;
       i = next_[i].load(std::memory_order_relaxed)) {
    ++n;
  }
  return n;
}

}  // namespace pyx
