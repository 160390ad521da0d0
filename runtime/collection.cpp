// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/collection.h"

#include <algorithm>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

TCollectionItem::TCollectionItem(TCollection* ACollection) { SetCollection(ACollection); }

TCollectionItem::~TCollectionItem() { SetCollection(nullptr); }

void TCollectionItem::SetCollection(TCollection* value) {
  if (Collection_ == value) return;
  if (Collection_ != nullptr) Collection_->RemoveItem(this);
  if (value != nullptr) value->InsertItem(this);
}

int TCollectionItem::Index() const {
  if (Collection_ == nullptr) return -1;
  const auto& items = Collection_->Items_;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

TCollection::TCollection(TItemFactory itemClass) : ItemClass_(std::move(itemClass)) {}

TCollection::~TCollection() { Clear(); }

TCollectionItem* TCollection::Add() { return ItemClass_(this); }

void TCollection::Clear() {
  while (!Items_.empty()) delete Items_.back();  // the item removes itself
}

void TCollection::Delete(int index) { delete GetItem(index); }

TCollectionItem* TCollection::GetItem(int index) const {
  if (index < 0 || index >= Count()) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  return Items_[static_cast<size_t>(index)];
}

void TCollection::Assign(const TPersistent* source) {
  auto* other = dynamic_cast<const TCollection*>(source);
  if (other == nullptr) {
    TPersistent::Assign(source);
    return;
  }
  if (other == this) return;
  Clear();
  for (TCollectionItem* item : other->Items_) Add()->Assign(item);
}

void TCollection::InsertItem(TCollectionItem* item) {
  Items_.push_back(item);
  item->Collection_ = this;
  item->ID_ = NextID_++;
}

void TCollection::RemoveItem(TCollectionItem* item) {
  auto it = std::find(Items_.begin(), Items_.end(), item);
  if (it != Items_.end()) Items_.erase(it);
  item->Collection_ = nullptr;
}

}  // namespace ostrevan
