// SPDX-License-Identifier: MIT
#include "ostrevan/client/socks_info.h"

#include "ostrevan/client/socks_errors.h"
#include "ostrevan/client/socks_negotiation.h"
#include "ostrevan/conn/io_handler.h"

namespace ostrevan {

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdComponent(AOwner) {}

namespace {

// The negotiation's view of the handler: its raw Send and Receive.
class THandlerTransport : public TIdSocksTransport {
 public:
  explicit THandlerTransport(TIdIOHandler& AHandler) : Handler_(AHandler) {}
  int32_t Send(const void* ABuffer, int32_t ALength) override {
    return Handler_.Send(ABuffer, ALength);
  }
  int32_t Receive(void* ABuffer, int32_t ALength) override {
    return Handler_.Receive(ABuffer, ALength);
  }

 private:
  TIdIOHandler& Handler_;
};

}  // namespace

void TIdSocksInfo::NegotiateProxy(const std::string& AHost, int32_t APort) {
  if (Version_ == svNoSocks) return;
  if (ProxyHandler_ == nullptr) {
    throw EIdSocksError("Socks negotiation needs the I/O handler connected to the proxy.");
  }
  TIdSocksSettings settings;
  settings.Version = Version_;
  settings.Authentication = Authentication_;
  settings.Username = Username_;
  settings.Password = Password_;
  THandlerTransport transport(*ProxyHandler_);
  NegotiateSocks(settings, transport, AHost, APort);
}

void TIdSocksInfo::SetProxyHandler(TIdIOHandler* value) {
  // The link to a previous handler stays: the two may still be linked for
  // the handler's own reference to this object, and a spare notice only
  // compares pointers.
  ProxyHandler_ = value;
  if (value != nullptr) FreeNotification(value);
}

void TIdSocksInfo::AssignTo(TPersistent* dest) const {
  auto* target = dynamic_cast<TIdSocksInfo*>(dest);
  if (target == nullptr) {
    TIdComponent::AssignTo(dest);
    return;
  }
  target->Authentication_ = Authentication_;
  target->Host_ = Host_;
  target->Password_ = Password_;
  target->Port_ = Port_;
  target->Username_ = Username_;
  target->Version_ = Version_;
}

void TIdSocksInfo::Notification(TComponent* AComponent, TOperation Operation) {
  TIdComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == ProxyHandler_) ProxyHandler_ = nullptr;
}

}  // namespace ostrevan
