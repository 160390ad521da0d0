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
  /// A list of the given lines, each with the value 0.
  TStringList(std::initializer_list<std::string> lines);

  /// The number of entries.
  int Count() const { return static_cast<int>(Items_.size()); }
  /// True when there is no entry.
  bool Empty() const { return Items_.empty(); }
  ///@{
  /// The text at index; an index outside the list raises EListError.
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, std::string value);
  ///@}
  ///@{
  /// The value at index; an index outside the list raises EListError.
  intptr_t Objects(int index) const;
  void SetObjects(int index, intptr_t value);
  ///@}

  ///@{
  /// Appends text (with the value 0, or value); returns its index.
  int Add(std::string text);
  int AddObject(std::string text, intptr_t value);
  ///@}
  /// Appends the entries of other.
  void AddStrings(const TStringList& other);
  /// Inserts text (value 0) before index; Count appends, any other index outside the list raises EListError.
  void Insert(int index, std::string text);
  /// Deletes the entry at index; an index outside the list raises EListError.
  void Delete(int index);
  /// Deletes every entry.
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

  /// True when both hold the same texts with the same values in the same order.
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

/// The name the framework's interfaces use for a string list.
using TStrings = TStringList;

}  // namespace ostrevan
