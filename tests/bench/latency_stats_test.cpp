// SPDX-License-Identifier: MIT
#include "ostrevan/bench/latency_stats.h"

#include <gtest/gtest.h>

#include <numeric>

#include "ostrevan/bench/command_line.h"

namespace ostrevan::bench {
namespace {

std::vector<uint64_t> OneTo(uint64_t n) {
  std::vector<uint64_t> values(n);
  std::iota(values.begin(), values.end(), 1);
  return values;
}

TEST(NearestRankPercentile, SmallestValueCoveringThePercentage) {
  const std::vector<uint64_t> hundred = OneTo(100);
  EXPECT_EQ(NearestRankPercentile(hundred, 50), 50u);
  EXPECT_EQ(NearestRankPercentile(hundred, 99), 99u) << "not the maximum";
  EXPECT_EQ(NearestRankPercentile(hundred, 99.9), 100u);
  EXPECT_EQ(NearestRankPercentile(hundred, 100), 100u);
  EXPECT_EQ(NearestRankPercentile(hundred, 0), 1u);

  const std::vector<uint64_t> four = OneTo(4);
  EXPECT_EQ(NearestRankPercentile(four, 50), 2u);
  EXPECT_EQ(NearestRankPercentile(four, 50.01), 3u);
  EXPECT_EQ(NearestRankPercentile(four, 99), 4u);

  const std::vector<uint64_t> twenty_thousand = OneTo(20000);
  EXPECT_EQ(NearestRankPercentile(twenty_thousand, 99), 19800u);
  EXPECT_EQ(NearestRankPercentile(twenty_thousand, 50), 10000u);
}

TEST(NearestRankPercentile, DegenerateLists) {
  EXPECT_EQ(NearestRankPercentile({}, 50), 0u);
  EXPECT_EQ(NearestRankPercentile({7}, 0), 7u);
  EXPECT_EQ(NearestRankPercentile({7}, 99), 7u);
  EXPECT_EQ(NearestRankPercentile({7}, 250), 7u) << "clamped";
}

TEST(Summarize, SortsAndPicks) {
  std::vector<uint64_t> values = {900, 5, 300, 100, 7, 42, 8, 1000, 3, 60};
  const LatencySummary summary = Summarize(values);
  EXPECT_EQ(summary.Count, 10u);
  EXPECT_EQ(summary.P50, 42u);
  EXPECT_EQ(summary.P99, 1000u);
  EXPECT_EQ(summary.Max, 1000u);
  std::vector<uint64_t> none;
  EXPECT_EQ(Summarize(none).Max, 0u);
}

TEST(ParseNumber, WholeDecimalsWithinRange) {
  int64_t value = -1;
  EXPECT_TRUE(ParseNumber("20000", 0, 100000, value));
  EXPECT_EQ(value, 20000);
  for (const char* text : {"", "-1", "+1", " 1", "1 ", "1x", "0x10", "100001",
                           "99999999999999999999"}) {
    value = -1;
    EXPECT_FALSE(ParseNumber(text, 0, 100000, value)) << '"' << text << '"';
    EXPECT_EQ(value, -1);
  }
}

}  // namespace
}  // namespace ostrevan::bench
