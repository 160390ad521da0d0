// SPDX-License-Identifier: MIT
#include "ostrevan/tls/server_io_handler_tls.h"

#include "ostrevan/tls/io_handler_tls.h"

namespace ostrevan {

TIdServerIOHandlerTLS::TIdServerIOHandlerTLS(TComponent* AOwner)
    : TIdServerIOHandlerSocket(AOwner),
      Settings_(std::make_shared<TIdTLSSettings>()),
      HandshakeTimeout_(TIdIOHandlerTLS::kDefaultHandshakeTimeout) {}

void TIdServerIOHandlerTLS::SetSettings(std::shared_ptr<TIdTLSSettings> value) {
  Settings_ = value != nullptr ? std::move(value) : std::make_shared<TIdTLSSettings>();
}

void TIdServerIOHandlerTLS::Prepare() {
  TIdServerIOHandlerSocket::Prepare();
  Settings_->Context(true);
}

std::unique_ptr<TIdIOHandlerSocket> TIdServerIOHandlerTLS::NewHandler() {
  auto handler = std::make_unique<TIdIOHandlerTLS>(nullptr);
  handler->SetSettings(Settings_);
  handler->SetServerSide(true);
  handler->SetPassThrough(PassThrough_);
  handler->SetHandshakeTimeout(HandshakeTimeout_);
  return handler;
}

}  // namespace ostrevan
