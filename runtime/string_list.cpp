// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/string_list.h"

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

TStringList::TStringList(std::initializer_list<std::string> lines) {
  for (const auto& line : lines) Add(line);
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return Items_[static_cast<size_t>(index)].Text;
}

void TStringList::SetStrings(int index, std::string value) {
  CheckIndex(index);
  Items_[static_cast<size_t>(index)].Text = std::move(value);
}

intptr_t TStringList::Objects(int index) const {
  CheckIndex(index);
  return Items_[static_cast<size_t>(index)].Value;
}

void TStringList::SetObjects(int index, intptr_t value) {
  CheckIndex(index);
  Items_[static_cast<size_t>(index)].Value = value;
}

int TStringList::Add(std::string text) { return AddObject(std::move(text), 0); }

int TStringList::AddObject(std::string text, intptr_t value) {
  Items_.push_back(Entry{std::move(text), value});
  return Count() - 1;
}

void TStringList::AddStrings(const TStringList& other) {
  if (&other == this) {
    auto copy = other.Items_;
    Items_.insert(Items_.end(), copy.begin(), copy.end());
    return;
  }
  Items_.insert(Items_.end(), other.Items_.begin(), other.Items_.end());
}

void TStringList::Insert(int index, std::string text) {
  if (index < 0 || index > Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  Items_.insert(Items_.begin() + index, Entry{std::move(text), 0});
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  Items_.erase(Items_.begin() + index);
}

int TStringList::IndexOf(std::string_view text) const {
  for (size_t i = 0; i < Items_.size(); ++i) {
    if (Items_[i].Text == text) return static_cast<int>(i);
  }
  return -1;
}

std::string TStringList::Text() const {
  std::string result;
  for (const auto& entry : Items_) {
    result += entry.Text;
    result += '\n';
  }
  return result;
}

void TStringList::SetText(std::string_view text) {
  Items_.clear();
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\n' || c == '\r') {
      Add(std::string(text.substr(start, i - start)));
      ++i;
      if (c == '\r' && i < text.size() && text[i] == '\n') ++i;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) Add(std::string(text.substr(start)));
}

void TStringList::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TStringList*>(source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  if (other != this) Items_ = other->Items_;
}

bool TStringList::operator==(const TStringList& other) const { return Items_ == other.Items_; }

}  // namespace ostrevan
