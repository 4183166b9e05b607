// Wall-clock time in microseconds since the epoch.
#ifndef TARN_BASE_TIMESTAMP_H_
#define TARN_BASE_TIMESTAMP_H_

#include <cstdint>
#include <string>

namespace plinth {

class Timestamp {
 public:
  static const int kMicroSecondsPerSecond = 1000 * 1000;

  Timestamp() : microSecondsSinceEpoch_(0) {}
  explicit Timestamp(int64_t microSecondsSinceEpoch)
      : microSecondsSinceEpoch_(microSecondsSinceEpoch) {}

  static Timestamp now();
  // Microseconds since the epoch.
  static int64_t usec_now();
  static Timestamp invalid() { return Timestamp(); }
  static Timestamp fromUnixTime(time_t t, int microseconds = 0) {
    return Timestamp(static_cast<int64_t>(t) * kMicroSecondsPerSecond + microseconds);
  }

  bool valid() const { return microSecondsSinceEpoch_ > 0; }
  int64_t microSecondsSinceEpoch() const { return microSecondsSinceEpoch_; }
  time_t secondsSinceEpoch() const {
    return static_cast<time_t>(microSecondsSinceEpoch_ / kMicroSecondsPerSecond);
  }

  // "<seconds>.<6-digit microseconds>"
  std::string toString() const;
  // "YYYYMMDD HH:MM:SS[.uuuuuu]" in UTC.
  std::string toFormattedString(bool showMicroseconds = true) const;

 private:
  int64_t microSecondsSinceEpoch_;
};

inline bool operator<(Timestamp a, Timestamp b) {
  return a.microSecondsSinceEpoch() < b.microSecondsSinceEpoch();
}
inline bool operator==(Timestamp a, Timestamp b) {
  return a.microSecondsSinceEpoch() == b.microSecondsSinceEpoch();
}

// Seconds from low to high.
inline double timeDifference(Timestamp high, Timestamp low) {
  int64_t diff = high.microSecondsSinceEpoch() - low.microSecondsSinceEpoch();
  return static_cast<double>(diff) / Timestamp::kMicroSecondsPerSecond;
}

inline Timestamp addTime(Timestamp t, double seconds) {
  int64_t delta = static_cast<int64_t>(seconds * Timestamp::kMicroSecondsPerSecond);
  return Timestamp(t.microSecondsSinceEpoch() + delta);
}

}  // namespace plinth

#endif  // TARN_BASE_TIMESTAMP_H_
