#include "time/date_time.h"

#include <cmath>
#include <limits>

#include "runtime/exception.h"
#include "runtime/format.h"

namespace ostrevan {

// The clock arithmetic is defined on the x87 extended format; a platform
// whose long double differs would give other counts at exact seconds.
static_assert(std::numeric_limits<long double>::digits == 64,
              "the time arithmetic needs long double with a 64-bit significand");

namespace {

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

TDateTime EncodeDate(uint16_t Year, uint16_t Month, uint16_t Day) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 ||
      Day > DaysInMonth(Year, Month)) {
    throw EConvertError("Invalid argument to date encode");
  }
  int64_t dayOfYear = Day;
  for (unsigned m = 1; m < Month; ++m) dayOfYear += DaysInMonth(Year, m);
  int64_t i = Year - 1;
  int64_t days = i * 365 + i / 4 - i / 100 + i / 400 + dayOfYear - 693594;
  return static_cast<TDateTime>(days);
}

TDateTime EncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec) {
  if (Hour >= 24 || Min >= 60 || Sec >= 60 || MSec >= 1000) {
    throw EConvertError("Invalid argument to time encode");
  }
  int64_t ms = int64_t{Hour} * 3600000 + int64_t{Min} * 60000 + int64_t{Sec} * 1000 + MSec;
  return static_cast<TDateTime>(static_cast<long double>(ms) / 86400000.0L);
}

long double Int(long double x) { return std::trunc(x); }

int64_t Trunc(long double x) {
  // -2^63 - 1 is exact in the 64-bit significand; everything strictly
  // between it and 2^63 truncates into the signed 64-bit range. NaN fails
  // both comparisons.
  constexpr long double kUpper = 0x1p63L;
  constexpr long double kLower = -0x1p63L - 1.0L;
  if (!(x > kLower && x < kUpper)) {
    throw EConvertError(Format("Cannot truncate %Lg to a 64-bit integer", x));
  }
  return static_cast<int64_t>(x);
}

}  // namespace ostrevan
