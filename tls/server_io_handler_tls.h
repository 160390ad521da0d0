// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>

#include "ostrevan/export.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/tls/tls_settings.h"

namespace ostrevan {

/// Accepts connections for a TLS server: each accepted connection gets a
/// TIdIOHandlerTLS on the server side, sharing these settings, and makes
/// its handshake on its peer thread before the greeting (or, with
/// PassThrough, stays plain until StartTLS). A handshake that fails or does
/// not finish within HandshakeTimeout ends that connection and its thread
/// at once.
///
/// Used by the listener threads; set it up before the server activates.
class OSTREVAN_EXPORT TIdServerIOHandlerTLS : public TIdServerIOHandlerSocket {
 public:
  /// With settings of its own.
  explicit TIdServerIOHandlerTLS(TComponent* AOwner);

  /// Builds the TLS context as the server activates, so that settings that
  /// do not load (EIdTLSError) stop the activation instead of every
  /// handshake.
  void Prepare() override;

  /// The settings every accepted connection shares.
  TIdTLSSettings& Settings() const { return *Settings_; }
  /// Shares settings; none restores settings of its own.
  void SetSettings(std::shared_ptr<TIdTLSSettings> value);
  /// When true, accepted connections start plain, for StartTLS (default false).
  bool PassThrough() const { return PassThrough_; }
  /// Sets PassThrough.
  void SetPassThrough(bool value) { PassThrough_ = value; }
  /// The longest a client's handshake may take, in milliseconds (default
  /// 10000); 0 or less: no limit.
  int32_t HandshakeTimeout() const { return HandshakeTimeout_; }
  /// Sets HandshakeTimeout.
  void SetHandshakeTimeout(int32_t value) { HandshakeTimeout_ = value; }

 protected:
  /// A server-side TIdIOHandlerTLS with these settings.
  std::unique_ptr<TIdIOHandlerSocket> NewHandler() override;

 private:
  std::shared_ptr<TIdTLSSettings> Settings_;
  bool PassThrough_ = false;
  int32_t HandshakeTimeout_;
};

}  // namespace ostrevan
