// SPDX-License-Identifier: MIT
#include "ostrevan/bench/latency_stats.h"

#include <algorithm>
#include <cmath>

namespace ostrevan::bench {

uint64_t NearestRankPercentile(const std::vector<uint64_t>& sortedValues, double percent) {
  const uint64_t count = sortedValues.size();
  if (count == 0) return 0;
  // The rank is ceil(percent / 100 * count); worked in hundredths of a per
  // cent as integers, because in floating point 0.99 * 100 is a hair above
  // 99 and its ceiling would pick the maximum.
  const double clamped = std::clamp(percent, 0.0, 100.0);
  const uint64_t basisPoints = static_cast<uint64_t>(std::llround(clamped * 100.0));
  uint64_t rank = (basisPoints * count + 9999) / 10000;
  rank = std::clamp<uint64_t>(rank, 1, count);
  return sortedValues[rank - 1];
}

LatencySummary Summarize(std::vector<uint64_t>& values) {
  std::sort(values.begin(), values.end());
  LatencySummary summary;
  summary.Count = values.size();
  summary.P50 = NearestRankPercentile(values, 50);
  summary.P99 = NearestRankPercentile(values, 99);
  summary.Max = values.empty() ? 0 : values.back();
  return summary;
}

}  // namespace ostrevan::bench
