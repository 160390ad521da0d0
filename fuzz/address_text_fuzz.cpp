// SPDX-License-Identifier: MIT
// Dotted address text: any text converts or raises the conversion error, and
// a text that passes the dotted-address test converts to bytes whose text
// form passes it again and converts to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ostrevan/net/stack_linux.h"
#include "ostrevan/runtime/exception.h"

using namespace ostrevan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TIdStackLinux stack;
  std::string text(reinterpret_cast<const char*>(data), size);
  in_addr address{};
  try {
    address = stack.TextToAddress(text);
  } catch (const EConvertError&) {
    if (TIdStack::IsDottedAddress(text)) __builtin_trap();
    return 0;
  }
  if (TIdStack::IsDottedAddress(text)) {
    std::string back = stack.AddressToText(address);
    if (!TIdStack::IsDottedAddress(back)) __builtin_trap();
    in_addr again = stack.TextToAddress(back);
    if (std::memcmp(&again, &address, sizeof address) != 0) __builtin_trap();
  }
  return 0;
}
