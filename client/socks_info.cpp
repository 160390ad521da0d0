#include "client/socks_info.h"

#include "client/socks_errors.h"
#include "conn/io_handler.h"
#include "runtime/format.h"

namespace ostrevan {

TIdSocksInfo::TIdSocksInfo(TComponent* AOwner) : TIdComponent(AOwner) {}

void TIdSocksInfo::NegotiateProxy(const std::string&, int32_t) {
  if (Version_ == svNoSocks) return;
  const char* name = Version_ == svSocks4 ? "4" : Version_ == svSocks4A ? "4A" : "5";
  throw EIdSocksError(Format("SOCKS %s negotiation is not supported yet.", name));
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
