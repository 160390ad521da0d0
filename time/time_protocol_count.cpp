#include "time/time_protocol_count.h"

namespace ostrevan {

uint32_t TimeProtocolCount(TDateTime now, TDateTime baseDate) {
  long double x = static_cast<long double>(TimeZoneOffset) + static_cast<long double>(now);
  x = x - Int(baseDate);
  // One rounding per factor, in this order: folding them into 86400 would
  // change the result at exact seconds.
  x = x * 24.0f;
  x = x * 60.0f;
  x = x * 60.0f;
  int64_t count = Trunc(x);
  return static_cast<uint32_t>(static_cast<uint64_t>(count));
}

}  // namespace ostrevan
