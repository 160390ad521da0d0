// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>

#include "ostrevan/runtime/string_list.h"

namespace ostrevan {

// GoogleTest prints a TStringList in a failure as its lines, {"a", "b"},
// instead of the bytes of the object. Include it wherever lists are compared.
void PrintTo(const TStringList& list, std::ostream* out);

}  // namespace ostrevan
