// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ostrevan/export.h"

namespace ostrevan {

/// Integer conversion of text, one rule for the whole system: leading blanks
/// (byte 32 only), an optional sign, then decimal digits within the signed
/// 32-bit range, or hexadecimal digits after "$", "X", "x", "0X" or "0x"
/// that fit in 32 bits and are read as two's complement ("$FFFFFFFF" is -1).
/// Nothing may follow the last digit.
OSTREVAN_EXPORT bool TryStrToInt(std::string_view text, int32_t& value);
/// As TryStrToInt; an invalid text raises EConvertError.
OSTREVAN_EXPORT int32_t StrToInt(std::string_view text);
/// As TryStrToInt; an invalid text gives the default.
OSTREVAN_EXPORT int32_t StrToIntDef(std::string_view text, int32_t defaultValue);

/// The decimal text of value.
OSTREVAN_EXPORT std::string IntToStr(int64_t value);

/// Letters a to z become A to Z; every other byte is unchanged.
OSTREVAN_EXPORT std::string UpperCase(std::string_view text);
/// Letters A to Z become a to z; every other byte is unchanged.
OSTREVAN_EXPORT std::string LowerCase(std::string_view text);
/// Case-insensitive comparison over the letters a to z only.
OSTREVAN_EXPORT bool SameText(std::string_view a, std::string_view b);
/// Removes leading and trailing bytes with codes up to 32.
OSTREVAN_EXPORT std::string Trim(std::string_view text);

/// The system's text for an errno value; safe on any thread.
OSTREVAN_EXPORT std::string SysErrorMessage(int code);

}  // namespace ostrevan
