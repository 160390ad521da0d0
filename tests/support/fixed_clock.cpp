// SPDX-License-Identifier: MIT
#include "tests/support/fixed_clock.h"

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace ostrevan {

namespace {

// The instant as one count of microseconds, so a reader never sees the
// seconds of one Set with the microseconds of another.
std::atomic<int64_t> FixedMicroseconds{0};

TClockReading ReadFixedClock() {
  int64_t total = FixedMicroseconds.load();
  int64_t seconds = total / 1000000;
  int64_t micro = total % 1000000;
  if (micro < 0) {
    micro += 1000000;
    seconds -= 1;
  }
  return TClockReading{seconds, micro};
}

}  // namespace

TFixedClock::TFixedClock(int64_t seconds, int64_t microseconds) {
  Set(seconds, microseconds);
  Previous_ = SetClockSource(&ReadFixedClock);
}

TFixedClock::~TFixedClock() { SetClockSource(Previous_); }

void TFixedClock::Set(int64_t seconds, int64_t microseconds) {
  FixedMicroseconds.store(seconds * 1000000 + microseconds);
}

TScopedTimeZone::TScopedTimeZone(const char* tz) {
  if (const char* previous = std::getenv("TZ")) {
    HadTz_ = true;
    PreviousTz_ = previous;
  }
  ::setenv("TZ", tz, 1);
  ::tzset();
}

TScopedTimeZone::~TScopedTimeZone() {
  if (HadTz_) {
    ::setenv("TZ", PreviousTz_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace ostrevan
