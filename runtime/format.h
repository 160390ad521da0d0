// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "ostrevan/export.h"

namespace ostrevan {

/// printf-style formatting into a std::string (g++ 12 has no `<format>`).
OSTREVAN_EXPORT std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ostrevan
