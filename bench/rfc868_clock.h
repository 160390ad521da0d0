// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace ostrevan::bench {

// Seconds between 1900-01-01 and 1970-01-01, both at 00:00.
inline constexpr int64_t kSecondsFrom1900To1970 = 2208988800;

// The four-byte Time protocol count for a Unix time on a clock whose local
// time is utcOffsetSeconds ahead of UTC: seconds since 1900-01-01 00:00
// local time, reduced modulo 2^32 (the low 32 bits of the signed count).
uint32_t Rfc868Count(int64_t unixSeconds, int64_t utcOffsetSeconds);

// The count for a Unix time under this process's time-zone rules.
uint32_t LocalRfc868Count(int64_t unixSeconds);

// The count for the current time under this process's time-zone rules.
uint32_t CurrentRfc868Count();

// True when received lies within toleranceSeconds of the interval between
// the counts taken before and after the exchange, all modulo 2^32. The two
// bounds may come in either order, as they do when a daylight-saving change
// falls between the two readings.
bool IsPlausibleCount(uint32_t received, uint32_t before, uint32_t after,
                      uint32_t toleranceSeconds);

// The four bytes, most significant first, as one number.
uint32_t DecodeCount(const unsigned char bytes[4]);
void EncodeCount(uint32_t count, unsigned char bytes[4]);

}  // namespace ostrevan::bench
