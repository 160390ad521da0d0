// SPDX-License-Identifier: MIT
#include "ostrevan/server/command_match.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace ostrevan {

namespace {

std::wstring UpperWide(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    wint_t w = btowc(byte);
    // A byte that is no character of the locale (above 127 in the "C"
    // locale) stands for itself, so that no two bytes become equal by it.
    if (w == WEOF) w = byte;
    wide.push_back(static_cast<wchar_t>(towupper(w)));
  }
  return wide;
}

}  // namespace

bool SameCommandText(std::string_view A, std::string_view B) {
  const std::wstring a = UpperWide(A);
  const std::wstring b = UpperWide(B);
  // wcscoll would stop at the first NUL and call "QUIT\0x" equal to "QUIT".
  if (a.find(L'\0') != std::wstring::npos || b.find(L'\0') != std::wstring::npos) return a == b;
  return wcscoll(a.c_str(), b.c_str()) == 0;
}

bool MatchCommand(std::string_view ACommand, char ACmdDelimiter, std::string_view ALine,
                  std::string& AParams) {
  if (SameCommandText(ALine, ACommand)) {
    AParams.clear();
    return true;
  }
  if (ACmdDelimiter != '\0') {
    std::string head(ACommand);
    head.push_back(ACmdDelimiter);
    if (!SameCommandText(ALine.substr(0, head.size()), head)) return false;
    AParams = std::string(ALine.substr(std::min(head.size(), ALine.size())));
    return true;
  }
  if (!SameCommandText(ALine.substr(0, ACommand.size()), ACommand)) return false;
  AParams = std::string(ALine.substr(std::min(ACommand.size(), ALine.size())));
  return true;
}

}  // namespace ostrevan
