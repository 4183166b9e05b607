// A time zone for turning seconds since the epoch into broken-down local time.
// Only fixed-offset zones are built (no daylight-saving transitions).
#ifndef TARN_BASE_TIME_ZONE_H_
#define TARN_BASE_TIME_ZONE_H_

#include <time.h>

#include <cstdint>
#include <memory>

namespace plinth {

class TimeZone {
 public:
  TimeZone() = default;  // invalid
  // A zone eastOfUtc seconds ahead of UTC, abbreviated as name.
  TimeZone(int eastOfUtc, const char* name);

  bool valid() const { return static_cast<bool>(data_); }

  struct tm toLocalTime(int64_t secondsSinceEpoch) const;
  int64_t fromLocalTime(const struct tm&) const;

  // The day of year (tm_yday) is filled only when yday is true.
  static struct tm toUtcTime(int64_t secondsSinceEpoch, bool yday = false);
  static int64_t fromUtcTime(const struct tm&);
  // year e.g. 2024, month 1..12, day 1..31
  static int64_t fromUtcTime(int year, int month, int day, int hour, int minute, int seconds);

  struct Data;

 private:
  std::shared_ptr<Data> data_;
};

}  // namespace plinth

#endif  // TARN_BASE_TIME_ZONE_H_
