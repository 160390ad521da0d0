// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

#include "ostrevan/export.h"

namespace ostrevan {

/// Whether two texts are the same command text: each byte taken as a wide
/// character of the C library's current locale, upper-cased with towupper,
/// and the results compared with wcscoll. The program never sets a locale,
/// so this is the "C" locale, where only a to z change. A NUL byte does not
/// end a text: texts that contain one are compared character by character
/// after upper-casing.
OSTREVAN_EXPORT bool SameCommandText(std::string_view A, std::string_view B);

/// Whether the line ALine is the command ACommand, and its parameter text.
///  - The whole line equal to the command: recognised, no parameter text.
///  - With a delimiter (ACmdDelimiter not NUL): the line starts with the
///    command followed by the delimiter; the parameters are the rest.
///  - Without one (NUL): the line starts with the command; the parameters
///    are the rest. An empty command therefore matches every line.
/// All comparisons are SameCommandText. AParams is set only on a match.
OSTREVAN_EXPORT bool MatchCommand(std::string_view ACommand, char ACmdDelimiter, std::string_view ALine,
                  std::string& AParams);

}  // namespace ostrevan
