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
  /// Makes the item and adds it to ACollection (none: no collection).
  explicit TCollectionItem(TCollection* ACollection);
  ~TCollectionItem() override;

  TCollectionItem(const TCollectionItem&) = delete;
  TCollectionItem& operator=(const TCollectionItem&) = delete;

  /// The collection the item is in; none when it is in none.
  TCollection* Collection() const { return Collection_; }
  /// Moves the item to another collection (or none).
  void SetCollection(TCollection* value);
  /// The running ID the collection gave the item; never reused in it.
  int ID() const { return ID_; }
  /// The item's position in its collection.
  int Index() const;
  ///@{
  /// The name shown for the item; its class name unless a derived class keeps another.
  virtual std::string DisplayName() const { return ClassName(); }
  virtual void SetDisplayName(const std::string&) {}
  ///@}

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
  /// Makes a new item in the given collection: the collection's "item class".
  using TItemFactory = std::function<TCollectionItem*(TCollection*)>;

  /// An empty collection whose items itemClass makes.
  explicit TCollection(TItemFactory itemClass);
  ~TCollection() override;

  TCollection(const TCollection&) = delete;
  TCollection& operator=(const TCollection&) = delete;

  /// A new item from the item factory, added at the end.
  TCollectionItem* Add();
  /// Deletes every item.
  void Clear();
  /// Deletes the item at index; an index outside the list raises EListError.
  void Delete(int index);
  /// The number of items.
  int Count() const { return static_cast<int>(Items_.size()); }
  /// The item at index; an index outside the list raises EListError.
  TCollectionItem* GetItem(int index) const;
  /// The ID the next item will get.
  int NextID() const { return NextID_; }
  /// The object the collection belongs to; none for a free-standing collection.
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
  /// A collection of AOwner whose items are made as new T(collection).
  explicit TOwnedCollection(TPersistent* AOwner)
      : TCollection([](TCollection* c) -> TCollectionItem* { return new T(c); }), Owner_(AOwner) {}
  /// A collection of AOwner whose items itemClass makes (each a T).
  TOwnedCollection(TPersistent* AOwner, TItemFactory itemClass)
      : TCollection(std::move(itemClass)), Owner_(AOwner) {}

  /// As TCollection::Add, as a T.
  T* Add() { return static_cast<T*>(TCollection::Add()); }
  /// The item at index, as a T.
  T* Items(int index) const { return static_cast<T*>(GetItem(index)); }
  /// The owner given to the constructor.
  TPersistent* GetOwner() const override { return Owner_; }

 private:
  TPersistent* Owner_;
};

}  // namespace ostrevan
