// SPDX-License-Identifier: MIT
#include "ostrevan/tls/internal/tls_context.h"

#include <dirent.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include "ostrevan/tls/errors.h"
#include "ostrevan/tls/tls_settings.h"

namespace ostrevan {

namespace {

constexpr unsigned char kSessionIdContext[] = "ostrevan";

struct TBioFree {
  void operator()(BIO* ABio) const { BIO_free(ABio); }
};
using TBioPtr = std::unique_ptr<BIO, TBioFree>;

[[noreturn]] void FailSettings(const std::string& AStep) {
  std::string reason = TakeTLSErrorText();
  throw EIdTLSError("TLS settings failed: " + AStep + (reason.empty() ? "" : ": " + reason));
}

TBioPtr MemoryBio(const std::string& AText) {
  return TBioPtr(BIO_new_mem_buf(AText.data(), static_cast<int>(AText.size())));
}

// ALPN's wire format: each name after its length byte.
std::string WireALPN(const std::vector<std::string>& ANames) {
  std::string wire;
  for (const std::string& name : ANames) {
    if (name.empty() || name.size() > 255) throw EIdTLSError("TLS settings failed: bad ALPN name");
    wire += static_cast<char>(name.size());
    wire += name;
  }
  return wire;
}

int SelectALPN(SSL*, const unsigned char** AOut, unsigned char* AOutLength,
               const unsigned char* AOffered, unsigned int AOfferedLength, void* AContext) {
  const std::string& ours = *static_cast<const std::string*>(AContext);
  unsigned char* chosen = nullptr;
  // The server's order decides: the first of ours that the client offers.
  if (SSL_select_next_proto(&chosen, AOutLength, reinterpret_cast<const unsigned char*>(ours.data()),
                            static_cast<unsigned int>(ours.size()), AOffered,
                            AOfferedLength) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  *AOut = chosen;
  return SSL_TLSEXT_ERR_OK;
}

// A client's new session, kept under its connection's key (the SSL's app
// data, set by the engine); 1 takes over the session's reference.
int KeepNewSession(SSL* ASsl, SSL_SESSION* ASession) {
  auto* context = static_cast<TIdTLSContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ASsl)));
  const auto* key = static_cast<const std::string*>(SSL_get_app_data(ASsl));
  if (context == nullptr || key == nullptr || key->empty()) return 0;
  context->KeepSession(*key, ASession);
  return 1;
}

}  // namespace

std::string TakeTLSErrorText() {
  unsigned long last = 0;
  while (unsigned long e = ERR_get_error()) last = e;
  if (last == 0) return {};
  const char* reason = ERR_reason_error_string(last);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(last, text, sizeof(text));
  return text;
}

TIdTLSContext::TIdTLSContext(const TIdTLSSettings& ASettings, bool AServer) : Server_(AServer) {
  ERR_clear_error();
  Context_ = SSL_CTX_new(AServer ? TLS_server_method() : TLS_client_method());
  if (Context_ == nullptr) FailSettings("no context");
  SSL_CTX_set_app_data(Context_, this);
  try {
    SSL_CTX_set_min_proto_version(
        Context_, ASettings.MinVersion() == tlsVersion13 ? TLS1_3_VERSION : TLS1_2_VERSION);
    // A peer's TCP close without close_notify reads as its close, as on a
    // plain connection: the line protocols on top know where they end.
    // Renegotiation is refused: a write never has to wait for a read.
    SSL_CTX_set_options(Context_, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(Context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_RELEASE_BUFFERS);
    LoadIdentity(ASettings);
    LoadTrust(ASettings);
    SetVerification(ASettings);
    SetALPN(ASettings);
    SetSessionCaching(ASettings.SessionResumption());
  } catch (...) {
    SSL_CTX_free(Context_);
    throw;
  }
}

TIdTLSContext::~TIdTLSContext() {
  for (auto& [key, session] : Sessions_) SSL_SESSION_free(session);
  SSL_CTX_free(Context_);
}

void TIdTLSContext::LoadIdentity(const TIdTLSSettings& ASettings) {
  if (!ASettings.CertificateFile().empty()) {
    if (SSL_CTX_use_certificate_chain_file(Context_, ASettings.CertificateFile().c_str()) != 1) {
      FailSettings("cannot load the certificate " + ASettings.CertificateFile());
    }
  } else if (!ASettings.CertificatePEM().empty()) {
    TBioPtr bio = MemoryBio(ASettings.CertificatePEM());
    X509* leaf = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (leaf == nullptr || SSL_CTX_use_certificate(Context_, leaf) != 1) {
      X509_free(leaf);
      FailSettings("cannot load the certificate");
    }
    X509_free(leaf);
    while (X509* next = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
      SSL_CTX_add0_chain_cert(Context_, next);  // takes the reference
    }
    ERR_clear_error();  // the end of the PEM text
  }
  if (!ASettings.KeyFile().empty()) {
    if (SSL_CTX_use_PrivateKey_file(Context_, ASettings.KeyFile().c_str(), SSL_FILETYPE_PEM) != 1) {
      FailSettings("cannot load the key " + ASettings.KeyFile());
    }
  } else if (!ASettings.KeyPEM().empty()) {
    TBioPtr bio = MemoryBio(ASettings.KeyPEM());
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    const bool used = key != nullptr && SSL_CTX_use_PrivateKey(Context_, key) == 1;
    EVP_PKEY_free(key);
    if (!used) FailSettings("cannot load the key");
  }
  const bool hasCertificate = SSL_CTX_get0_certificate(Context_) != nullptr;
  if (hasCertificate && SSL_CTX_check_private_key(Context_) != 1) {
    FailSettings("the key does not match the certificate");
  }
  if (Server_ && !hasCertificate) throw EIdTLSError("TLS settings failed: a server needs a certificate");
}

void TIdTLSContext::LoadTrust(const TIdTLSSettings& ASettings) {
  const bool verifies = Server_ ? ASettings.ClientCertificate() != ccNone : ASettings.VerifyPeer();
  if (!verifies) return;
  if (ASettings.CAFile().empty() && ASettings.CAPath().empty()) {
    if (SSL_CTX_set_default_verify_paths(Context_) != 1) FailSettings("cannot load the system's trust store");
    return;
  }
  X509_STORE* store = SSL_CTX_get_cert_store(Context_);
  if (!ASettings.CAFile().empty()) {
    if (X509_STORE_load_file(store, ASettings.CAFile().c_str()) != 1) {
      FailSettings("cannot load the CA file " + ASettings.CAFile());
    }
    // A server names the authorities it accepts in its request.
    if (Server_) {
      if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ASettings.CAFile().c_str())) {
        SSL_CTX_set_client_CA_list(Context_, names);
      }
    }
  }
  if (!ASettings.CAPath().empty()) {
    // Every file read now into the store: a hashed-directory lookup would
    // read the directory again on every verification.
    DIR* dir = opendir(ASettings.CAPath().c_str());
    if (dir == nullptr) throw EIdTLSError("TLS settings failed: cannot read the CA directory " + ASettings.CAPath());
    while (dirent* entry = readdir(dir)) {
      const std::string path = ASettings.CAPath() + "/" + entry->d_name;
      struct stat info {};
      if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) X509_STORE_load_file(store, path.c_str());
    }
    closedir(dir);
    ERR_clear_error();  // files that hold no certificate are skipped
  }
}

void TIdTLSContext::SetVerification(const TIdTLSSettings& ASettings) {
  if (Server_) {
    int mode = SSL_VERIFY_NONE;
    if (ASettings.ClientCertificate() == ccOptional) mode = SSL_VERIFY_PEER;
    if (ASettings.ClientCertificate() == ccRequired) mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    SSL_CTX_set_verify(Context_, mode, nullptr);
    return;
  }
  VerifyPeer_ = ASettings.VerifyPeer();
  HostName_ = ASettings.HostName();
  SSL_CTX_set_verify(Context_, VerifyPeer_ ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
}

void TIdTLSContext::SetALPN(const TIdTLSSettings& ASettings) {
  if (ASettings.ALPN().empty()) return;
  const std::string wire = WireALPN(ASettings.ALPN());
  if (Server_) {
    ServerALPN_ = wire;
    SSL_CTX_set_alpn_select_cb(Context_, SelectALPN, &ServerALPN_);
  } else if (SSL_CTX_set_alpn_protos(Context_, reinterpret_cast<const unsigned char*>(wire.data()),
                                     static_cast<unsigned int>(wire.size())) != 0) {
    FailSettings("cannot set ALPN");
  }
}

void TIdTLSContext::SetSessionCaching(bool AOn) {
  Resumption_ = AOn;
  SSL_CTX_set_session_id_context(Context_, kSessionIdContext, sizeof(kSessionIdContext) - 1);
  if (!AOn) {
    SSL_CTX_set_session_cache_mode(Context_, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(Context_, SSL_OP_NO_TICKET);
    if (Server_) SSL_CTX_set_num_tickets(Context_, 0);
    return;
  }
  if (Server_) {
    SSL_CTX_set_session_cache_mode(Context_, SSL_SESS_CACHE_SERVER);
    return;
  }
  // The clients' sessions are kept here, by host and port, not in the
  // library's cache, which only a server looks up.
  SSL_CTX_set_session_cache_mode(Context_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(Context_, KeepNewSession);
}

SSL_SESSION* TIdTLSContext::TakeSession(const std::string& AKey) {
  if (!Resumption_ || AKey.empty()) return nullptr;
  std::lock_guard<std::mutex> guard(SessionLock_);
  auto found = Sessions_.find(AKey);
  if (found == Sessions_.end()) return nullptr;
  SSL_SESSION_up_ref(found->second);
  return found->second;
}

void TIdTLSContext::KeepSession(const std::string& AKey, SSL_SESSION* ASession) {
  std::lock_guard<std::mutex> guard(SessionLock_);
  SSL_SESSION*& slot = Sessions_[AKey];
  if (slot != nullptr) SSL_SESSION_free(slot);
  slot = ASession;
}

}  // namespace ostrevan
