// SPDX-License-Identifier: MIT
// The software extended format against the x87's own, where both exist: the
// clock arithmetic's steps run with long double and with TSoftExtended side
// by side, on random operands chosen to round (ties included) and on the
// readings of whole stretches of days, and every result must match bit for
// bit. Elsewhere there is nothing to compare with.
#include <gtest/gtest.h>

#if __LDBL_MANT_DIG__ == 64 && __LDBL_MAX_EXP__ == 16384 && \
    __has_include(<boost/multiprecision/cpp_bin_float.hpp>)

#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/time/clock_arithmetic.h"
#include "ostrevan/time/date_time.h"
#include "ostrevan/time/soft_extended.h"

namespace ostrevan {
namespace {

namespace arithmetic = clock_arithmetic;
using Soft = TSoftExtended;

// A value with every bit of its significand shown.
std::string Hex(long double x) {
  std::ostringstream text;
  text << std::hexfloat << x;
  return text.str();
}

// The same x87 value: NaN matches NaN, and the sign of a zero counts.
::testing::AssertionResult Same(long double native, const Soft& soft) {
  long double back = static_cast<long double>(soft);
  bool same = std::isnan(native) ? std::isnan(back)
                                 : back == native && std::signbit(back) == std::signbit(native);
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "x87 " << Hex(native) << ", software " << Hex(back);
}

// Trunc's result, or INT64_MIN + 1 for its error (a value Trunc never gives).
template <class E>
int64_t TruncOrMark(const E& x) {
  try {
    return arithmetic::Trunc(x);
  } catch (const EConvertError&) {
    return INT64_MIN + 1;
  }
}

// A random normal value whose significand has the top `bits` bits of a random
// 64-bit one: 64 for any value, 53 for a double, a few for the operands that
// make exact results and ties.
long double RandomValue(std::mt19937_64& random, int bits, int minExponent, int maxExponent) {
  uint64_t significand = (random() | uint64_t{1} << 63) & ~uint64_t{0} << (64 - bits);
  auto span = static_cast<uint64_t>(maxExponent - minExponent + 1);
  int exponent = minExponent + static_cast<int>(random() % span);
  long double x = std::ldexp(static_cast<long double>(significand), exponent - 63);
  return random() % 2 ? -x : x;
}

TEST(SoftExtended, EveryOperationOfTheArithmeticRoundsAsTheX87) {
  std::mt19937_64 random(20261208);
  const int kBits[] = {64, 53, 5};
  for (int i = 0; i < 100000; ++i) {
    long double a = RandomValue(random, kBits[random() % 3], -70, 70);
    long double b = RandomValue(random, kBits[random() % 3], -70, 70);
    Soft sa(a), sb(b);
    ASSERT_TRUE(Same(a, sa));  // both ways exact: the formats are the same
    ASSERT_TRUE(Same(a + b, sa + sb)) << i;
    ASSERT_TRUE(Same(a - b, sa - sb)) << i;
    ASSERT_TRUE(Same(a * b, sa * sb)) << i;
    ASSERT_TRUE(Same(a / b, sa / sb)) << i;
    ASSERT_TRUE(Same(a * 24.0f, sa * Soft(24.0f))) << i;
    ASSERT_TRUE(Same(a * 60.0f, sa * Soft(60.0f))) << i;
    ASSERT_TRUE(Same(arithmetic::Int(a), arithmetic::Int(sa))) << i;
    ASSERT_EQ(TruncOrMark(a), TruncOrMark(sa)) << i;

    // Ties: half a unit in the last place added to a full significand, a
    // full significand times a small odd number, and to double a value
    // whose eleven dropped bits are exactly one half.
    long double full = RandomValue(random, 64, 0, 70);
    int exponent = std::ilogb(full);
    long double half = std::ldexp(static_cast<long double>(2 * (random() % 8) + 1), exponent - 64);
    ASSERT_TRUE(Same(full + half, Soft(full) + Soft(half))) << i;
    ASSERT_TRUE(Same(full - half, Soft(full) - Soft(half))) << i;
    // Operands far apart, where a sum's rounding depends on bits far below.
    for (int apart = 63; apart <= 66; ++apart) {
      long double far = RandomValue(random, 64, exponent - apart, exponent - apart);
      ASSERT_TRUE(Same(full + far, Soft(full) + Soft(far))) << i << " apart " << apart;
      ASSERT_TRUE(Same(far - full, Soft(far) - Soft(full))) << i << " apart " << apart;
    }
    long double odd = static_cast<long double>(2 * (random() % 128) + 3);
    ASSERT_TRUE(Same(full * odd, Soft(full) * Soft(odd))) << i;
    long double tie = std::ldexp(std::trunc(std::ldexp(full, 52 - exponent)) + 0.5L, exponent - 52);
    for (long double x : {a, a * b, tie, -tie}) {
      double native = static_cast<double>(x);
      double soft = static_cast<double>(Soft(x));
      ASSERT_TRUE(native == soft && std::signbit(native) == std::signbit(soft))
          << Hex(x) << ": x87 " << Hex(native) << ", software " << Hex(soft);
    }
  }
  // Trunc's bounds and the values that are not numbers.
  for (long double x : {0x1p63L, 0x1p63L - 1, -0x1p63L, -0x1p63L - 1, -0.75L, 1e4000L,
                        std::numeric_limits<long double>::infinity(),
                        -std::numeric_limits<long double>::infinity(),
                        std::numeric_limits<long double>::quiet_NaN()}) {
    EXPECT_EQ(TruncOrMark(x), TruncOrMark(Soft(x))) << x;
    EXPECT_TRUE(Same(arithmetic::Int(x), arithmetic::Int(Soft(x)))) << x;
  }
}

// The reading of a millisecond of a day and its count, with either format:
// the readings must agree, and each format's count of its own reading.
::testing::AssertionResult SameReadingAndCount(TDateTime day, int64_t msOfDay) {
  TDateTime native = arithmetic::DateTimeSum<long double>(
      day, arithmetic::DayFraction<long double>(msOfDay));
  TDateTime soft = arithmetic::DateTimeSum<Soft>(day, arithmetic::DayFraction<Soft>(msOfDay));
  uint32_t nativeCount = arithmetic::TimeProtocolCount<long double>(native, 2.0);
  uint32_t softCount = arithmetic::TimeProtocolCount<Soft>(soft, 2.0);
  if (native == soft && nativeCount == softCount) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "day " << day << " ms " << msOfDay << ": x87 "
                                       << Hex(native) << " counts " << nativeCount << ", software "
                                       << Hex(soft) << " counts " << softCount;
}

TEST(SoftExtended, ReadingsAndCountsMatchTheX87) {
  constexpr int64_t kMsPerDay = 86400000;
  const TDateTime kFirstDay = EncodeDate(1, 1, 1), kLastDay = EncodeDate(9999, 12, 31);
  // Every millisecond of the first and last minute, and of every 997th
  // millisecond between, on days in every binade a reading can have.
  for (TDateTime day : {kFirstDay, -1.0, 0.0, 1.0, 2.0, 25569.0, EncodeDate(2026, 12, 8),
                        EncodeDate(2036, 2, 7), kLastDay}) {
    for (int64_t ms = 0; ms < 60000; ++ms) {
      ASSERT_TRUE(SameReadingAndCount(day, ms));
      ASSERT_TRUE(SameReadingAndCount(day, kMsPerDay - 1 - ms));
    }
    for (int64_t ms = 0; ms < kMsPerDay; ms += 997) ASSERT_TRUE(SameReadingAndCount(day, ms));
  }
  // Exact seconds, where the count is most sensitive to rounding: some of
  // every 89th day from year 1 to 9999.
  std::mt19937_64 random(1796688000);
  for (TDateTime day = kFirstDay; day <= kLastDay; day += 89) {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(SameReadingAndCount(day, static_cast<int64_t>(random() % 86400) * 1000));
    }
  }
}

}  // namespace
}  // namespace ostrevan

#else

TEST(SoftExtended, NeedsTheX87FormatAndBoostToCompareWith) {
  GTEST_SKIP() << "long double is not the x87 extended format here, or Boost is missing";
}

#endif
