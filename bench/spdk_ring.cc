// Pointer rings on the I/O path: the retry ring (multi-producer, one
// consumer, 524288 entries) and completion rings (drivers produce, a host
// thread consumes).
//
//   pair      one thread enqueues one pointer and dequeues it again: the
//             bare cost of both ends, uncontended
//   burst32   32 single-pointer enqueues, then one dequeue of 32
//   mp        4 producer threads of single pointers against one consumer
//             thread draining in bursts of 32; items per second of the run
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "spdk/env.h"

namespace {

constexpr size_t kRetryRingEntries = 524288;

spdk_ring* make(benchmark::State& state, size_t entries) {
  spdk_ring* ring = spdk_ring_create(static_cast<spdk_ring_type>(state.range(0)), entries,
                                     SPDK_ENV_SOCKET_ID_ANY);
  if (ring == nullptr) state.SkipWithError("spdk_ring_create failed");
  return ring;
}

void BM_RingPair(benchmark::State& state) {
  spdk_ring* ring = make(state, kRetryRingEntries);
  void* obj = &state;
  void* out = nullptr;
  for (auto _ : state) {
    spdk_ring_enqueue(ring, &obj, 1, nullptr);
    benchmark::DoNotOptimize(spdk_ring_dequeue(ring, &out, 1));
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
  spdk_ring_free(ring);
}
BENCHMARK(BM_RingPair)->ArgName("type")->Arg(SPDK_RING_TYPE_SP_SC)->Arg(SPDK_RING_TYPE_MP_SC);

void BM_RingBurst32(benchmark::State& state) {
  spdk_ring* ring = make(state, kRetryRingEntries);
  void* obj = &state;
  void* out[32];
  for (auto _ : state) {
    for (int i = 0; i < 32; ++i) spdk_ring_enqueue(ring, &obj, 1, nullptr);
    benchmark::DoNotOptimize(spdk_ring_dequeue(ring, out, 32));
  }
  state.SetItemsProcessed(state.iterations() * 32);
  spdk_ring_free(ring);
}
BENCHMARK(BM_RingBurst32)->ArgName("type")->Arg(SPDK_RING_TYPE_SP_SC)->Arg(SPDK_RING_TYPE_MP_SC);

// range(0): ring type (MP_SC), range(1): entries.
void BM_RingMp4(benchmark::State& state) {
  constexpr int kProducers = 4;
  constexpr size_t kPerProducer = 250000;
  spdk_ring* ring = make(state, static_cast<size_t>(state.range(1)));
  for (auto _ : state) {
    std::atomic<bool> go{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&] {
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        void* obj = &go;
        for (size_t i = 0; i < kPerProducer;) {
          if (spdk_ring_enqueue(ring, &obj, 1, nullptr) == 1) {
            ++i;
          } else {
            std::this_thread::yield();
          }
        }
      });
    }
    go.store(true, std::memory_order_release);
    void* out[32];
    size_t taken = 0;
    while (taken < kProducers * kPerProducer) {
      const size_t n = spdk_ring_dequeue(ring, out, 32);
      if (n == 0) std::this_thread::yield();
      taken += n;
    }
    for (auto& t : producers) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kProducers * kPerProducer);
  spdk_ring_free(ring);
}
BENCHMARK(BM_RingMp4)
    ->ArgNames({"type", "entries"})
    ->Args({SPDK_RING_TYPE_MP_SC, kRetryRingEntries})
    ->Args({SPDK_RING_TYPE_MP_SC, 1024})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
