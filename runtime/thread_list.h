#pragma once

#include <algorithm>
#include <mutex>
#include <vector>

namespace ostrevan {

// An ordered list of pointers guarded by its own mutex, shared between
// threads. Each call takes the lock for itself; LockList keeps it for as
// long as the returned guard lives, so that a caller can walk the entries
// while nobody adds or removes one. The list never owns its entries.
template <class T>
class TThreadList {
 public:
  // Access to the entries under the list's lock.
  class TLockedList {
   public:
    explicit TLockedList(TThreadList& list) : Lock_(list.Lock_), Items_(list.Items_) {}
    const std::vector<T*>& Items() const { return Items_; }

   private:
    std::unique_lock<std::mutex> Lock_;
    const std::vector<T*>& Items_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  TLockedList LockList() { return TLockedList(*this); }

  void Add(T* item) {
    std::lock_guard<std::mutex> lock(Lock_);
    Items_.push_back(item);
  }
  // Removes the first entry equal to item; nothing when there is none.
  void Remove(const T* item) {
    std::lock_guard<std::mutex> lock(Lock_);
    auto it = std::find(Items_.begin(), Items_.end(), item);
    if (it != Items_.end()) Items_.erase(it);
  }
  bool Contains(const T* item) const {
    std::lock_guard<std::mutex> lock(Lock_);
    return std::find(Items_.begin(), Items_.end(), item) != Items_.end();
  }
  int Count() const {
    std::lock_guard<std::mutex> lock(Lock_);
    return static_cast<int>(Items_.size());
  }
  bool Empty() const { return Count() == 0; }

 private:
  mutable std::mutex Lock_;  // guards Items_
  std::vector<T*> Items_;
};

}  // namespace ostrevan
