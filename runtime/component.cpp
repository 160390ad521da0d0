// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/component.h"

#include <algorithm>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

namespace {

void EraseOne(std::vector<TComponent*>& list, TComponent* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

}  // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Tell everyone who asked, then leave the owner; the owned components go
  // last, unless a derived destructor already destroyed them.
  NotifyRemoval();
  DestroyComponents();
  if (Owner_ != nullptr) Owner_->RemoveComponent(this);
}

void TComponent::NotifyRemoval() {
  std::vector<TComponent*> notifies;
  {
    std::lock_guard<std::mutex> guard(ListsLock_);
    notifies.swap(FreeNotifies_);
  }
  for (auto it = notifies.rbegin(); it != notifies.rend(); ++it) {
    (*it)->RemoveFreeNotify(this);
    (*it)->Notification(this, opRemove);
  }
}

int TComponent::ComponentCount() const {
  std::lock_guard<std::mutex> guard(ListsLock_);
  return static_cast<int>(Components_.size());
}

TComponent* TComponent::Components(int index) const {
  std::lock_guard<std::mutex> guard(ListsLock_);
  if (index < 0 || index >= static_cast<int>(Components_.size())) {
    throw EListError(Format("List index out of bounds (%d)", index));
  }
  return Components_[static_cast<size_t>(index)];
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  AddFreeNotify(AComponent);
  AComponent->AddFreeNotify(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
  RemoveFreeNotify(AComponent);
  AComponent->RemoveFreeNotify(this);
}

void TComponent::DestroyComponents() {
  for (;;) {
    TComponent* last = nullptr;
    {
      std::lock_guard<std::mutex> guard(ListsLock_);
      if (Components_.empty()) return;
      last = Components_.back();
    }
    delete last;  // its destructor removes it from Components_
  }
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove && AComponent != nullptr) RemoveFreeNotification(AComponent);
}

void TComponent::InsertComponent(TComponent* AComponent) {
  {
    std::lock_guard<std::mutex> guard(ListsLock_);
    Components_.push_back(AComponent);
  }
  AComponent->Owner_ = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  {
    std::lock_guard<std::mutex> guard(ListsLock_);
    EraseOne(Components_, AComponent);
  }
  AComponent->Owner_ = nullptr;
}

void TComponent::AddFreeNotify(TComponent* AComponent) {
  std::lock_guard<std::mutex> guard(ListsLock_);
  if (std::find(FreeNotifies_.begin(), FreeNotifies_.end(), AComponent) == FreeNotifies_.end()) {
    FreeNotifies_.push_back(AComponent);
  }
}

void TComponent::RemoveFreeNotify(TComponent* AComponent) {
  std::lock_guard<std::mutex> guard(ListsLock_);
  EraseOne(FreeNotifies_, AComponent);
}

}  // namespace ostrevan
