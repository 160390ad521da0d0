// SPDX-License-Identifier: MIT
#include "ostrevan/tls/internal/tls_engine.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "ostrevan/net/stack.h"
#include "ostrevan/tls/errors.h"
#include "ostrevan/tls/internal/tls_context.h"

namespace ostrevan {

namespace {

// The most one Read appends: a full record.
constexpr int kReadChunk = 16384;

bool IsAddress(const std::string& AHost) {
  return TIdStack::IsDottedAddress(AHost) || TIdStack::IsIPv6Address(AHost);
}

}  // namespace

TTLSEngine::TTLSEngine(std::shared_ptr<TIdTLSContext> AContext, const std::string& AHostName,
                       const std::string& ASessionKey)
    : Context_(std::move(AContext)), SessionKey_(ASessionKey) {
  ERR_clear_error();
  Ssl_ = SSL_new(Context_->Handle());
  Input_ = BIO_new(BIO_s_mem());
  Output_ = BIO_new(BIO_s_mem());
  if (Ssl_ == nullptr || Input_ == nullptr || Output_ == nullptr) {
    BIO_free(Input_);
    BIO_free(Output_);
    SSL_free(Ssl_);
    throw EIdTLSError("TLS failed: out of memory");
  }
  // An empty input asks for more rather than reading as the end.
  BIO_set_mem_eof_return(Input_, -1);
  SSL_set_bio(Ssl_, Input_, Output_);
  SSL_set_app_data(Ssl_, &SessionKey_);
  if (Context_->Server()) {
    SSL_set_accept_state(Ssl_);
    return;
  }
  SSL_set_connect_state(Ssl_);
  const std::string host = Context_->HostName().empty() ? AHostName : Context_->HostName();
  // What SSL_set_tlsext_host_name does, without its C cast.
  if (!host.empty() && !IsAddress(host)) {
    SSL_ctrl(Ssl_, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(host.c_str()));
  }
  if (Context_->VerifyPeer() && !host.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(Ssl_);
    if (IsAddress(host)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
  }
  if (SSL_SESSION* session = Context_->TakeSession(SessionKey_)) {
    SSL_set_session(Ssl_, session);
    SSL_SESSION_free(session);
  }
}

TTLSEngine::~TTLSEngine() { SSL_free(Ssl_); }

void TTLSEngine::PutInput(const void* ABytes, size_t ACount) {
  if (ACount > 0) BIO_write(Input_, ABytes, static_cast<int>(ACount));
}

void TTLSEngine::EndInput() {
  InputEnded_ = true;
  BIO_set_mem_eof_return(Input_, 0);
}

bool TTLSEngine::TakeOutput(std::string& AOut) {
  char* data = nullptr;
  const long count = BIO_get_mem_data(Output_, &data);
  if (count <= 0) return false;
  AOut.append(data, static_cast<size_t>(count));
  (void)BIO_reset(Output_);
  return true;
}

void TTLSEngine::Fail(const char* AStep, int AResult) {
  const int error = SSL_get_error(Ssl_, AResult);
  std::string reason = TakeTLSErrorText();
  if (reason.empty()) {
    reason = InputEnded_ ? "the peer closed the connection" : "error " + std::to_string(error);
  }
  const long verified = SSL_get_verify_result(Ssl_);
  if (verified != X509_V_OK) reason += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
  throw EIdTLSError(std::string("TLS ") + AStep + " failed: " + reason);
}

TTLSEngine::TStep TTLSEngine::Handshake() {
  ERR_clear_error();
  const int result = SSL_do_handshake(Ssl_);
  if (result == 1) return stDone;
  if (SSL_get_error(Ssl_, result) == SSL_ERROR_WANT_READ && !InputEnded_) return stWantInput;
  Fail("handshake", result);
}

TTLSEngine::TStep TTLSEngine::Read(std::string& APlain) {
  ERR_clear_error();
  const size_t before = APlain.size();
  APlain.resize(before + kReadChunk);
  const int result = SSL_read(Ssl_, APlain.data() + before, kReadChunk);
  APlain.resize(before + static_cast<size_t>(result > 0 ? result : 0));
  if (result > 0) return stDone;
  switch (SSL_get_error(Ssl_, result)) {
    case SSL_ERROR_WANT_READ: return InputEnded_ ? stClosed : stWantInput;
    case SSL_ERROR_ZERO_RETURN: return stClosed;
    default: Fail("read", result);
  }
}

void TTLSEngine::Write(const void* ABytes, size_t ACount) {
  const auto* bytes = static_cast<const char*>(ABytes);
  while (ACount > 0) {
    ERR_clear_error();
    const int chunk = static_cast<int>(std::min<size_t>(ACount, 1 << 30));
    const int result = SSL_write(Ssl_, bytes, chunk);
    if (result <= 0) Fail("write", result);
    bytes += result;
    ACount -= static_cast<size_t>(result);
  }
}

void TTLSEngine::Shutdown() {
  if (!HandshakeDone() || (SSL_get_shutdown(Ssl_) & SSL_SENT_SHUTDOWN) != 0) return;
  SSL_shutdown(Ssl_);
  ERR_clear_error();
}

std::string TTLSEngine::ALPN() const {
  const unsigned char* name = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(Ssl_, &name, &length);
  return name == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(name), length);
}

std::string TTLSEngine::PeerSubject() const {
  X509* peer = SSL_get0_peer_certificate(Ssl_);
  if (peer == nullptr) return {};
  char line[512];
  X509_NAME_oneline(X509_get_subject_name(peer), line, sizeof(line));
  return line;
}

}  // namespace ostrevan
