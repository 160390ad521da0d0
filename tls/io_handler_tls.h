// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/tls/tls_settings.h"

namespace ostrevan {

class TTLSEngine;

/// The transport of a TLS connection: a socket handler whose bytes go
/// through a TLS session. A client handler starts TLS once ConnectTo has
/// connected (through a SOCKS proxy too, to the destination); a server's
/// handler, made by TIdServerIOHandlerTLS, as the peer thread prepares the
/// connection, before the greeting. With PassThrough the connection starts
/// plain and StartTLS upgrades it later. The connection above sees only
/// plain bytes: lines, time-outs and intercepts work as over a socket.
///
/// Used by the thread of its connection. Close is safe from any thread: on
/// another thread while a read or write is in progress it shuts the socket
/// down (which ends that call) without close_notify; on the handler's own
/// thread it sends close_notify first.
class OSTREVAN_EXPORT TIdIOHandlerTLS : public TIdIOHandlerSocket {
 public:
  /// The handshake time-out a handler starts with, in milliseconds.
  static constexpr int32_t kDefaultHandshakeTimeout = 10000;

  /// A client handler with settings of its own.
  explicit TIdIOHandlerTLS(TComponent* AOwner);
  /// Sends close_notify when it can and closes the socket.
  ~TIdIOHandlerTLS() override;

  /// Forgets the TLS session of an earlier connection, then opens as
  /// TIdIOHandlerSocket does.
  void Open() override;
  /// Sends close_notify when TLS is on and no call is in progress on
  /// another thread, then closes the socket as TIdIOHandlerSocket does.
  void Close() override;
  /// Connects as TIdIOHandlerSocket does, then, unless PassThrough, makes
  /// the TLS handshake with AHost (checked and sent as SNI unless the
  /// settings name another). A failed handshake closes the socket and
  /// raises EIdTLSError.
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP = "",
                 int32_t ABoundPort = 0, int32_t ABoundPortMin = 0, int32_t ABoundPortMax = 0,
                 int32_t ATimeout = -1) override;
  /// On a server's handler without PassThrough: the server side of the
  /// handshake. Raises EIdTLSError on failure or after HandshakeTimeout.
  void PrepareAccepted() override;
  /// True when decrypted bytes, the peer's close or an error are there
  /// within the time (ms; -2: no limit). Bytes that arrive without
  /// completing a record do not count.
  bool WaitReadable(int32_t AMSec) override;
  /// Decrypted bytes; 0 when the peer closed (close_notify or TCP close);
  /// -1 with errno for a socket error. A TLS failure raises EIdTLSError.
  int32_t Receive(void* ABuffer, int32_t ALength) override;
  /// Encrypts and sends all the bytes; ALength, or the socket's result.
  int32_t Send(const void* ABuffer, int32_t ALength) override;

  /// Starts TLS on the connected socket now, the given bytes (received
  /// plain before the peer started TLS) first. Raises EIdTLSError when
  /// TLS is on already or the handshake fails; the socket stays open then.
  void StartTLS(const std::string& AReceivedEarly = "");

  /// The settings, shared with others that use them.
  TIdTLSSettings& Settings() const { return *Settings_; }
  /// Shares settings (a client's sessions are resumed across the handlers
  /// that share them). None restores settings of its own.
  void SetSettings(std::shared_ptr<TIdTLSSettings> value);
  /// Whether this is the server end of the TLS session (default false).
  bool ServerSide() const { return ServerSide_; }
  /// Sets ServerSide; before TLS starts.
  void SetServerSide(bool value) { ServerSide_ = value; }
  /// When true, ConnectTo and PrepareAccepted leave the connection plain
  /// for StartTLS (default false).
  bool PassThrough() const { return PassThrough_; }
  /// Sets PassThrough.
  void SetPassThrough(bool value) { PassThrough_ = value; }
  /// The longest a handshake may take, in milliseconds; 0 or less: no
  /// limit. After it the handshake raises EIdTLSError "TLS handshake timed out".
  int32_t HandshakeTimeout() const { return HandshakeTimeout_; }
  /// Sets HandshakeTimeout.
  void SetHandshakeTimeout(int32_t value) { HandshakeTimeout_ = value; }

  /// Whether TLS is on: its handshake has completed.
  bool TLSActive();
  /// The protocol version ("TLSv1.3"); empty while TLS is off.
  std::string TLSVersion();
  /// The protocol ALPN settled on; empty without one.
  std::string ALPNProtocol();
  /// Whether the handshake resumed an earlier session.
  bool SessionReused();
  /// The peer certificate's subject ("/CN=..."); empty without one.
  std::string PeerSubject();

 private:
  // The handshake over the socket within HandshakeTimeout, AEarly fed in
  // first; the engine is dropped again when it fails.
  void Handshake(const std::string& AEarly);
  // Drops the engine and what it decrypted; under EngineLock_.
  void ResetEngine();
  // Sends the engine's output; false with errno set when the socket fails.
  bool FlushOutput();
  // Receives once from the socket into the engine within the time (ms;
  // negative: no limit); false when the time ran out.
  bool FeedInput(int32_t AMSec);
  // Decrypts into Plain_ until some bytes, the end or an error are there,
  // or the time (ms; -2 no limit) runs out; false then.
  bool FillPlain(int32_t AMSec);
  bool HasPlain() const { return PlainPosition_ < Plain_.size(); }

  std::shared_ptr<TIdTLSSettings> Settings_;
  bool ServerSide_ = false;
  bool PassThrough_ = false;
  int32_t HandshakeTimeout_ = kDefaultHandshakeTimeout;
  // Held by every call of the handler's own thread (and by Close, with
  // try_lock from another thread); guards Engine_, Plain_ and the state
  // below. The engine never blocks, but the socket calls made under it
  // may: a Close from another thread never waits for it.
  std::mutex EngineLock_;
  std::unique_ptr<TTLSEngine> Engine_;
  // Decrypted bytes not yet received by the connection, from PlainPosition_.
  std::string Plain_;
  size_t PlainPosition_ = 0;
  // A socket error met while filling, reported by the next Receive.
  int RawError_ = 0;
  // A client's peer as ConnectTo named it, for StartTLS's check and SNI,
  // and with the port as the key of its resumable session.
  std::string Host_;
  std::string SessionKey_;
};

}  // namespace ostrevan
