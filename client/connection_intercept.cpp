// SPDX-License-Identifier: MIT
#include "ostrevan/client/connection_intercept.h"

namespace ostrevan {

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
  Connection_ = AConnection;
  if (OnConnect) OnConnect(this);
  NestedConnect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
  NestedDisconnect();
  if (OnDisconnect) OnDisconnect(this);
  Connection_ = nullptr;
}

void TIdConnectionIntercept::Receive(TStream& AStream) {
  NestedReceive(AStream);
  if (OnReceive) {
    OnReceive(this, AStream);
    AStream.SetPosition(0);
  }
}

void TIdConnectionIntercept::Send(TStream& AStream) {
  if (OnSend) {
    OnSend(this, AStream);
    AStream.SetPosition(0);
  }
  NestedSend(AStream);
}

void TIdConnectionIntercept::SetNestedIntercept(TIdConnectionIntercept* value) {
  if (value == NestedIntercept_) return;
  if (NestedIntercept_ != nullptr) RemoveFreeNotification(NestedIntercept_);
  NestedIntercept_ = value;
  if (value != nullptr) FreeNotification(value);
}

void TIdConnectionIntercept::NestedConnect(TComponent* AConnection) {
  if (NestedIntercept_ != nullptr) NestedIntercept_->Connect(AConnection);
}

void TIdConnectionIntercept::NestedDisconnect() {
  if (NestedIntercept_ != nullptr) NestedIntercept_->Disconnect();
}

void TIdConnectionIntercept::NestedReceive(TStream& AStream) {
  if (NestedIntercept_ != nullptr) NestedIntercept_->Receive(AStream);
}

void TIdConnectionIntercept::NestedSend(TStream& AStream) {
  if (NestedIntercept_ != nullptr) NestedIntercept_->Send(AStream);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation Operation) {
  TIdBaseComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == NestedIntercept_) NestedIntercept_ = nullptr;
}

}  // namespace ostrevan
