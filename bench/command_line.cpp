// SPDX-License-Identifier: MIT
#include "ostrevan/bench/command_line.h"

namespace ostrevan::bench {

bool ParseNumber(std::string_view text, int64_t minimum, int64_t maximum, int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t result = 0;
  for (char digit : text) {
    if (digit < '0' || digit > '9') return false;
    result = result * 10 + (digit - '0');
  }
  if (result < minimum || result > maximum) return false;
  value = result;
  return true;
}

bool ArgumentReader::Next() {
  if (++Index_ >= Argc_) return false;
  const std::string_view argument = Argv_[Index_];
  const size_t equals = argument.rfind("--", 0) == 0 ? argument.find('=') : std::string_view::npos;
  HasInline_ = equals != std::string_view::npos;
  Name_ = argument.substr(0, equals);
  Inline_ = HasInline_ ? argument.substr(equals + 1) : std::string_view();
  return true;
}

bool ArgumentReader::Value(std::string& value) {
  if (HasInline_) {
    value = Inline_;
    HasInline_ = false;
    return true;
  }
  if (Index_ + 1 >= Argc_) return false;
  value = Argv_[++Index_];
  return true;
}

bool ArgumentReader::Number(int64_t minimum, int64_t maximum, int64_t& value) {
  std::string text;
  return Value(text) && ParseNumber(text, minimum, maximum, value);
}

}  // namespace ostrevan::bench
