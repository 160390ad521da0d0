// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "ostrevan/export.h"
#include "ostrevan/time/date_time.h"

namespace ostrevan {

/// One reading of the system clock: seconds and microseconds since
/// 1970-01-01 00:00 UTC, as gettimeofday gives them.
struct OSTREVAN_EXPORT TClockReading {
  /// Whole seconds.
  int64_t Seconds = 0;
  /// Microseconds of the second, 0 to 999999.
  int64_t Microseconds = 0;
};

/// Where CurrentDateTime takes its readings from. Replaceable so that tests
/// can read fixed instants; the source is called from any thread.
using TClockSource = TClockReading (*)();

/// The operating system's clock (gettimeofday).
OSTREVAN_EXPORT TClockReading SystemClock();

/// Makes CurrentDateTime read from source (nullptr: the system clock again)
/// and returns the source used before. Safe from any thread; a reading in
/// progress on another thread may still use the previous source.
OSTREVAN_EXPORT TClockSource SetClockSource(TClockSource source);

/// The local date and time of a reading under the process's time-zone rules
/// (localtime_r, daylight saving time included), to the millisecond: the
/// microseconds are cut, never rounded. Raises EConvertError "Invalid argument
/// to date encode" for a date outside the years 1 to 9999 and "Invalid
/// argument to time encode" for a leap second (second 60). Reentrant.
///
/// localtime_r reads the zone rules that tzset last loaded: whoever changes
/// TZ calls tzset, and does so while no other thread reads the clock.
OSTREVAN_EXPORT TDateTime LocalDateTime(const TClockReading& reading);

/// LocalDateTime of a reading of the current clock source.
OSTREVAN_EXPORT TDateTime CurrentDateTime();

}  // namespace ostrevan
