// SPDX-License-Identifier: MIT
#include "ostrevan/time/clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/runtime/exception.h"
#include "tests/support/fixed_clock.h"
#include "ostrevan/time/date_time.h"

namespace ostrevan {
namespace {

constexpr int64_t kUnix1900 = -2208988800;  // 1900-01-01 00:00:00 UTC
constexpr int64_t kSecondsPerDay = 86400;

std::string ConvertErrorOf(const TClockReading& reading) {
  try {
    LocalDateTime(reading);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(LocalDateTime, DayNumbersOfKnownInstantsInUtc) {
  TScopedTimeZone utc("UTC0");
  EXPECT_EQ(LocalDateTime({kUnix1900 - 2 * kSecondsPerDay, 0}), 0.0);  // 1899-12-30
  EXPECT_EQ(LocalDateTime({kUnix1900, 0}), 2.0);
  EXPECT_EQ(LocalDateTime({0, 0}), 25569.0);
  EXPECT_EQ(LocalDateTime({946728000, 0}), 36526.5);  // 2000-01-01 12:00
  EXPECT_EQ(LocalDateTime({0, 500000}), 25569.0 + EncodeTime(0, 0, 0, 500));
}

TEST(LocalDateTime, MicrosecondsAreCutToMilliseconds) {
  TScopedTimeZone utc("UTC0");
  TDateTime at999 = LocalDateTime({0, 999000});
  EXPECT_EQ(LocalDateTime({0, 999999}), at999);
  EXPECT_LT(LocalDateTime({0, 998999}), at999);
  EXPECT_LT(at999, LocalDateTime({1, 0}));
  EXPECT_EQ(LocalDateTime({0, 999}), 25569.0);
}

TEST(LocalDateTime, AnExactSecondLiesSlightlyBelowTheExactInstant) {
  TScopedTimeZone utc("UTC0");
  TDateTime day = EncodeDate(2026, 12, 8);
  int64_t midnight = static_cast<int64_t>(day - 25569.0) * kSecondsPerDay;
  TDateTime reading = LocalDateTime({midnight + 2, 0});
  // reading - day is exact (both lie in the same binade), and so is the
  // product with 43200; the exact instant is day + 1/43200.
  long double scaled = static_cast<long double>(reading - day) * 43200.0L;
  EXPECT_LT(scaled, 1.0L);
  EXPECT_GT(scaled, 1.0L - 1e-6L);
}

// A minimal compiled zone (format version 1): UTC with one leap second
// inserted before the given instant, so that it reads as second 60.
std::string WriteLeapSecondZone(int64_t leapAt) {
  std::string data("TZif", 4);
  data.append(16, '\0');  // version 1 and the reserved bytes
  auto put32 = [&data](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<char>(v >> shift));
  };
  for (uint32_t count : {0u, 0u, 1u, 0u, 1u, 4u}) put32(count);  // ut, std, leap, time, type, char
  put32(0);                                                      // the one type: offset 0,
  data.push_back(0);                                             // no daylight saving,
  data.push_back(0);                                             // designation at 0
  data.append("UTC", 4);
  put32(static_cast<uint32_t>(leapAt));
  put32(1);
  std::string path = ::testing::TempDir() + "leap-zone-" + std::to_string(::getpid());
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return {};
  bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  std::fclose(file);
  return written ? path : std::string();
}

TEST(LocalDateTime, ALeapSecondFailsWithTheTimeEncodeMessage) {
  constexpr int64_t kLeap = 1483228800;  // 2017-01-01 00:00:00 without leap seconds
  std::string path = WriteLeapSecondZone(kLeap);
  ASSERT_FALSE(path.empty());
  {
    TScopedTimeZone leapZone((":" + path).c_str());
    tm check{};
    time_t at = kLeap;
    ASSERT_NE(::localtime_r(&at, &check), nullptr);
    if (check.tm_sec != 60) {
      std::remove(path.c_str());
      GTEST_SKIP() << "the C library does not apply leap seconds from the zone file";
    }
    EXPECT_EQ(ConvertErrorOf({kLeap, 250000}), "Invalid argument to time encode");
    EXPECT_NEAR(LocalDateTime({kLeap - 1, 0}), EncodeDate(2016, 12, 31) + EncodeTime(23, 59, 59, 0), 1e-10);
    EXPECT_EQ(LocalDateTime({kLeap + 1, 0}), EncodeDate(2017, 1, 1));
  }
  std::remove(path.c_str());
}

TEST(LocalDateTime, DatesOutsideTheEncodableYearsFail) {
  TScopedTimeZone utc("UTC0");
  const std::string message = "Invalid argument to date encode";
  constexpr int64_t kYear10000 = 253402300800;  // 10000-01-01 00:00:00 UTC
  EXPECT_EQ(ConvertErrorOf({kYear10000 - 1, 0}), "(no error)");
  EXPECT_EQ(ConvertErrorOf({kYear10000, 0}), message);
  constexpr int64_t kYear1 = -62135596800;  // 0001-01-01 00:00:00 UTC
  EXPECT_EQ(ConvertErrorOf({kYear1, 0}), "(no error)");
  EXPECT_EQ(ConvertErrorOf({kYear1 - 1, 0}), message);
  // Year 65537 would pass as year 1 if narrowed to 16 bits unchecked.
  EXPECT_EQ(ConvertErrorOf({2005996320000, 0}), message);
  EXPECT_EQ(ConvertErrorOf({0, 1000000}), "Invalid argument to time encode");
  EXPECT_EQ(ConvertErrorOf({0, -1}), "Invalid argument to time encode");
}

TEST(CurrentDateTime, ReadsTheReplaceableClockSource) {
  TScopedTimeZone utc("UTC0");
  {
    TFixedClock fixed(0, 500000);
    EXPECT_EQ(CurrentDateTime(), 25569.0 + EncodeTime(0, 0, 0, 500));
    fixed.Set(kUnix1900 - 1, 250000);  // before 1970: negative seconds
    EXPECT_EQ(CurrentDateTime(), 1.0 + EncodeTime(23, 59, 59, 250));
  }
  // Back on the system clock.
  TDateTime before = 25569.0 + static_cast<double>(std::time(nullptr)) / kSecondsPerDay;
  TDateTime now = CurrentDateTime();
  TDateTime after = 25569.0 + static_cast<double>(std::time(nullptr) + 1) / kSecondsPerDay;
  EXPECT_GE(now, before - 1e-9);
  EXPECT_LE(now, after);
}

TEST(CurrentDateTime, ConcurrentReadersWhileTheSourceChanges) {
  TScopedTimeZone utc("UTC0");
  TFixedClock fixed(0, 0);
  std::atomic<bool> bad{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&bad] {
      for (int i = 0; i < 2000; ++i) {
        TDateTime value = CurrentDateTime();
        if (value < 25569.0 || value > 25570.0) bad = true;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) fixed.Set(i % 86400, (i * 7919) % 1000000);
  for (auto& reader : readers) reader.join();
  EXPECT_FALSE(bad);
}

}  // namespace
}  // namespace ostrevan
