// SPDX-License-Identifier: MIT
#include "ostrevan/bench/rfc868_clock.h"

#include <ctime>

namespace ostrevan::bench {

uint32_t Rfc868Count(int64_t unixSeconds, int64_t utcOffsetSeconds) {
  // Unsigned arithmetic wraps where the signed count would leave 32 bits.
  return static_cast<uint32_t>(static_cast<uint64_t>(unixSeconds) +
                               static_cast<uint64_t>(kSecondsFrom1900To1970) +
                               static_cast<uint64_t>(utcOffsetSeconds));
}

uint32_t LocalRfc868Count(int64_t unixSeconds) {
  const time_t seconds = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return Rfc868Count(unixSeconds, 0);
  return Rfc868Count(unixSeconds, local.tm_gmtoff);
}

uint32_t CurrentRfc868Count() {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  return LocalRfc868Count(now.tv_sec);
}

bool IsPlausibleCount(uint32_t received, uint32_t before, uint32_t after,
                      uint32_t toleranceSeconds) {
  uint32_t low = before;
  uint32_t high = after;
  if (static_cast<int32_t>(high - low) < 0) {
    low = after;
    high = before;
  }
  const uint64_t windowStart = static_cast<uint32_t>(low - toleranceSeconds);
  const uint64_t width = static_cast<uint64_t>(static_cast<uint32_t>(high - low)) +
                         2 * static_cast<uint64_t>(toleranceSeconds);
  return static_cast<uint32_t>(received - windowStart) <= width;
}

uint32_t DecodeCount(const unsigned char bytes[4]) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void EncodeCount(uint32_t count, unsigned char bytes[4]) {
  bytes[0] = static_cast<unsigned char>(count >> 24);
  bytes[1] = static_cast<unsigned char>(count >> 16);
  bytes[2] = static_cast<unsigned char>(count >> 8);
  bytes[3] = static_cast<unsigned char>(count);
}

}  // namespace ostrevan::bench
