// StatsPool: the timing records (bdev_pyx_io_stats) of one driver's I/O.
//
// A record crosses threads with its I/O: send_pyx_io takes it on a host
// thread, the driver's loop gives it back at the completion step (or
// send_pyx_io itself does, when the I/O never reached the loop). Between
// the two the record belongs to the I/O. The pool owns the records in one
// array and keeps the free ones on a lock-free stack of indexes whose head
// carries a tag against reuse races, so taking and giving back need no
// lock and no heap on any thread, and the acquire and release of the head
// order a record's last use before its next.
//
// No thread ever waits for another here: a host thread that loses its CPU
// in the middle of a Take or a Give holds nobody up (the others' exchanges
// simply go ahead of it). Several host threads post to one driver, and on a
// machine with fewer CPUs than busy threads one of them is preempted at any
// moment; a pool whose takers waited for each other would have the rest
// spin behind it.
//
// The pool is bounded. When every record is out, Take falls back to the
// heap, and Give deletes whatever is not one of the pool's records (tests
// and tools hand the driver records of their own).
#ifndef PYXDRIVER_IO_STATS_POOL_H_
#define PYXDRIVER_IO_STATS_POOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pyxdriver/pyxdriver.h"

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
  // Records free in the pool now: walks the free stack, so it is exact only
  // while no thread takes or gives (for tests and reports).
  size_t free_count() const;

 private:
  static constexpr uint32_t kNil = 0xFFFFFFFFu;

  bool Owns(const bdev_pyx_io_stats* stats) const {
    const auto p = reinterpret_cast<uintptr_t>(stats);
    const auto first = reinterpret_cast<uintptr_t>(records_.get());
    return p >= first && p < first + count_ * sizeof(bdev_pyx_io_stats);
  }

  const uint32_t count_;
  std::unique_ptr<bdev_pyx_io_stats[]> records_;
  std::unique_ptr<std::atomic<uint32_t>[]> next_;  // successor of each free record
  // tag << 32 | index of the top free record (kNil: none). Taken and given
  // by the host threads and the loop: on a cache line of its own.
  alignas(64) std::atomic<uint64_t> head_;
};

}  // namespace pyx

#endif  // PYXDRIVER_IO_STATS_POOL_H_
