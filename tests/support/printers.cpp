// SPDX-License-Identifier: MIT
#include "tests/support/printers.h"

namespace ostrevan {

void PrintTo(const TStringList& list, std::ostream* out) {
  *out << '{';
  for (int i = 0; i < list.Count(); ++i) *out << (i > 0 ? ", \"" : "\"") << list[i] << '"';
  *out << '}';
}

}  // namespace ostrevan
