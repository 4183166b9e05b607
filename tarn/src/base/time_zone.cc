#include "tarn/base/time_zone.h"

#include <string>

#include "tarn/base/date.h"

namespace plinth {

// One local-time type: the offset from UTC, the daylight flag and the
// abbreviation. Zones with transitions are not built.
struct TimeZone::Data {
  int gmtOffset;
  bool isDst;
  std::string abbreviation;
};

namespace {

const int kSecondsPerDay = 24 * 60 * 60;

void fillHMS(unsigned seconds, struct tm* utc) {
  int minutes = static_cast<int>(seconds / 60);
  utc->tm_sec = static_cast<int>(seconds % 60);
  utc->tm_hour = minutes / 60;
  utc->tm_min = minutes % 60;
}

}  // namespace

TimeZone::TimeZone(int eastOfUtc, const char* name)
    : data_(std::make_shared<Data>(Data{eastOfUtc, false, name ? name : ""})) {}

struct tm TimeZone::toLocalTime(int64_t seconds) const {
  struct tm localTime = {};
  if (!data_) return localTime;
  localTime = toUtcTime(seconds + data_->gmtOffset, true);
  localTime.tm_isdst = data_->isDst;
  localTime.tm_gmtoff = data_->gmtOffset;
  localTime.tm_zone = data_->abbreviation.c_str();
  return localTime;
}

int64_t TimeZone::fromLocalTime(const struct tm& localTm) const {
  int64_t seconds = fromUtcTime(localTm);
  return data_ ? seconds - data_->gmtOffset : seconds;
}

struct tm TimeZone::toUtcTime(int64_t secondsSinceEpoch, bool yday) {
  struct tm utc = {};
  utc.tm_zone = "GMT";
  int64_t days = secondsSinceEpoch / kSecondsPerDay;
  int64_t secondsOfDay = secondsSinceEpoch % kSecondsPerDay;
  if (secondsOfDay < 0) {
    secondsOfDay += kSecondsPerDay;
    --days;
  }
  fillHMS(static_cast<unsigned>(secondsOfDay), &utc);
  Date date(static_cast<int>(days + Date::kJulianDayOf1970_01_01));
  Date::YearMonthDay ymd = date.yearMonthDay();
  utc.tm_year = ymd.year - 1900;
  utc.tm_mon = ymd.month - 1;
  utc.tm_mday = ymd.day;
  utc.tm_wday = date.weekDay();
  if (yday) {
    Date startOfYear(ymd.year, 1, 1);
    utc.tm_yday = date.julianDayNumber() - startOfYear.julianDayNumber();
  }
  return utc;
}

int64_t TimeZone::fromUtcTime(const struct tm& utc) {
  return fromUtcTime(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                     utc.tm_sec);
}

int64_t TimeZone::fromUtcTime(int year, int month, int day, int hour, int minute, int seconds) {
  Date date(year, month, day);
  int secondsInDay = hour * 3600 + minute * 60 + seconds;
  int64_t days = date.julianDayNumber() - Date::kJulianDayOf1970_01_01;
  return days * kSecondsPerDay + secondsInDay;
}

}  // namespace plinth
