// Cross-thread hand-off into one event loop: async RunInLoop throughput from
// 1 and 4 producer threads, and the round trip of a sync RunInLoop into a
// blocking and a busy-poll loop.
#include <atomic>
#include <mutex>
#include <memory>
#include <thread>

#include <benchmark/benchmark.h>

#include "support/worker.h"
#include "tarn/base/logging.h"
#include "tarn/loop.h"
#include "tarn/worker.h"

namespace {

// One event worker per loop kind, shared by every benchmark run.
tarn::Loop* SharedLoop(bool busy_poll) {
  static std::unique_ptr<testsupport::WorkerOnThread> threads[2];
  static tarn::Loop* loops[2] = {nullptr, nullptr};
  static std::once_flag once[2];
  int k = busy_poll ? 1 : 0;
  std::call_once(once[k], [&] {
    tarn::WorkerOption option;
    option.busy_poll = busy_poll ? 1 : 0;
    threads[k].reset(
        new testsupport::WorkerOnThread(busy_poll ? "bench-busy" : "bench-block", option));
    loops[k] = threads[k]->worker()->loop();
  });
  return loops[k];
}

// Async posts from each benchmark thread; the last thread to finish waits
// (sync no-op) until the loop has run everything queued.
void BM_AsyncRunInLoop(benchmark::State& state) {
  tarn::Loop* loop = SharedLoop(false);
  static std::atomic<uint64_t> ran{0};
  for (auto _ : state) {
    loop->RunInLoop([] { ran.fetch_add(1, std::memory_order_relaxed); }, true);
  }
  loop->RunInLoop([] {}, false);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AsyncRunInLoop)->Threads(1)->UseRealTime();
BENCHMARK(BM_AsyncRunInLoop)->Threads(4)->UseRealTime();

void BM_SyncRoundTrip(benchmark::State& state) {
  tarn::Loop* loop = SharedLoop(state.range(0) != 0);
  for (auto _ : state) loop->RunInLoop([] {}, false);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) != 0 ? "busy-poll loop" : "blocking loop");
}
BENCHMARK(BM_SyncRoundTrip)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
