// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/format.h"

#include <cstdarg>
#include <cstdio>

namespace ostrevan {

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<size_t>(length));
    std::vsnprintf(result.data(), result.size() + 1, format, args);
  }
  va_end(args);
  return result;
}

}  // namespace ostrevan
