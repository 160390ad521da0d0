// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <utility>

namespace ostrevan {

/// A reference to an object that is either owned (freed with the holder, or
/// when another object replaces it) or borrowed (someone else frees it).
/// Not thread-safe: the class that holds one says which lock guards it.
template <class T>
class TMaybeOwned {
 public:
  TMaybeOwned() = default;
  /// Owns AOwned.
  explicit TMaybeOwned(std::unique_ptr<T> AOwned) : Owned_(std::move(AOwned)), Ptr_(Owned_.get()) {}
  /// Borrows AObject: someone else frees it.
  static TMaybeOwned Borrowed(T* AObject) {
    TMaybeOwned holder;
    holder.Ptr_ = AObject;
    return holder;
  }

  ///@{
  /// Takes over what AOther held, leaving it empty.
  TMaybeOwned(TMaybeOwned&& AOther) noexcept
      : Owned_(std::move(AOther.Owned_)), Ptr_(std::exchange(AOther.Ptr_, nullptr)) {}
  TMaybeOwned& operator=(TMaybeOwned&& AOther) noexcept {
    Owned_ = std::move(AOther.Owned_);
    Ptr_ = std::exchange(AOther.Ptr_, nullptr);
    return *this;
  }
  ///@}

  ///@{
  /// The object; none when empty.
  T* Get() const { return Ptr_; }
  T* operator->() const { return Ptr_; }
  ///@}
  /// True when the holder owns the object.
  bool Owns() const { return Owned_ != nullptr; }

  /// Empties the holder; the owned object is handed to the caller (none
  /// when it was borrowed), so that it can be freed outside a lock.
  std::unique_ptr<T> Release() {
    Ptr_ = nullptr;
    return std::move(Owned_);
  }
  /// Empties the holder without freeing anything: for an object whose
  /// destruction is under way already (a removal notice).
  void Forget() {
    (void)Owned_.release();
    Ptr_ = nullptr;
  }

 private:
  std::unique_ptr<T> Owned_;
  T* Ptr_ = nullptr;
};

}  // namespace ostrevan
