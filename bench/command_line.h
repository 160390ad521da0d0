// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrevan::bench {

// Reads a whole decimal number within [minimum, maximum]; false, leaving
// value alone, for anything else (signs, blanks, trailing text included).
bool ParseNumber(std::string_view text, int64_t minimum, int64_t maximum, int64_t& value);

// Walks "--name value" and "--name=value" arguments. Used by one thread.
class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv) : Argc_(argc), Argv_(argv) {}

  // Moves to the next argument; false at the end.
  bool Next();
  // The current argument, without any "=value" part.
  std::string_view Name() const { return Name_; }
  // The value of the current option: its "=value" part or the following
  // argument. False when there is none.
  bool Value(std::string& value);
  bool Number(int64_t minimum, int64_t maximum, int64_t& value);

 private:
  int Argc_;
  char** Argv_;
  int Index_ = 0;
  std::string_view Name_;
  std::string_view Inline_;
  bool HasInline_ = false;
};

}  // namespace ostrevan::bench
