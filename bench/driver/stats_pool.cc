// The driver's I/O timing records: a host thread takes one per I/O in
// send_pyx_io and the driver's loop gives it back at completion. Each
// benchmark thread here takes and gives back, as the host threads and the
// loop of one driver do between them. Beside it, the same traffic on a
// multi-consumer ring (where the records used to sit): there a thread that
// loses its CPU between reserving and publishing its slot holds up every
// later one. Run with more threads than CPUs (taskset -c 0,1) to see it.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "io/stats_pool.h"
#include "spdk/env.h"

namespace {

constexpr size_t kRecords = 4096;

void BM_StatsPoolTakeGive(benchmark::State& state) {
  static std::unique_ptr<pyx::StatsPool> pool;
  if (state.thread_index() == 0) pool.reset(new pyx::StatsPool(kRecords));
  // The benchmark's threads start together after thread 0's set-up.
  for (auto _ : state) {
    bdev_pyx_io_stats* s = pool->Take();
    benchmark::DoNotOptimize(s);
    pool->Give(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatsPoolTakeGive)->ThreadRange(1, 4)->UseRealTime();

void BM_RingTakeGive(benchmark::State& state) {
  static spdk_ring* ring = nullptr;
  static std::vector<bdev_pyx_io_stats> records(kRecords);
  if (state.thread_index() == 0) {
    ring = spdk_ring_create(SPDK_RING_TYPE_MP_MC, kRecords, SPDK_ENV_SOCKET_ID_ANY);
    for (auto& r : records) {
      void* p = &r;
      spdk_ring_enqueue(ring, &p, 1, nullptr);
    }
  }
  for (auto _ : state) {
    void* p = nullptr;
    if (spdk_ring_dequeue(ring, &p, 1) == 1) spdk_ring_enqueue(ring, &p, 1, nullptr);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingTakeGive)->ThreadRange(1, 4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
