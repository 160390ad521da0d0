// SPDX-License-Identifier: MIT
// Reply parsing and formatting: any received lines parse without fault, and
// a reply with a code and text formats into lines that parse back to it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ostrevan/runtime/string_list.h"
#include "ostrevan/server/rfc_reply.h"

using namespace ostrevan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TStringList lines;
  lines.SetText(std::string(reinterpret_cast<const char*>(data), size));
  TIdRFCReply reply;
  reply.ParseLines(lines);
  if (reply.Text().Count() != lines.Count()) __builtin_trap();
  std::string wire = reply.FormatReply();
  if (reply.HasContent() == wire.empty()) __builtin_trap();

  // A three-digit code with lines that hold no line ends round-trips.
  if (reply.NumericCode() >= 100 && reply.NumericCode() <= 999 && reply.Text().Count() > 0) {
    TStringList received;
    received.SetText(wire);
    TIdRFCReply back;
    back.ParseLines(received);
    if (back.NumericCode() != reply.NumericCode()) __builtin_trap();
    if (!(back.Text() == reply.Text())) __builtin_trap();
  }
  return 0;
}
