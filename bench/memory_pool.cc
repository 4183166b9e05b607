// Worker::Malloc/Free and a bare MemoryPool against glibc malloc and tcmalloc
// for 4 KiB and 64 KiB buffers.
//
// tcmalloc is loaded privately (dlopen with RTLD_LOCAL | RTLD_DEEPBIND) and
// called through tc_malloc / tc_free, so glibc stays the process's malloc
// and all three allocators run in the same process. After the runs a table
// gives each allocator's time per operation relative to MemoryPool.
//
// Two shapes per size: "pair" (Malloc then Free, the steady state of a
// request buffer) and "batch" (64 buffers taken, then all returned, as when
// a burst of I/O is in flight).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/event/event_worker.h"
#include "tarn/memory_pool.h"

namespace {

constexpr int kBatch = 64;

using MallocFn = void* (*)(size_t);
using FreeFn = void (*)(void*);

struct TcMalloc {
  MallocFn malloc = nullptr;
  FreeFn free = nullptr;
  std::string error;
};

const TcMalloc& Tc() {
  static TcMalloc tc = [] {
    TcMalloc t;
    void* h = dlopen("libtcmalloc_minimal.so.4", RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (h == nullptr) {
      t.error = dlerror();
      return t;
    }
    t.malloc = reinterpret_cast<MallocFn>(dlsym(h, "tc_malloc"));
    t.free = reinterpret_cast<FreeFn>(dlsym(h, "tc_free"));
    if (t.malloc == nullptr || t.free == nullptr) t.error = "tc_malloc/tc_free not found";
    return t;
  }();
  return tc;
}

tarn::MemoryPool* Pool() {
  static tarn::MemoryPool* pool = [] {
    auto* p = new tarn::MemoryPool;
    if (!p->Init({{4096, 1024}, {65536, 256}})) abort();
    return p;
  }();
  return pool;
}

void* PoolMalloc(size_t n) { return Pool()->Malloc(n); }
void PoolFree(void* p) { Pool()->Free(p); }

// A worker with the default size map, initialised on the benchmark thread so
// that its Malloc/Free (which assert the loop thread) can run here.
tarn::Worker* BenchWorker() {
  static tarn::Worker* worker = [] {
    tarn::WorkerOption option;
    option.enable_memory_pool = 1;
    return testsupport::NewWorkerOnThisThread(option);
  }();
  return worker;
}

void* WorkerMalloc(size_t n) { return BenchWorker()->Malloc(n); }
void WorkerFree(void* p) { BenchWorker()->Free(p); }

template <MallocFn M, FreeFn F>
void Pair(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = M(len);
    benchmark::DoNotOptimize(p);
    F(p);
  }
}

template <MallocFn M, FreeFn F>
void Batch(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  void* ptrs[kBatch];
  for (auto _ : state) {
    for (auto& p : ptrs) {
      p = M(len);
      benchmark::DoNotOptimize(p);
    }
    for (void* p : ptrs) F(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void TcPair(benchmark::State& state) {
  const TcMalloc& tc = Tc();
  if (tc.malloc == nullptr) {
    state.SkipWithError(tc.error.c_str());
    return;
  }
  const size_t len = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* p = tc.malloc(len);
    benchmark::DoNotOptimize(p);
    tc.free(p);
  }
}

void TcBatch(benchmark::State& state) {
  const TcMalloc& tc = Tc();
  if (tc.malloc == nullptr) {
    state.SkipWithError(tc.error.c_str());
    return;
  }
  const size_t len = static_cast<size_t>(state.range(0));
  void* ptrs[kBatch];
  for (auto _ : state) {
    for (auto& p : ptrs) {
      p = tc.malloc(len);
      benchmark::DoNotOptimize(p);
    }
    for (void* p : ptrs) tc.free(p);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(Pair<PoolMalloc, PoolFree>)->Name("pair/pool")->Arg(4096)->Arg(65536);
BENCHMARK(Pair<WorkerMalloc, WorkerFree>)->Name("pair/worker")->Arg(4096)->Arg(65536);
BENCHMARK(Pair<malloc, free>)->Name("pair/glibc")->Arg(4096)->Arg(65536);
BENCHMARK(TcPair)->Name("pair/tcmalloc")->Arg(4096)->Arg(65536);
BENCHMARK(Batch<PoolMalloc, PoolFree>)->Name("batch/pool")->Arg(4096)->Arg(65536);
BENCHMARK(Batch<WorkerMalloc, WorkerFree>)->Name("batch/worker")->Arg(4096)->Arg(65536);
BENCHMARK(Batch<malloc, free>)->Name("batch/glibc")->Arg(4096)->Arg(65536);
BENCHMARK(TcBatch)->Name("batch/tcmalloc")->Arg(4096)->Arg(65536);

// Keeps each run's time per iteration for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
        ns_[r.benchmark_name()] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    printf("\nns per iteration and ratio to the worker (higher = slower than Worker::Malloc/Free)\n");
    printf("%-8s %-7s %10s %10s %10s %10s %8s %8s\n", "shape", "size", "pool", "worker", "glibc",
           "tcmalloc", "glibc/w", "tc/w");
    for (const char* shape : {"pair", "batch"}) {
      for (const char* size : {"4096", "65536"}) {
        const std::string suffix = std::string("/") + size;
        const double pool = Get(std::string(shape) + "/pool" + suffix);
        const double worker = Get(std::string(shape) + "/worker" + suffix);
        const double glibc = Get(std::string(shape) + "/glibc" + suffix);
        const double tc = Get(std::string(shape) + "/tcmalloc" + suffix);
        printf("%-8s %-7s %10.2f %10.2f %10.2f %10.2f %8.2f %8.2f\n", shape, size, pool, worker,
               glibc, tc, worker > 0 ? glibc / worker : 0.0,
               worker > 0 && tc > 0 ? tc / worker : 0.0);
      }
    }
    if (!Tc().error.empty()) printf("tcmalloc unavailable: %s\n", Tc().error.c_str());
  }

 private:
  double Get(const std::string& name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> ns_;
};

}  // namespace

int main(int argc, char** argv) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
