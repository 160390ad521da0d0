// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

class TComponent;

/// What a component is told of in Notification.
enum TOperation { opInsert, opRemove };

/// An event with only its sender.
using TNotifyEvent = std::function<void(TObject* Sender)>;

/// A component has an owner that deletes it, a list of the components it
/// owns, and a set of components that asked to be told of its destruction.
/// Components are created with new; the owner (or whoever holds an ownerless
/// one) deletes them. The lists are guarded by the component's own mutex, so
/// that components on different threads may register with the same one.
class OSTREVAN_EXPORT TComponent : public TPersistent {
 public:
  /// Makes the component and, when AOwner is given, inserts it into AOwner's components.
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  /// The component that deletes this one; none for an ownerless one.
  TComponent* Owner() const { return Owner_; }
  /// The number of components this one owns.
  int ComponentCount() const;
  /// The owned component at index, in order of insertion.
  TComponent* Components(int index) const;

  ///@{
  /// The component's name; empty unless set.
  const std::string& Name() const { return Name_; }
  void SetName(const std::string& value) { Name_ = value; }
  ///@}

  /// AComponent->Notification(this, opRemove) is called when this component
  /// is destroyed (and this one is told when AComponent goes first).
  void FreeNotification(TComponent* AComponent);
  /// Undoes FreeNotification: AComponent is no longer told.
  void RemoveFreeNotification(TComponent* AComponent);

  /// Deletes every owned component, last created first. Derived destructors
  /// call it first where owned components must go before their own clean-up.
  void DestroyComponents();
  /// Tells every component that asked (FreeNotification) that this one is
  /// being destroyed, and forgets them; the destructor does it for those
  /// left. A derived destructor calls it first where the components told
  /// may still use this one while they react, so that they find it whole.
  void NotifyRemoval();

  ///@{
  /// Design mode and loading from a stored form do not exist in this system
  /// beyond these two flags; they are never set unless a test sets them.
  bool Designing() const { return Designing_; }
  bool Loading() const { return Loading_; }
  void SetDesigning(bool value) { Designing_ = value; }
  void BeginLoading() { Loading_ = true; }
  ///@}
  /// Ends loading; derived classes apply what they stored while loading.
  virtual void Loaded() { Loading_ = false; }

 protected:
  /// Told that AComponent is inserted or about to be removed.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

 private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void AddFreeNotify(TComponent* AComponent);
  void RemoveFreeNotify(TComponent* AComponent);

  TComponent* Owner_ = nullptr;
  std::string Name_;
  bool Designing_ = false;
  bool Loading_ = false;
  /// Guards Components_ and FreeNotifies_. Held only to read or change them:
  /// no notice, no destruction and no other component's lock under it.
  mutable std::mutex ListsLock_;
  std::vector<TComponent*> Components_;
  std::vector<TComponent*> FreeNotifies_;
};

/// The second half of a destroying operator delete, for a component class
/// that must act while the whole object still exists (a server stops the
/// threads that call its virtual steps): once that is done, runs the
/// object's destructor, the most derived one, and frees the memory new gave
/// the whole object.
template <class T>
void DestroyAndFree(T* AObject) {
  static_assert(std::has_virtual_destructor_v<T>, "the most derived destructor must be reached");
  void* whole = dynamic_cast<void*>(AObject);
  AObject->~T();
  ::operator delete(whole);
}

}  // namespace ostrevan
