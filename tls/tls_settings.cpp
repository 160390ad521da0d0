// SPDX-License-Identifier: MIT
#include "ostrevan/tls/tls_settings.h"

#include "ostrevan/tls/internal/tls_context.h"

namespace ostrevan {

TIdTLSSettings::TIdTLSSettings() = default;
TIdTLSSettings::~TIdTLSSettings() = default;

void TIdTLSSettings::Changed() {
  std::lock_guard<std::mutex> guard(ContextLock_);
  ServerContext_.reset();
  ClientContext_.reset();
}

void TIdTLSSettings::SetCertificateFile(const std::string& value) {
  CertificateFile_ = value;
  CertificatePEM_.clear();
  Changed();
}

void TIdTLSSettings::SetCertificatePEM(const std::string& value) {
  CertificatePEM_ = value;
  CertificateFile_.clear();
  Changed();
}

void TIdTLSSettings::SetKeyFile(const std::string& value) {
  KeyFile_ = value;
  KeyPEM_.clear();
  Changed();
}

void TIdTLSSettings::SetKeyPEM(const std::string& value) {
  KeyPEM_ = value;
  KeyFile_.clear();
  Changed();
}

void TIdTLSSettings::SetCAFile(const std::string& value) {
  CAFile_ = value;
  Changed();
}

void TIdTLSSettings::SetCAPath(const std::string& value) {
  CAPath_ = value;
  Changed();
}

void TIdTLSSettings::SetVerifyPeer(bool value) {
  VerifyPeer_ = value;
  Changed();
}

void TIdTLSSettings::SetHostName(const std::string& value) {
  HostName_ = value;
  Changed();
}

void TIdTLSSettings::SetClientCertificate(TIdTLSClientCertificate value) {
  ClientCertificate_ = value;
  Changed();
}

void TIdTLSSettings::SetMinVersion(TIdTLSVersion value) {
  MinVersion_ = value;
  Changed();
}

void TIdTLSSettings::SetALPN(const std::vector<std::string>& value) {
  ALPN_ = value;
  Changed();
}

void TIdTLSSettings::SetSessionResumption(bool value) {
  SessionResumption_ = value;
  Changed();
}

std::shared_ptr<TIdTLSContext> TIdTLSSettings::Context(bool AServer) {
  std::lock_guard<std::mutex> guard(ContextLock_);
  std::shared_ptr<TIdTLSContext>& context = AServer ? ServerContext_ : ClientContext_;
  if (context == nullptr) context = std::make_shared<TIdTLSContext>(*this, AServer);
  return context;
}

}  // namespace ostrevan
