// MrManager::GetKeyByAddr, the key lookup on the path of every RDMA send and
// receive post: nanoseconds per lookup.
//
//   hit/same      one address over and over (the map's lines stay in cache)
//   hit/random    addresses spread over 128 zones in 8 GiB (a new slot, and
//                 often a new 1 GiB table, each time)
//   miss/slot     an empty slot of a present table (an error path: the
//                 lookup logs; the log output is discarded here)
//   miss/range    a 1 GiB range without a table (logs likewise)
//
// Regions are registered on the emulated verbs device when the benchmarks
// link it; the lookup itself never calls the device.
#include <benchmark/benchmark.h>
#include <infiniband/verbs.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "tarn/base/logging.h"
#include "tarn/polling/mr_manager.h"

namespace {

constexpr uint64_t kMiB = 1ULL << 20;
constexpr uint64_t kGiB = 1ULL << 30;
constexpr uint64_t kSpace = 8 * kGiB;
constexpr size_t kZones = 128;
constexpr size_t kProbes = 1 << 16;

void DiscardLog(const char*, int) {}

struct Fixture {
  ibv_context* context = nullptr;
  ibv_pd* pd = nullptr;
  tarn::MrManager* mr = nullptr;
  uint64_t base = 0;
  std::vector<void*> hits;
  bool ok = false;

  Fixture() {
    int num = 0;
    ibv_device** list = ibv_get_device_list(&num);
    if (list == nullptr || num == 0) return;
    context = ibv_open_device(list[0]);
    ibv_free_device_list(list);
    if (context == nullptr || (pd = ibv_alloc_pd(context)) == nullptr) return;
    void* raw = mmap(nullptr, kSpace + kGiB, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) return;
    base = (reinterpret_cast<uint64_t>(raw) + kGiB - 1) & ~(kGiB - 1);
    mr = new tarn::MrManager(pd);
    // Zones of 8 MiB, 32 MiB apart, 32 per 1 GiB range in the even ranges of
    // the 8 GiB; the odd ranges stay empty so that misses find no table.
    std::vector<std::pair<uint64_t, uint64_t>> zones;
    for (uint64_t off = 0; zones.size() < kZones && off < kSpace; off += 32 * kMiB) {
      if ((off / kGiB) % 2 == 1) continue;
      if (mr->RegisterMr(reinterpret_cast<void*>(base + off), 8 * kMiB) != 0) return;
      zones.emplace_back(base + off, 8 * kMiB);
    }
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < kProbes; ++i) {
      const auto& z = zones[rng() % zones.size()];
      hits.push_back(reinterpret_cast<void*>(z.first + rng() % z.second));
    }
    ok = true;
  }
};

Fixture& F() {
  static Fixture f;
  return f;
}

bool Ready(benchmark::State& state) {
  if (F().ok) return true;
  state.SkipWithError("no verbs device: link the emulated device");
  return false;
}

void BM_HitSame(benchmark::State& state) {
  if (!Ready(state)) return;
  void* p = F().hits[0];
  uint32_t lkey = 0;
  uint32_t rkey = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(F().mr->GetKeyByAddr(p, &lkey, &rkey));
    benchmark::DoNotOptimize(lkey);
  }
}
BENCHMARK(BM_HitSame)->Name("GetKeyByAddr/hit/same");

void BM_HitRandom(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::vector<void*>& hits = F().hits;
  uint32_t lkey = 0;
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(F().mr->GetKeyByAddr(hits[i], &lkey, nullptr));
    benchmark::DoNotOptimize(lkey);
    i = (i + 1) & (kProbes - 1);
  }
}
BENCHMARK(BM_HitRandom)->Name("GetKeyByAddr/hit/random");

void Miss(benchmark::State& state, uint64_t off) {
  if (!Ready(state)) return;
  void* p = reinterpret_cast<void*>(F().base + off);
  uint32_t lkey = 0;
  plinth::Logger::OutputFunc previous = plinth::g_output.load();
  plinth::Logger::setOutput(DiscardLog);
  for (auto _ : state) benchmark::DoNotOptimize(F().mr->GetKeyByAddr(p, &lkey, nullptr));
  plinth::Logger::setOutput(previous);
}

void BM_MissSlot(benchmark::State& state) { Miss(state, 16 * kMiB); }
BENCHMARK(BM_MissSlot)->Name("GetKeyByAddr/miss/slot");

void BM_MissRange(benchmark::State& state) { Miss(state, kGiB + 16 * kMiB); }
BENCHMARK(BM_MissRange)->Name("GetKeyByAddr/miss/range");

}  // namespace

BENCHMARK_MAIN();
