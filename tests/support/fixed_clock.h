// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/time/clock.h"

namespace ostrevan {

// While it lives, CurrentDateTime reads the instant given here instead of
// the system clock (one at a time per process). Set may be called while
// other threads read the clock.
class TFixedClock {
 public:
  TFixedClock(int64_t seconds, int64_t microseconds);
  ~TFixedClock();
  TFixedClock(const TFixedClock&) = delete;
  TFixedClock& operator=(const TFixedClock&) = delete;

  // Seconds since 1970-01-01 00:00 UTC (negative before) and 0 to 999999 µs.
  void Set(int64_t seconds, int64_t microseconds);

 private:
  TClockSource Previous_;
};

// Sets the process's time zone (the TZ variable, then tzset) while it lives
// and restores the previous setting after. Use it while no other thread
// reads the clock: the C library's zone rules are process-wide.
class TScopedTimeZone {
 public:
  explicit TScopedTimeZone(const char* tz);
  ~TScopedTimeZone();
  TScopedTimeZone(const TScopedTimeZone&) = delete;
  TScopedTimeZone& operator=(const TScopedTimeZone&) = delete;

 private:
  bool HadTz_ = false;
  std::string PreviousTz_;
};

}  // namespace ostrevan
