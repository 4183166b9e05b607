// Cost of recording into metric variables from 1 and 8 threads
// (time per record, per thread).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bvar/bvar.h"

namespace {

bvar::Adder<uint64_t>* g_adder = new bvar::Adder<uint64_t>("bench_adder");
bvar::LatencyRecorder* g_latency = new bvar::LatencyRecorder("bench_latency");
bvar::IntRecorder* g_int = new bvar::IntRecorder("bench_int_recorder");

void BM_AdderRecord(benchmark::State& state) {
  for (auto _ : state) *g_adder << 1;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AdderRecord)->Threads(1)->Threads(8)->UseRealTime();

void BM_LatencyRecorderRecord(benchmark::State& state) {
  int64_t v = state.thread_index() * 37;
  for (auto _ : state) {
    *g_latency << (v & 4095);
    v += 97;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LatencyRecorderRecord)->Threads(1)->Threads(8)->UseRealTime();

void BM_IntRecorderRecord(benchmark::State& state) {
  for (auto _ : state) *g_int << 42;
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntRecorderRecord)->Threads(1)->Threads(8)->UseRealTime();

// Reading combines all stripes: the price the metrics dump pays.
void BM_LatencyRecorderReadPercentile(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(g_latency->latency_percentile(0.99));
}
BENCHMARK(BM_LatencyRecorderReadPercentile);

}  // namespace

BENCHMARK_MAIN();
