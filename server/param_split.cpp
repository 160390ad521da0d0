// SPDX-License-Identifier: MIT
#include "ostrevan/server/param_split.h"

#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

size_t LeadingBlanks(std::string_view text) {
  size_t count = 0;
  while (count < text.size() && static_cast<unsigned char>(text[count]) <= 32) ++count;
  return count;
}

// The walk both splits share: each non-empty piece before a delimiter and a
// non-empty rest after the last one go to add(piece, 0-based start).
template <class Add>
void WalkPieces(std::string_view text, std::string_view delimiter, Add add) {
  size_t position = 0;
  if (!delimiter.empty()) {
    for (size_t found = text.find(delimiter); found != std::string_view::npos;
         found = text.find(delimiter, position)) {
      if (found > position) add(text.substr(position, found - position), position);
      position = found + delimiter.size();
    }
  }
  if (position < text.size()) add(text.substr(position), position);
}

}  // namespace

void SplitParams(std::string_view AText, TStringList& AList, std::string_view ADelimiter) {
  AList.Clear();
  WalkPieces(AText, ADelimiter, [&](std::string_view piece, size_t start) {
    AList.AddObject(std::string(piece), static_cast<intptr_t>(start + 1));
  });
}

void SplitTrimmedParams(std::string_view AText, TStringList& AList, std::string_view ADelimiter) {
  AList.Clear();
  const std::string trimmed = Trim(AText);
  if (trimmed.empty()) return;
  const size_t leading = LeadingBlanks(AText);
  WalkPieces(trimmed, ADelimiter, [&](std::string_view piece, size_t start) {
    AList.AddObject(Trim(piece), static_cast<intptr_t>(start + 1 + leading));
  });
}

}  // namespace ostrevan
