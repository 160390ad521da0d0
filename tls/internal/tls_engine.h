// SPDX-License-Identifier: MIT
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace ostrevan {

class TIdTLSContext;

// One TLS session over memory: the peer's raw bytes are put in, the bytes
// for the peer are taken out, and the handshake, reads and writes never
// touch a socket, so they never block. The caller moves the bytes between
// the engine and its socket, which keeps time-outs and a close from another
// thread where the socket layer has them.
//
// Not thread-safe: used by one thread at a time (its handler's lock).
class TTLSEngine {
 public:
  enum TStep { stDone, stWantInput, stClosed };

  // A client sends AHostName as SNI (unless it is an address) and checks
  // the certificate against it when the context verifies; ASessionKey
  // (host and port) finds and keeps the session for resumption.
  TTLSEngine(std::shared_ptr<TIdTLSContext> AContext, const std::string& AHostName,
             const std::string& ASessionKey);
  ~TTLSEngine();
  TTLSEngine(const TTLSEngine&) = delete;
  TTLSEngine& operator=(const TTLSEngine&) = delete;

  void PutInput(const void* ABytes, size_t ACount);
  // The peer's TCP stream has ended: what is buffered is all there is.
  void EndInput();
  bool InputEnded() const { return InputEnded_; }
  // Appends what is to be sent to the peer; false when there is nothing.
  bool TakeOutput(std::string& AOut);

  // A handshake step: stDone once complete, stWantInput when it needs the
  // peer's bytes. Raises EIdTLSError "TLS handshake failed: <reason>".
  TStep Handshake();
  // Appends decrypted bytes (one record's worth at most): stDone when some
  // came, stClosed when the peer closed. Raises "TLS read failed: ...".
  TStep Read(std::string& APlain);
  // Encrypts all the bytes into the output. Raises "TLS write failed: ...".
  void Write(const void* ABytes, size_t ACount);
  // Puts close_notify in the output, once, after a finished handshake.
  void Shutdown();

  bool HandshakeDone() const { return SSL_is_init_finished(Ssl_) == 1; }
  // The protocol ALPN settled on; empty without one.
  std::string ALPN() const;
  bool SessionReused() const { return SSL_session_reused(Ssl_) == 1; }
  // "TLSv1.3" and so on.
  std::string Version() const { return SSL_get_version(Ssl_); }
  // The peer certificate's subject, one line; empty without one.
  std::string PeerSubject() const;

 private:
  // The failure of a call that returned AResult, as EIdTLSError.
  [[noreturn]] void Fail(const char* AStep, int AResult);

  std::shared_ptr<TIdTLSContext> Context_;
  SSL* Ssl_ = nullptr;
  BIO* Input_ = nullptr;   // owned by Ssl_
  BIO* Output_ = nullptr;  // owned by Ssl_
  bool InputEnded_ = false;
  // The SSL's app data, read by the context's new-session callback.
  std::string SessionKey_;
};

}  // namespace ostrevan
