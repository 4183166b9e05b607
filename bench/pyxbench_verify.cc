// What pyxbench's --verify adds to each I/O on the host's thread: a write's
// units stamped (pattern, header, checksum), a read's units checked (header
// and checksum). Both allocate nothing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <vector>

#include "verify.h"

// Every malloc of the process (operator new's too), counted: "allocs/op"
// shows the stamping and the checking make none.
static std::atomic<uint64_t> g_allocs{0};

extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

namespace {

void CountAllocs(benchmark::State& state, uint64_t before) {
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(g_allocs.load() - before), benchmark::Counter::kAvgIterations);
}

constexpr uint64_t kUnit = 4096;

void BM_StampWrite(benchmark::State& state) {
  const uint64_t len = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buf(len);
  uint32_t number = 1;
  uint64_t pos = 0;
  const uint64_t before = g_allocs.load();
  for (auto _ : state) {
    pyxbench::StampWrite(0x1234, number++, 0, kUnit, pos, len, buf.data());
    pos = (pos + len) % (1ull << 30);
    benchmark::DoNotOptimize(buf.data());
  }
  CountAllocs(state, before);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_StampWrite)->Arg(4096)->Arg(65536);

void BM_CheckUnit(benchmark::State& state) {
  const uint64_t len = static_cast<uint64_t>(state.range(0));
  pyxbench::VerifyLineage lineage;
  lineage.Add(0x1234, 1);
  std::vector<uint8_t> buf(len);
  pyxbench::StampWrite(0x1234, 7, 0, kUnit, 0, len, buf.data());
  std::string what;
  const uint64_t before = g_allocs.load();
  for (auto _ : state) {
    for (uint64_t at = 0; at < len; at += kUnit) {
      benchmark::DoNotOptimize(
          pyxbench::CheckUnit(buf.data() + at, at, kUnit, kUnit, 7, lineage, &what));
    }
  }
  CountAllocs(state, before);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_CheckUnit)->Arg(4096)->Arg(65536);

}  // namespace
BENCHMARK_MAIN();
