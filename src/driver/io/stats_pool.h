// StatsPool: the timing records (bdev_pyx_io_stats) of one driver's I/O.
//
// A record crosses threads with its I/O: send_pyx_io takes it on a host
// thread, the driver's loop gives it back at the completion step (or
// send_pyx_io itself does, when the I/O never reached the loop). Between
// the two the record belongs to the I/O. The pool owns the records in one
// array and keeps the free ones on a lock-free multi-producer,
// multi-consumer ring, so taking and giving back need no lock and no heap
// on any thread; the ring's release and acquire order a record's last use
// before its next.
//
// The pool is bounded. When every record is out, Take falls back to the
// heap, and Give deletes whatever is not one of the pool's records (tests
// and tools hand the driver records of their own).
#ifndef PYXDRIVER_IO_STATS_POOL_H_
#define PYXDRIVER_IO_STATS_POOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pyxdriver/pyxdriver.h"

struct spdk_ring;

namespace pyx {

class StatsPool {
 public:
  explicit StatsPool(size_t count);
  // Every record taken must have come back.
  ~StatsPool();
  StatsPool(const StatsPool&) = delete;
  StatsPool& operator=(const StatsPool&) = delete;

  // Any thread: a record {0, 0}; never null.
  bdev_pyx_io_stats* Take();
  // Any thread: ends the record's use; null is ignored.
  void Give(bdev_pyx_io_stats* stats);
  // Records free in the pool now (any thread; a snapshot).
  size_t free_count() const;

 private:
  bool Owns(const bdev_pyx_io_stats* stats) const {
    const auto p = reinterpret_cast<uintptr_t>(stats);
    const auto first = reinterpret_cast<uintptr_t>(records_.get());
    return p >= first && p < first + count_ * sizeof(bdev_pyx_io_stats);
  }

  const size_t count_;
  std::unique_ptr<bdev_pyx_io_stats[]> records_;
  spdk_ring* free_ = nullptr;
};

}  // namespace pyx

#endif  // PYXDRIVER_IO_STATS_POOL_H_
