#include "loop_metrics.h"

#include <atomic>
#include <mutex>

#include "bvar/bvar.h"

namespace tarn {

// Queue wait of async loop tasks in microseconds ("tarn_loop_task_wait").
bvar::LatencyRecorder* loop_task_lat = nullptr;

namespace {

std::once_flag g_loop_task_lat_once;
std::atomic<bvar::LatencyRecorder*> g_loop_task_lat{nullptr};

// One second of samples.
constexpr time_t kThreadUtilWindow = 1;

}  // namespace

struct ThreadUtilMetric {
  explicit ThreadUtilMetric(const std::string& worker_name)
      : window("tarn_" + worker_name + "_thread_util", &recorder, kThreadUtilWindow) {}
  bvar::IntRecorder recorder;
  bvar::Window<bvar::IntRecorder> window;
};

void EnsureLoopTaskWaitMetric() {
  std::call_once(g_loop_task_lat_once, [] {
    loop_task_lat = new bvar::LatencyRecorder("tarn", "loop_task_wait", -1);
    g_loop_task_lat.store(loop_task_lat, std::memory_order_release);
  });
}

void RecordLoopTaskWait(uint64_t us) {
  bvar::LatencyRecorder* lat = g_loop_task_lat.load(std::memory_order_acquire);
  if (lat != nullptr) *lat << static_cast<int64_t>(us);
}

ThreadUtilMetric* NewThreadUtilMetric(const std::string& worker_name) {
  return new ThreadUtilMetric(worker_name);
}

void RecordThreadUtil(ThreadUtilMetric* metric, uint64_t percent) {
  metric->recorder << static_cast<int64_t>(percent);
}

void DeleteThreadUtilMetric(ThreadUtilMetric* metric) { delete metric; }

}  // namespace tarn
