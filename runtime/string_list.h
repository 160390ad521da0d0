// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

/// An ordered list of texts, each with an associated integer value (the
/// "object" of the entry; 0 unless set).
class OSTREVAN_EXPORT TStringList : public TPersistent {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines);

  int Count() const { return static_cast<int>(Items_.size()); }
  bool Empty() const { return Items_.empty(); }
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, std::string value);
  intptr_t Objects(int index) const;
  void SetObjects(int index, intptr_t value);

  int Add(std::string text);
  int AddObject(std::string text, intptr_t value);
  void AddStrings(const TStringList& other);
  void Insert(int index, std::string text);
  void Delete(int index);
  void Clear() { Items_.clear(); }
  /// Index of the first entry equal to text (case-sensitive), or -1.
  int IndexOf(std::string_view text) const;

  /// The lines joined, each followed by a line feed.
  std::string Text() const;
  /// Replaces the lines by those of text: a line ends at LF, CR or CR LF,
  /// and a line end at the very end does not start another line.
  void SetText(std::string_view text);

  /// Copies the texts and values of another string list.
  void Assign(const TPersistent* source) override;

  bool operator==(const TStringList& other) const;

 private:
  struct Entry {
    std::string Text;
    intptr_t Value = 0;
    bool operator==(const Entry&) const = default;
  };
  void CheckIndex(int index) const;
  std::vector<Entry> Items_;
};

using TStrings = TStringList;

}  // namespace ostrevan
