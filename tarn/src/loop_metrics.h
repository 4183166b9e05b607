// Framework metrics of loops and workers, kept behind g_enable_metrics.
#ifndef TARN_SRC_LOOP_METRICS_H_
#define TARN_SRC_LOOP_METRICS_H_

#include <cstdint>
#include <string>

namespace tarn {

// Creates "tarn_loop_task_wait" once (first loop built with metrics on).
void EnsureLoopTaskWaitMetric();
// Records one task's queue wait in microseconds, when the metric exists.
void RecordLoopTaskWait(uint64_t us);

// The thread-utilisation recorder of one worker and its one-second window,
// exposed as "tarn_" + name + "_thread_util".
struct ThreadUtilMetric;
ThreadUtilMetric* NewThreadUtilMetric(const std::string& worker_name);
void RecordThreadUtil(ThreadUtilMetric* metric, uint64_t percent);
void DeleteThreadUtilMetric(ThreadUtilMetric* metric);

}  // namespace tarn

#endif  // TARN_SRC_LOOP_METRICS_H_
