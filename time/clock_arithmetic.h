// SPDX-License-Identifier: MIT
#pragma once

#include <cmath>
#include <cstdint>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/time/date_time.h"

/// The clock arithmetic, written once for any type E with the x87 extended
/// format's rounding. The library computes with TExtended; the tests run the
/// same steps with long double and with TSoftExtended side by side to show
/// that the two agree bit for bit.
namespace ostrevan::clock_arithmetic {

/// EncodeTime's step: the millisecond count of the day divided in extended
/// precision, then rounded to double.
template <class E>
TDateTime DayFraction(int64_t msOfDay) {
  return static_cast<TDateTime>(E(msOfDay) / E(86400000));
}

/// LocalDateTime's step: the day number and the day's fraction added in
/// extended precision, then rounded to double. At many exact seconds the sum
/// lies slightly below the exact instant, which makes the time protocol's
/// count one lower there; deliberate, it is the clock's defined arithmetic.
template <class E>
TDateTime DateTimeSum(TDateTime date, TDateTime time) {
  return static_cast<TDateTime>(E(date) + E(time));
}

/// x without its fraction, cut toward zero; NaN and the infinities pass
/// through.
template <class E>
E Int(const E& x) {
  using std::isnan;
  using std::trunc;
  return isnan(x) ? x : trunc(x);
}

/// x cut toward zero to a signed 64-bit integer, or EConvertError when the
/// result does not fit (NaN and the infinities included): never the undefined
/// or saturating conversion the type itself would make.
template <class E>
int64_t Trunc(const E& x) {
  /// -2^63 - 1 is exact in the 64-bit significand; everything strictly
  /// between it and 2^63 truncates into the signed 64-bit range. NaN fails
  /// both comparisons.
  const E upper(0x1p63);
  const E lower = E(-0x1p63) - E(1);
  if (!(x > lower && x < upper)) {
    throw EConvertError(
        Format("Cannot truncate %Lg to a 64-bit integer", static_cast<long double>(x)));
  }
  return static_cast<int64_t>(x);
}

/// TimeProtocolCount's steps: see time/time_protocol_count.h.
template <class E>
uint32_t TimeProtocolCount(TDateTime now, TDateTime baseDate) {
  E x = E(TimeZoneOffset) + E(now);
  x = x - Int(E(baseDate));
  /// One rounding per factor, in this order: folding them into 86400 would
  /// change the result at exact seconds.
  x = x * E(24.0f);
  x = x * E(60.0f);
  x = x * E(60.0f);
  int64_t count = Trunc(x);
  return static_cast<uint32_t>(static_cast<uint64_t>(count));
}

}  // namespace ostrevan::clock_arithmetic
