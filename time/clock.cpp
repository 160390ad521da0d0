// SPDX-License-Identifier: MIT
#include "ostrevan/time/clock.h"

#include <sys/time.h>

#include <atomic>
#include <ctime>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/time/clock_arithmetic.h"

namespace ostrevan {

namespace {

std::atomic<TClockSource> ClockSource{&SystemClock};

[[noreturn]] void RaiseDateEncodeError() { throw EConvertError("Invalid argument to date encode"); }

}  // namespace

TClockReading SystemClock() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  return TClockReading{now.tv_sec, now.tv_usec};
}

TClockSource SetClockSource(TClockSource source) {
  return ClockSource.exchange(source != nullptr ? source : &SystemClock);
}

TDateTime LocalDateTime(const TClockReading& reading) {
  time_t seconds = static_cast<time_t>(reading.Seconds);
  tm local{};
  // A reading too far out for the C library, or a year beyond what the date
  // encoder takes, is a date it cannot encode; checking before the narrowing
  // to 16 bits keeps year 65537 from passing as year 1.
  if (::localtime_r(&seconds, &local) == nullptr) RaiseDateEncodeError();
  int64_t year = int64_t{local.tm_year} + 1900;
  if (year < 1 || year > 9999) RaiseDateEncodeError();

  TDateTime date = EncodeDate(static_cast<uint16_t>(year), static_cast<uint16_t>(local.tm_mon + 1),
                              static_cast<uint16_t>(local.tm_mday));
  // A source that is not the system clock may hand over anything.
  if (reading.Microseconds < 0 || reading.Microseconds > 999999) {
    throw EConvertError("Invalid argument to time encode");
  }
  TDateTime time = EncodeTime(static_cast<uint16_t>(local.tm_hour), static_cast<uint16_t>(local.tm_min),
                              static_cast<uint16_t>(local.tm_sec),
                              static_cast<uint16_t>(reading.Microseconds / 1000));
  return clock_arithmetic::DateTimeSum<TExtended>(date, time);
}

TDateTime CurrentDateTime() { return LocalDateTime(ClockSource.load()()); }

}  // namespace ostrevan
