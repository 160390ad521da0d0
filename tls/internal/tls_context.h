// SPDX-License-Identifier: MIT
#pragma once

#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace ostrevan {

class TIdTLSSettings;

// The TLS library's text for the reason of the last failure on this
// thread's error queue, empty when the queue is empty; clears the queue.
std::string TakeTLSErrorText();

// The TLS library's context built from settings, for one side: the
// certificate and key, the trust store (read once, here, so that no
// handshake reads files), the verification mode, versions, ALPN and the
// session caches. Shared by every connection of its settings, from any
// thread: the library's context is safe for that, and the clients' session
// cache has its own lock.
class TIdTLSContext {
 public:
  // Raises EIdTLSError "TLS settings failed: <reason>" and frees what it
  // built when a part does not load.
  TIdTLSContext(const TIdTLSSettings& ASettings, bool AServer);
  ~TIdTLSContext();
  TIdTLSContext(const TIdTLSContext&) = delete;
  TIdTLSContext& operator=(const TIdTLSContext&) = delete;

  SSL_CTX* Handle() const { return Context_; }
  bool Server() const { return Server_; }
  bool VerifyPeer() const { return VerifyPeer_; }
  const std::string& HostName() const { return HostName_; }

  // A client's last session with the key (host and port), with a reference
  // for the caller; none when there is none or resumption is off.
  SSL_SESSION* TakeSession(const std::string& AKey);
  // Keeps the session under the key, taking over the caller's reference.
  void KeepSession(const std::string& AKey, SSL_SESSION* ASession);

 private:
  void LoadIdentity(const TIdTLSSettings& ASettings);
  void LoadTrust(const TIdTLSSettings& ASettings);
  void SetVerification(const TIdTLSSettings& ASettings);
  void SetALPN(const TIdTLSSettings& ASettings);
  void SetSessionCaching(bool AOn);

  SSL_CTX* Context_ = nullptr;
  bool Server_;
  bool VerifyPeer_ = false;
  bool Resumption_ = true;
  std::string HostName_;
  // The server's ALPN list in the wire format its selection reads.
  std::string ServerALPN_;
  // Guards Sessions_: handshakes on many threads keep and take sessions.
  std::mutex SessionLock_;
  std::map<std::string, SSL_SESSION*> Sessions_;
};

}  // namespace ostrevan
