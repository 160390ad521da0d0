// SPDX-License-Identifier: MIT
#include "ostrevan/time/time_protocol_count.h"

#include "ostrevan/time/clock_arithmetic.h"

namespace ostrevan {

uint32_t TimeProtocolCount(TDateTime now, TDateTime baseDate) {
  return clock_arithmetic::TimeProtocolCount<TExtended>(now, baseDate);
}

}  // namespace ostrevan
