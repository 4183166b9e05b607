// A calendar date in the proleptic Gregorian calendar, kept as a Julian day
// number.
#ifndef TARN_BASE_DATE_H_
#define TARN_BASE_DATE_H_

#include <time.h>

#include <string>

namespace plinth {

class Date {
 public:
  struct YearMonthDay {
    int year;   // e.g. 2024
    int month;  // 1..12
    int day;    // 1..31
  };

  static const int kDaysPerWeek = 7;
  static const int kJulianDayOf1970_01_01;

  Date() : julianDayNumber_(0) {}  // invalid
  Date(int year, int month, int day);
  explicit Date(int julianDayNum) : julianDayNumber_(julianDayNum) {}
  explicit Date(const struct tm&);

  bool valid() const { return julianDayNumber_ > 0; }
  int julianDayNumber() const { return julianDayNumber_; }

  YearMonthDay yearMonthDay() const;
  int year() const { return yearMonthDay().year; }
  int month() const { return yearMonthDay().month; }
  int day() const { return yearMonthDay().day; }
  // 0 = Sunday .. 6 = Saturday
  int weekDay() const { return (julianDayNumber_ + 1) % kDaysPerWeek; }

  // "yyyy-mm-dd"
  std::string toIsoString() const;

 private:
  int julianDayNumber_;
};

inline bool operator<(Date a, Date b) { return a.julianDayNumber() < b.julianDayNumber(); }
inline bool operator==(Date a, Date b) { return a.julianDayNumber() == b.julianDayNumber(); }

}  // namespace plinth

#endif  // TARN_BASE_DATE_H_
