// SPDX-License-Identifier: MIT
// The integer conversion of text: no undefined behaviour for any input, and
// a value it accepts survives a round trip through its decimal text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ostrevan/runtime/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  int32_t value = 0;
  if (!ostrevan::TryStrToInt(text, value)) return 0;
  int32_t again = 0;
  if (!ostrevan::TryStrToInt(ostrevan::IntToStr(value), again) || again != value) __builtin_trap();
  return 0;
}
