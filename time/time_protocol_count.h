// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "ostrevan/export.h"
#include "ostrevan/time/date_time.h"

namespace ostrevan {

/// The RFC 868 answer for the local time now: whole seconds from the day of
/// baseDate (its fraction is ignored) to now + TimeZoneOffset, modulo 2^32,
/// a negative count sent as its 32-bit complement.
///
/// Computed in extended precision with the single-precision factors 24, 60
/// and 60 applied one at a time and cut toward zero. At many exact seconds
/// (zero milliseconds) the result is one lower than the exact count, because
/// the double reading lies just below the exact instant. That is deliberate:
/// the count follows the clock's defined arithmetic, not the ideal instant.
///
/// Raises EConvertError when the count does not fit in 64 bits (only for
/// absurd or non-finite arguments). Pure and reentrant.
OSTREVAN_EXPORT uint32_t TimeProtocolCount(TDateTime now, TDateTime baseDate);

}  // namespace ostrevan
