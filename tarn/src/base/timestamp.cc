#include "tarn/base/timestamp.h"

#include <inttypes.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace plinth {

int64_t Timestamp::usec_now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * kMicroSecondsPerSecond + tv.tv_usec;
}

Timestamp Timestamp::now() { return Timestamp(usec_now()); }

std::string Timestamp::toString() const {
  char buf[32];
  int64_t seconds = microSecondsSinceEpoch_ / kMicroSecondsPerSecond;
  int64_t microseconds = microSecondsSinceEpoch_ % kMicroSecondsPerSecond;
  snprintf(buf, sizeof buf, "%" PRId64 ".%06" PRId64, seconds, microseconds);
  return buf;
}

std::string Timestamp::toFormattedString(bool showMicroseconds) const {
  char buf[64];
  time_t seconds = secondsSinceEpoch();
  struct tm tm_time;
  gmtime_r(&seconds, &tm_time);
  if (showMicroseconds) {
    int microseconds = static_cast<int>(microSecondsSinceEpoch_ % kMicroSecondsPerSecond);
    snprintf(buf, sizeof buf, "%4d%02d%02d %02d:%02d:%02d.%06d", tm_time.tm_year + 1900,
             tm_time.tm_mon + 1, tm_time.tm_mday, tm_time.tm_hour, tm_time.tm_min,
             tm_time.tm_sec, microseconds);
  } else {
    snprintf(buf, sizeof buf, "%4d%02d%02d %02d:%02d:%02d", tm_time.tm_year + 1900,
             tm_time.tm_mon + 1, tm_time.tm_mday, tm_time.tm_hour, tm_time.tm_min,
             tm_time.tm_sec);
  }
  return buf;
}

}  // namespace plinth
