#include "io/stats_pool.h"

#include "spdk/env.h"
#include "tarn/base/logging.h"

namespace pyx {

StatsPool::StatsPool(size_t count)
    : count_(count), records_(new bdev_pyx_io_stats[count]()) {
  free_ = spdk_ring_create(SPDK_RING_TYPE_MP_MC, count, SPDK_ENV_SOCKET_ID_ANY);
  if (free_ == nullptr) LOG_FATAL << "cannot create the free ring of " << count << " I/O records";
  for (size_t i = 0; i < count; ++i) {
    void* p = &records_[i];
    spdk_ring_enqueue(free_, &p, 1, nullptr);
  }
}

StatsPool::~StatsPool() {
  const size_t left = spdk_ring_count(free_);
  if (left != count_) {
    LOG_ERROR << count_ - left << " I/O timing records still out when their pool goes";
  }
  spdk_ring_free(free_);
}

bdev_pyx_io_stats* StatsPool::Take() {
  void* p = nullptr;
  if (spdk_ring_dequeue(free_, &p, 1) == 1) {
    auto* stats = static_cast<bdev_pyx_io_stats*>(p);
    *stats = bdev_pyx_io_stats{0, 0};
    return stats;
  }
  return new bdev_pyx_io_stats{0, 0};
}

void StatsPool::Give(bdev_pyx_io_stats* stats) {
  if (stats == nullptr) return;
  if (!Owns(stats)) {
    delete stats;
    return;
  }
  void* p = stats;
  // Never full: the ring holds every record of the pool.
  spdk_ring_enqueue(free_, &p, 1, nullptr);
}

size_t StatsPool::free_count() const { return spdk_ring_count(free_); }

}  // namespace pyx
