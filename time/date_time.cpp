// SPDX-License-Identifier: MIT
#include "ostrevan/time/date_time.h"

#include <limits>
#include <type_traits>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/time/clock_arithmetic.h"

namespace ostrevan {

// The clock arithmetic is defined on the x87 extended format; where
// TExtended is long double, long double must be that format.
static_assert(!std::is_same_v<TExtended, long double> ||
                  (std::numeric_limits<long double>::digits == 64 &&
                   std::numeric_limits<long double>::max_exponent == 16384 &&
                   std::numeric_limits<long double>::min_exponent == -16381),
              "long double is not the x87 extended format");

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
  return clock_arithmetic::DayFraction<TExtended>(ms);
}

TExtended Int(TExtended x) { return clock_arithmetic::Int(x); }

int64_t Trunc(TExtended x) { return clock_arithmetic::Trunc(x); }

}  // namespace ostrevan
