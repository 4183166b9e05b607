// The depth meter each pyxbench job updates twice per I/O (at its
// submission and at its completion), alone and with a reader sampling it
// as the main thread does.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "depth.h"

namespace {

void BM_DepthMeterSet(benchmark::State& state) {
  pyxbench::DepthMeter meter;
  int64_t now = 1;
  uint32_t depth = 0;
  std::atomic<bool> stop{false};
  std::thread reader;
  if (state.range(0) != 0) {
    reader = std::thread([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        benchmark::DoNotOptimize(meter.Read());
        std::this_thread::yield();
      }
    });
  }
  for (auto _ : state) {
    now += 250;
    depth = (depth + 1) & 31;
    meter.Set(now, depth);
  }
  stop.store(true);
  if (reader.joinable()) reader.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DepthMeterSet)->Arg(0)->Arg(1)->ArgName("reader");

}  // namespace

BENCHMARK_MAIN();
