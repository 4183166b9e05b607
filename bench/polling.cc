// Cross-thread task hand-off into a polling loop against a busy-poll event
// loop: async RunInLoop throughput from 1 and 4 producer threads, and the
// round trip of a sync RunInLoop. Polling loops run both ways: with
// per-thread rings (SPDK environment switch on when the worker starts) and
// with the spin-locked vector.
//
// Producers are long-lived threads made before anything else, so that their
// thread numbers own rings (numbers are never reused; benchmark threads
// would be new ones on every run).
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "tarn/base/logging.h"
#include "tarn/event/event_worker_colony.h"
#include "tarn/loop.h"
#include "tarn/polling/polling_worker_colony.h"
#include "tarn/polling/spdk_rte.h"
#include "tarn/worker.h"

namespace {

enum Kind : int { kEventBusyPoll = 0, kPollingVector = 1, kPollingRings = 2 };
const char* const kKindNames[] = {"busy-poll event loop", "polling loop, vector",
                                  "polling loop, rings"};

// Threads that each post a batch of async tasks to a loop on request.
class Producers {
 public:
  explicit Producers(int n) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Body(); });
  }
  ~Producers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cond_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  // Every producer posts `count` tasks to `loop`; returns once all are
  // posted.
  void Post(tarn::Loop* loop, int count, std::atomic<uint64_t>* ran) {
    std::unique_lock<std::mutex> lock(mutex_);
    loop_ = loop;
    count_ = count;
    ran_ = ran;
    busy_ = static_cast<int>(threads_.size());
    ++generation_;
    cond_.notify_all();
    done_.wait(lock, [this] { return busy_ == 0; });
  }

 private:
  void Body() {
    uint64_t seen = 0;
    for (;;) {
      tarn::Loop* loop;
      int count;
      std::atomic<uint64_t>* ran;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        loop = loop_;
        count = count_;
        ran = ran_;
      }
      for (int i = 0; i < count; ++i) {
        loop->RunInLoop([ran] { ran->fetch_add(1, std::memory_order_relaxed); }, true);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_all();
    }
  }

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::condition_variable done_;
  bool stop_ = false;
  uint64_t generation_ = 0;
  tarn::Loop* loop_ = nullptr;
  int count_ = 0;
  std::atomic<uint64_t>* ran_ = nullptr;
  int busy_ = 0;
};

Producers* g_producers[5];  // by producer count (1 and 4)

// One spinning loop at a time, so that the kinds do not compete for CPUs.
std::unique_ptr<tarn::WorkerColony> g_colony;
int g_colony_kind = -1;

void StopColony() {
  if (g_colony) g_colony->Stop();
  g_colony.reset();
  g_colony_kind = -1;
}

tarn::Loop* LoopOf(Kind kind) {
  if (g_colony_kind != kind) {
    StopColony();
    tarn::WorkerOption option;
    option.name_prefix = kind == kEventBusyPoll ? "bench-ev-" : "bench-poll-";
    if (kind == kEventBusyPoll) {
      option.busy_poll = 1;
      g_colony.reset(new tarn::EventWorkerColony(1, option, nullptr));
    } else {
      g_colony.reset(new tarn::PollingWorkerColony(1, option, nullptr));
    }
    // The polling loop picks its task path when its worker starts.
    tarn::g_spdk_env_inited = kind == kPollingRings;
    g_colony->Start();
    tarn::g_spdk_env_inited = false;
    g_colony_kind = kind;
  }
  return g_colony->GetWorker(0u)->loop();
}

void BM_AsyncHandOff(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  int producers = static_cast<int>(state.range(1));
  constexpr int kBatch = 1000;
  tarn::Loop* loop = LoopOf(kind);
  std::atomic<uint64_t> ran{0};
  uint64_t target = 0;
  for (auto _ : state) {
    g_producers[producers]->Post(loop, kBatch, &ran);
    target += static_cast<uint64_t>(producers) * kBatch;
    while (ran.load(std::memory_order_relaxed) < target) sched_yield();
  }
  state.SetItemsProcessed(static_cast<int64_t>(target));
  state.SetLabel(std::string(kKindNames[kind]) + ", " + std::to_string(producers) +
                 (producers == 1 ? " producer" : " producers"));
}
BENCHMARK(BM_AsyncHandOff)
    ->ArgsProduct({{kEventBusyPoll, kPollingVector, kPollingRings}, {1, 4}})
    ->UseRealTime()
    ->MinTime(0.2);

void BM_SyncRoundTrip(benchmark::State& state) {
  Kind kind = static_cast<Kind>(state.range(0));
  tarn::Loop* loop = LoopOf(kind);
  for (auto _ : state) loop->RunInLoop([] {}, false);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_SyncRoundTrip)
    ->Arg(kEventBusyPoll)
    ->Arg(kPollingVector)
    ->Arg(kPollingRings)
    ->UseRealTime()
    ->MinTime(0.2);

}  // namespace

int main(int argc, char** argv) {
  plinth::Logger::setLogLevel(plinth::Logger::WARN);
  g_producers[1] = new Producers(1);
  g_producers[4] = new Producers(4);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  StopColony();
  delete g_producers[1];
  delete g_producers[4];
  return 0;
}
