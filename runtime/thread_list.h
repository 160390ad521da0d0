// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace ostrevan {

/// An ordered list of pointers guarded by its own mutex, shared between
/// threads. Each call takes the lock for itself and only for as long as it
/// reads or changes the entries. To walk the entries and call out on each
/// (which may run user code, wait, or ask the list again), Pin copies them
/// and keeps every one listed until the pin ends; nothing is called under
/// the lock. The list never owns its entries.
template <class T>
class TThreadList {
 public:
  /// The entries as they were when pinned. While it lives, Remove waits, so
  /// that an entry that unlists itself before it goes (as a server's peer
  /// threads do) outlives the walk.
  class TPinned {
   public:
    /// Pins list, copying its entries.
    explicit TPinned(TThreadList& list) : List_(list) {
      std::lock_guard<std::mutex> lock(List_.Lock_);
      Items_ = List_.Items_;
      ++List_.Pins_;
    }
    ~TPinned() {
      std::lock_guard<std::mutex> lock(List_.Lock_);
      if (--List_.Pins_ == 0) List_.Unpinned_.notify_all();
    }
    TPinned(const TPinned&) = delete;
    TPinned& operator=(const TPinned&) = delete;

    /// The pinned entries.
    const std::vector<T*>& Items() const { return Items_; }

   private:
    TThreadList& List_;
    std::vector<T*> Items_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  /// Pins the list (see TPinned).
  TPinned Pin() { return TPinned(*this); }

  /// Appends item.
  void Add(T* item) {
    std::lock_guard<std::mutex> lock(Lock_);
    Items_.push_back(item);
  }
  /// Adds the item only while the list holds fewer than count entries; true
  /// when it did. The count and the addition are one lock hold, so callers
  /// on several threads cannot all pass the bound.
  bool AddIfCountBelow(T* item, int count) {
    std::lock_guard<std::mutex> lock(Lock_);
    if (static_cast<int>(Items_.size()) >= count) return false;
    Items_.push_back(item);
    return true;
  }
  /// Removes the first entry equal to item; nothing when there is none.
  /// Waits while the list is pinned.
  void Remove(const T* item) {
    std::unique_lock<std::mutex> lock(Lock_);
    Unpinned_.wait(lock, [this] { return Pins_ == 0; });
    auto it = std::find(Items_.begin(), Items_.end(), item);
    if (it != Items_.end()) Items_.erase(it);
  }
  /// Empties the list and returns what it held.
  std::vector<T*> TakeAll() {
    std::unique_lock<std::mutex> lock(Lock_);
    Unpinned_.wait(lock, [this] { return Pins_ == 0; });
    std::vector<T*> items;
    items.swap(Items_);
    return items;
  }
  /// True when item is listed.
  bool Contains(const T* item) const {
    std::lock_guard<std::mutex> lock(Lock_);
    return std::find(Items_.begin(), Items_.end(), item) != Items_.end();
  }
  /// The number of entries.
  int Count() const {
    std::lock_guard<std::mutex> lock(Lock_);
    return static_cast<int>(Items_.size());
  }
  /// True when there is no entry.
  bool Empty() const { return Count() == 0; }

 private:
  /// Guards Items_ and Pins_; Unpinned_ tells a waiting Remove that Pins_
  /// fell to 0. Held only while the entries are read or changed: no other
  /// lock is taken and no code outside this class runs while it is held.
  mutable std::mutex Lock_;
  std::condition_variable Unpinned_;
  std::vector<T*> Items_;
  int Pins_ = 0;
};

}  // namespace ostrevan
