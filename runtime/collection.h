// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

class TCollection;

/// An item of a TCollection. Constructed with a collection, it joins it and
/// receives the collection's next running ID; destroyed, it leaves it.
class OSTREVAN_EXPORT TCollectionItem : public TPersistent {
 public:
  explicit TCollectionItem(TCollection* ACollection);
  ~TCollectionItem() override;

  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

  TCollection* Collection() const { return Collection_; }
  /// Moves the item to another collection (or none).
  void SetCollection(TCollection* value);
  int ID() const { return ID_; }
  int Index() const;
  virtual std::string DisplayName() const { return ClassName(); }
  virtual void SetDisplayName(const std::string&) {}

 private:
  friend class TCollection;
  TCollection* Collection_ = nullptr;
  int ID_ = 0;
};

/// An ordered list of items that it owns, with running item IDs that are
/// never reused. New items are made by the item factory given to the
/// constructor (the "item class").
class OSTREVAN_EXPORT TCollection : public TPersistent {
 public:
  using TItemFactory = std::function<TCollectionItem*(TCollection*)>;

  explicit TCollection(TItemFactory itemClass);
  ~TCollection() override;

  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  TCollectionItem* Add();
  void Clear();
  void Delete(int index);
  int Count() const { return static_cast<int>(Items_.size()); }
  TCollectionItem* GetItem(int index) const;
  int NextID() const { return NextID_; }
  virtual TPersistent* GetOwner() const { return nullptr; }

  /// From another collection: clears this one and adds a copy of each item.
  void Assign(const TPersistent* source) override;

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* item);
  void RemoveItem(TCollectionItem* item);

  TItemFactory ItemClass_;
  std::vector<TCollectionItem*> Items_;
  int NextID_ = 0;
};

/// A collection that belongs to an owner (a component) and whose items are T.
template <class T>
class TOwnedCollection : public TCollection {
 public:
  explicit TOwnedCollection(TPersistent* AOwner)
      : TCollection([](TCollection* c) -> TCollectionItem* { return new T(c); }), Owner_(AOwner) {}
  TOwnedCollection(TPersistent* AOwner, TItemFactory itemClass)
      : TCollection(std::move(itemClass)), Owner_(AOwner) {}

  T* Add() { return static_cast<T*>(TCollection::Add()); }
  T* Items(int index) const { return static_cast<T*>(GetItem(index)); }
  TPersistent* GetOwner() const override { return Owner_; }

 private:
  TPersistent* Owner_;
};

}  // namespace ostrevan
