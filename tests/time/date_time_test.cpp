// SPDX-License-Identifier: MIT
#include "ostrevan/time/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ostrevan/runtime/exception.h"

namespace ostrevan {
namespace {

template <class F>
std::string ConvertErrorOf(F&& call) {
  try {
    call();
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(EncodeDate, KnownDayNumbers) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(2000, 2, 29), 36585.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465.0);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
}

TEST(EncodeDate, EveryValidDayFollowsThePreviousOne) {
  // Walks every day from 1 January 1600 to 31 December 2400 through the
  // month lengths and leap rules independently of the encoder's own table.
  TDateTime previous = EncodeDate(1599, 12, 31);
  for (uint16_t year = 1600; year <= 2400; ++year) {
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    for (uint16_t month = 1; month <= 12; ++month) {
      uint16_t days = month == 2 ? (leap ? 29 : 28)
                      : (month == 4 || month == 6 || month == 9 || month == 11) ? 30
                                                                                 : 31;
      for (uint16_t day = 1; day <= days; ++day) {
        TDateTime value = EncodeDate(year, month, day);
        ASSERT_EQ(value, previous + 1) << year << '-' << month << '-' << day;
        previous = value;
      }
      EXPECT_THROW(EncodeDate(year, month, static_cast<uint16_t>(days + 1)), EConvertError)
          << year << '-' << month;
    }
  }
}

TEST(EncodeDate, InvalidDatesRaiseTheDateMessage) {
  const std::string message = "Invalid argument to date encode";
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(1900, 2, 29); }), message);  // not a leap year
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(2100, 2, 29); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(0, 1, 1); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(10000, 1, 1); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(2000, 0, 1); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(2000, 13, 1); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeDate(65535, 65535, 65535); }), message);
}

TEST(EncodeTime, FractionsOfTheDayAndInvalidTimes) {
  EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
  EXPECT_EQ(EncodeDate(2000, 1, 1) + EncodeTime(12, 0, 0, 0), 36526.5);
  EXPECT_NEAR(EncodeTime(1, 2, 3, 4), (3600000.0 + 120000 + 3000 + 4) / 86400000.0, 1e-16);
  EXPECT_LT(EncodeTime(23, 59, 59, 999), 1.0);

  const std::string message = "Invalid argument to time encode";
  EXPECT_EQ(ConvertErrorOf([] { EncodeTime(24, 0, 0, 0); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeTime(0, 60, 0, 0); }), message);
  EXPECT_EQ(ConvertErrorOf([] { EncodeTime(0, 0, 60, 0); }), message);  // a leap second
  EXPECT_EQ(ConvertErrorOf([] { EncodeTime(0, 0, 0, 1000); }), message);
}

// Operands are made in TExtended: the platform's long double may be narrower
// (on armhf it is a double, where 2^63 - 1 rounds to 2^63).
TEST(IntAndTrunc, CutTowardZero) {
  const TExtended two62(0x1p62), two63(0x1p63), minus63(-0x1p63), one(1), half(0.5);
  EXPECT_EQ(Int(2.75), 2.0);
  EXPECT_EQ(Int(-1.5), -1.0);
  EXPECT_EQ(Int(two62 + half), two62);  // the fraction is cut in extended precision

  EXPECT_EQ(Trunc(2.99), 2);
  EXPECT_EQ(Trunc(-2.99), -2);
  EXPECT_EQ(Trunc(two63 - one), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Trunc(minus63), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Trunc(minus63 - half), std::numeric_limits<int64_t>::min());  // rounds to -2^63
}

TEST(IntAndTrunc, TruncOutsideTheSigned64BitRangeRaises) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (TExtended x : {TExtended(0x1p63), TExtended(-0x1p63) - TExtended(1), TExtended(1e300),
                      TExtended(-1e300), TExtended(inf), TExtended(-inf),
                      TExtended(std::numeric_limits<double>::quiet_NaN())}) {
    EXPECT_THROW(Trunc(x), EConvertError) << static_cast<double>(x);
  }
}

}  // namespace
}  // namespace ostrevan
