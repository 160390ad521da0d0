// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/sysutils.h"

#include <cstring>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

namespace {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads hexadecimal digits to the end of the text; false when there are none,
// when anything else follows, or when the value needs more than 32 bits.
bool ReadHex(std::string_view digits, uint32_t& value) {
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d = HexDigitValue(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

// Reads decimal digits to the end of the text, up to the given magnitude.
bool ReadDecimal(std::string_view digits, uint64_t limit, uint64_t& value) {
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > limit) return false;
  }
  value = v;
  return true;
}

}  // namespace

bool TryStrToInt(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::string_view rest = text.substr(i);
  if (rest.empty()) return false;

  size_t prefix = 0;
  if (rest[0] == '$' || rest[0] == 'X' || rest[0] == 'x') {
    prefix = 1;
  } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'X' || rest[1] == 'x')) {
    prefix = 2;
  }
  if (prefix > 0) {
    uint32_t bits = 0;
    if (!ReadHex(rest.substr(prefix), bits)) return false;
    // Two's complement, and negation wraps as it does in 32-bit arithmetic.
    value = static_cast<int32_t>(negative ? 0u - bits : bits);
    return true;
  }
  uint64_t magnitude = 0;
  if (!ReadDecimal(rest, negative ? 2147483648ull : 2147483647ull, magnitude)) return false;
  value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                        : static_cast<int64_t>(magnitude));
  return true;
}

int32_t StrToInt(std::string_view text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) {
    throw EConvertError(Format("'%.*s' is not a valid integer value",
                               static_cast<int>(text.size()), text.data()));
  }
  return value;
}

int32_t StrToIntDef(std::string_view text, int32_t defaultValue) {
  int32_t value = 0;
  return TryStrToInt(text, value) ? value : defaultValue;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string SysErrorMessage(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in buffer.
  return strerror_r(code, buffer, sizeof buffer);
}

}  // namespace ostrevan
