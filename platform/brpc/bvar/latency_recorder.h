// LatencyRecorder: count, rate, average, maximum and percentiles of
// latencies (any unit; the callers record microseconds).
//
//   bvar::LatencyRecorder read_lat;
//   read_lat.expose_as("pyxdriver worker0", "_read_lat");
//   read_lat << 180;                      // from any thread
//
// Exposing under NAME shows NAME_count (all time), and over the window
// NAME_qps, NAME_latency (average), NAME_max_latency and NAME_latency_50,
// _90, _99, _999. Percentiles come from a log-linear histogram: exact below
// 16, otherwise within about 6% of the true value.
//
// Recording touches only the writer's stripe (four relaxed atomic
// operations); the window moves once a second on the sampling thread.
#ifndef PLATFORM_BVAR_LATENCY_RECORDER_H
#define PLATFORM_BVAR_LATENCY_RECORDER_H

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "bvar/passive_status.h"
#include "bvar/variable.h"

namespace bvar {
namespace detail {
class LatencyCore;
}  // namespace detail

class LatencyRecorder {
 public:
  // A window of 0 or less means 10 seconds.
  explicit LatencyRecorder(time_t window_size = -1);
  // Records and exposes under `prefix` (see the file comment).
  explicit LatencyRecorder(const std::string& prefix, time_t window_size = -1);
  LatencyRecorder(const std::string& prefix, const std::string& name,
                  time_t window_size = -1);
  LatencyRecorder(const LatencyRecorder&) = delete;
  LatencyRecorder& operator=(const LatencyRecorder&) = delete;
  ~LatencyRecorder();

  LatencyRecorder& operator<<(int64_t latency);

  int64_t latency() const;      // average over the window
  int64_t max_latency() const;  // over the window
  int64_t qps() const;          // records per second over the window
  int64_t count() const;        // all records ever
  // The latency below which `ratio` (0 to 1) of the window's records fall.
  int64_t latency_percentile(double ratio) const;
  time_t window_size() const;

  // Each returns 0, or -1 when a name could not be exposed.
  int expose(const std::string& name) { return expose_as("", name); }
  int expose(const std::string& prefix, const std::string& name) {
    return expose_as(prefix, name);
  }
  int expose_as(const std::string& prefix, const std::string& name,
                DisplayFilter filter = DISPLAY_ON_ALL);
  void hide();

 private:
  std::unique_ptr<detail::LatencyCore> core_;  // outlives the views below
  PassiveStatus<int64_t> count_;
  PassiveStatus<int64_t> qps_;
  PassiveStatus<int64_t> latency_;
  PassiveStatus<int64_t> max_latency_;
  PassiveStatus<int64_t> p50_;
  PassiveStatus<int64_t> p90_;
  PassiveStatus<int64_t> p99_;
  PassiveStatus<int64_t> p999_;
};

}  // namespace bvar

#endif  // PLATFORM_BVAR_LATENCY_RECORDER_H
