// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrevan/export.h"

namespace ostrevan {

class TIdTLSContext;

/// Whether a TLS server asks its clients for a certificate.
enum TIdTLSClientCertificate {
  ccNone,      ///< No certificate is asked for.
  ccOptional,  ///< Asked for; a client without one is served, a bad one refused.
  ccRequired   ///< A client without a valid certificate is refused.
};

/// The lowest protocol version a TLS end accepts.
enum TIdTLSVersion {
  tlsVersion12,  ///< TLS 1.2 and 1.3.
  tlsVersion13   ///< TLS 1.3 only.
};

/// What one side of TLS connections uses: its certificate and key, whom it
/// trusts, how it verifies the peer, the lowest version, ALPN and session
/// resumption. Shared by every handler that uses it (through a shared
/// pointer): the TLS library's context is built from it once, at the first
/// handshake or when a server activates, and built again after any change.
///
/// Change it before the connections that use it start; reading from many
/// threads at once is safe.
class OSTREVAN_EXPORT TIdTLSSettings {
 public:
  /// Verification of the peer on, the system's trust store, TLS 1.2 or
  /// later, no client certificate, session resumption on.
  TIdTLSSettings();
  /// Frees the built context (connections still using it keep it).
  ~TIdTLSSettings();
  TIdTLSSettings(const TIdTLSSettings&) = delete;
  TIdTLSSettings& operator=(const TIdTLSSettings&) = delete;

  /// PEM file with this end's certificate first and its chain after it.
  const std::string& CertificateFile() const { return CertificateFile_; }
  /// Sets CertificateFile and forgets CertificatePEM.
  void SetCertificateFile(const std::string& value);
  /// The same as PEM text in memory.
  const std::string& CertificatePEM() const { return CertificatePEM_; }
  /// Sets CertificatePEM and forgets CertificateFile.
  void SetCertificatePEM(const std::string& value);
  /// PEM file with the certificate's private key (unencrypted).
  const std::string& KeyFile() const { return KeyFile_; }
  /// Sets KeyFile and forgets KeyPEM.
  void SetKeyFile(const std::string& value);
  /// The key as PEM text in memory.
  const std::string& KeyPEM() const { return KeyPEM_; }
  /// Sets KeyPEM and forgets KeyFile.
  void SetKeyPEM(const std::string& value);

  /// PEM file of trusted certificate authorities. With neither CAFile nor
  /// CAPath the system's trust store is used.
  const std::string& CAFile() const { return CAFile_; }
  /// Sets CAFile.
  void SetCAFile(const std::string& value);
  /// Directory of PEM files of trusted authorities, read once when the
  /// context is built.
  const std::string& CAPath() const { return CAPath_; }
  /// Sets CAPath.
  void SetCAPath(const std::string& value);

  /// Whether a client verifies the server's certificate and host name
  /// (default true). A server verifies its clients by ClientCertificate.
  bool VerifyPeer() const { return VerifyPeer_; }
  /// Sets VerifyPeer.
  void SetVerifyPeer(bool value);
  /// The name a client sends as SNI and checks the certificate against;
  /// empty: the host it connects to (an address is checked, not sent).
  const std::string& HostName() const { return HostName_; }
  /// Sets HostName.
  void SetHostName(const std::string& value);
  /// Whether a server asks clients for a certificate (default ccNone).
  TIdTLSClientCertificate ClientCertificate() const { return ClientCertificate_; }
  /// Sets ClientCertificate.
  void SetClientCertificate(TIdTLSClientCertificate value);
  /// The lowest version accepted (default tlsVersion12).
  TIdTLSVersion MinVersion() const { return MinVersion_; }
  /// Sets MinVersion.
  void SetMinVersion(TIdTLSVersion value);
  /// Application protocols, most preferred first: offered by a client,
  /// chosen from by a server (a client offering none of them is refused).
  /// Empty: no ALPN.
  const std::vector<std::string>& ALPN() const { return ALPN_; }
  /// Sets ALPN.
  void SetALPN(const std::vector<std::string>& value);
  /// Whether sessions are resumed (default true): a server keeps a session
  /// cache and issues tickets; clients that share these settings resume
  /// their last session with the same host and port.
  bool SessionResumption() const { return SessionResumption_; }
  /// Sets SessionResumption.
  void SetSessionResumption(bool value);

  /// The context built from these settings for the given side, built now
  /// unless it is there. Raises EIdTLSError when the settings do not load
  /// (a missing file, a key that does not match the certificate).
  std::shared_ptr<TIdTLSContext> Context(bool AServer);

 private:
  void Changed();

  std::string CertificateFile_;
  std::string CertificatePEM_;
  std::string KeyFile_;
  std::string KeyPEM_;
  std::string CAFile_;
  std::string CAPath_;
  bool VerifyPeer_ = true;
  std::string HostName_;
  TIdTLSClientCertificate ClientCertificate_ = ccNone;
  TIdTLSVersion MinVersion_ = tlsVersion12;
  std::vector<std::string> ALPN_;
  bool SessionResumption_ = true;
  // Guards the built contexts, one per side, which the first handshakes of
  // several threads may ask for at once.
  std::mutex ContextLock_;
  std::shared_ptr<TIdTLSContext> ServerContext_;
  std::shared_ptr<TIdTLSContext> ClientContext_;
};

}  // namespace ostrevan
