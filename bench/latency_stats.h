// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

namespace ostrevan::bench {

// The nearest-rank percentile of values sorted in ascending order: the
// smallest value that at least percent per cent of all values do not exceed.
// percent is taken to two decimals (99.9 works); 0 gives the minimum, 100 the
// maximum, an empty list 0.
uint64_t NearestRankPercentile(const std::vector<uint64_t>& sortedValues, double percent);

struct LatencySummary {
  uint64_t Count = 0;
  uint64_t P50 = 0;
  uint64_t P99 = 0;
  uint64_t Max = 0;
};

// Sorts the values in place and summarises them.
LatencySummary Summarize(std::vector<uint64_t>& values);

}  // namespace ostrevan::bench
