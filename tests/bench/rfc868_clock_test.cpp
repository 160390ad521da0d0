// SPDX-License-Identifier: MIT
#include "ostrevan/bench/rfc868_clock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace ostrevan::bench {
namespace {

TEST(Rfc868Count, KnownAnswersAndWrap) {
  EXPECT_EQ(Rfc868Count(0, 0), 0x83AA7E80u) << "1970-01-01 00:00 UTC";
  EXPECT_EQ(Rfc868Count(946684800, 0), 0xBC17C200u) << "2000-01-01 00:00 UTC";
  EXPECT_EQ(Rfc868Count(-2208988800, 0), 0u) << "1900-01-01 00:00";
  EXPECT_EQ(Rfc868Count(2085978496, 0), 0u) << "2036-02-07 06:28:16, exactly 2^32";
  EXPECT_EQ(Rfc868Count(2085978495, 0), 0xFFFFFFFFu) << "one second before the wrap";
  EXPECT_EQ(Rfc868Count(2085978496 + 5, 0), 5u);
  EXPECT_EQ(Rfc868Count(-2208988801, 0), 0xFFFFFFFFu) << "a negative count, as its complement";
}

TEST(Rfc868Count, LocalOffsetMovesTheCount) {
  EXPECT_EQ(Rfc868Count(0, 7200), 0x83AA7E80u + 7200) << "two hours east";
  EXPECT_EQ(Rfc868Count(0, -18000), 0x83AA7E80u - 18000) << "five hours west";
  EXPECT_EQ(Rfc868Count(2085978496 - 3600, 3600), 0u) << "the wrap comes earlier in UTC east";
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) Old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (Old_) {
      setenv("TZ", Old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> Old_;
};

TEST(LocalRfc868Count, FollowsTheZoneAndDaylightSaving) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const int64_t winter = 1736942400;  // 2025-01-15 12:00 UTC
  const int64_t summer = 1752580800;  // 2025-07-15 12:00 UTC
  EXPECT_EQ(LocalRfc868Count(winter), Rfc868Count(winter, 3600));
  EXPECT_EQ(LocalRfc868Count(summer), Rfc868Count(summer, 7200));
}

TEST(IsPlausibleCount, AcceptsTheIntervalWithTolerance) {
  EXPECT_TRUE(IsPlausibleCount(1000, 1000, 1000, 0));
  EXPECT_TRUE(IsPlausibleCount(998, 1000, 1001, 2));
  EXPECT_TRUE(IsPlausibleCount(1003, 1000, 1001, 2));
  EXPECT_FALSE(IsPlausibleCount(997, 1000, 1001, 2));
  EXPECT_FALSE(IsPlausibleCount(1004, 1000, 1001, 2));
  EXPECT_FALSE(IsPlausibleCount(1000 + 3600, 1000, 1001, 2)) << "an hour off";
  EXPECT_FALSE(IsPlausibleCount(0, 1000, 1001, 2));
}

TEST(IsPlausibleCount, WrapsModulo2To32) {
  EXPECT_TRUE(IsPlausibleCount(0, 0xFFFFFFFFu, 0xFFFFFFFFu, 2)) << "just past the wrap";
  EXPECT_TRUE(IsPlausibleCount(1, 0xFFFFFFFFu, 0, 1));
  EXPECT_TRUE(IsPlausibleCount(0xFFFFFFFEu, 0, 1, 2)) << "just before the wrap";
  EXPECT_TRUE(IsPlausibleCount(0xFFFFFFFFu, 0xFFFFFFFEu, 1, 0)) << "an interval across it";
  EXPECT_FALSE(IsPlausibleCount(3, 0xFFFFFFFFu, 0, 2));
  EXPECT_FALSE(IsPlausibleCount(0xFFFFFFFCu, 0, 0, 2));
  EXPECT_FALSE(IsPlausibleCount(0x80000000u, 0xFFFFFFFFu, 0, 2)) << "half way round";
}

TEST(IsPlausibleCount, BoundsInEitherOrder) {
  // Daylight saving ending between the two readings sets the clock back an
  // hour; the interval is then the two readings, not the rest of the circle.
  EXPECT_TRUE(IsPlausibleCount(5001, 8600, 5001, 0));
  EXPECT_TRUE(IsPlausibleCount(8600, 8600, 5001, 0));
  EXPECT_TRUE(IsPlausibleCount(4999, 8600, 5001, 2));
  EXPECT_FALSE(IsPlausibleCount(5000, 8600, 5001, 0));
  EXPECT_FALSE(IsPlausibleCount(9000, 8600, 5001, 2));
  EXPECT_FALSE(IsPlausibleCount(100, 8600, 5001, 2));
}

TEST(CountBytes, MostSignificantFirst) {
  unsigned char bytes[4];
  EncodeCount(0x83AA7E80u, bytes);
  EXPECT_EQ(bytes[0], 0x83);
  EXPECT_EQ(bytes[1], 0xAA);
  EXPECT_EQ(bytes[2], 0x7E);
  EXPECT_EQ(bytes[3], 0x80);
  EXPECT_EQ(DecodeCount(bytes), 0x83AA7E80u);
  const unsigned char high[4] = {0xFF, 0x00, 0x00, 0x01};
  EXPECT_EQ(DecodeCount(high), 0xFF000001u);
}

}  // namespace
}  // namespace ostrevan::bench
