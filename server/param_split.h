// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "ostrevan/export.h"
#include "ostrevan/runtime/string_list.h"

namespace ostrevan {

// The two ways a command's parameter text is cut into its parameters. Each
// entry of the list carries, as its value, the 1-based position in the given
// text where its piece began.

/// Cuts at every ADelimiter. Pieces are kept as they are; the empty ones
/// (consecutive delimiters, a delimiter at either end) are left out.
OSTREVAN_EXPORT void SplitParams(std::string_view AText, TStringList& AList, std::string_view ADelimiter);

/// Trims the text (bytes up to 32 at both ends), then cuts it at every
/// ADelimiter and trims each piece. A piece that was empty before trimming
/// is left out; one of blanks only gives an empty entry. Positions count in
/// the untrimmed text.
OSTREVAN_EXPORT void SplitTrimmedParams(std::string_view AText, TStringList& AList, std::string_view ADelimiter);

}  // namespace ostrevan
