// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "ostrevan/export.h"
#include "ostrevan/time/extended.h"

namespace ostrevan {

/// A local date and time: the whole part counts days from 1899-12-30 (day 0),
/// the fraction is the time of day as a fraction of 24 hours. 1900-01-01 is
/// 2.0, 1970-01-01 is 25569.0. Values carry no time zone.
using TDateTime = double;

/// Program-wide offset in days added to a local time before the time
/// protocol counts from it. Nothing changes it, so it is a constant and can
/// be read from any thread without a lock.
inline constexpr TDateTime TimeZoneOffset = 0.0;

/// The day number of a calendar date. Year 1 to 9999, month 1 to 12 and a
/// day that exists in that month (29 February only in leap years); anything
/// else raises EConvertError "Invalid argument to date encode".
OSTREVAN_EXPORT TDateTime EncodeDate(uint16_t Year, uint16_t Month, uint16_t Day);

/// The fraction of the day of a time: hour below 24, minute and second below
/// 60, milliseconds below 1000; anything else (a leap second 60 included)
/// raises EConvertError "Invalid argument to time encode". The millisecond
/// count of the day is divided in extended precision, then rounded to double.
OSTREVAN_EXPORT TDateTime EncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec);

/// x without its fraction, cut toward zero, in extended precision:
/// Int(2.75) is 2, Int(-1.5) is -1. Infinities and NaN pass through.
OSTREVAN_EXPORT TExtended Int(TExtended x);

/// x cut toward zero to a signed 64-bit integer. A value whose truncation
/// does not fit (NaN and the infinities included) raises EConvertError
/// instead of the undefined conversion the language would make of it.
OSTREVAN_EXPORT int64_t Trunc(TExtended x);

}  // namespace ostrevan
