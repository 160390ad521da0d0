// SPDX-License-Identifier: MIT
#include "tests/support/socks_test_client.h"

#include "ostrevan/client/socks_info.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/runtime/exception.h"

namespace ostrevan::testing {

namespace {
constexpr int32_t ReadTimeoutMs = 5000;
}  // namespace

class TSocksTestClient::TImpl {
 public:
  TIdIOHandlerSocket Handler{nullptr};
};

// The whole client connect: the handler connects to the proxy named in its
// SocksInfo, which then negotiates on to the destination.
TSocksTestClient::TSocksTestClient(uint16_t proxyPort, const TIdSocksSettings& settings,
                                   const std::string& host, int32_t port)
    : Impl_(std::make_unique<TImpl>()) {
  TIdSocksInfo& socks = *Impl_->Handler.SocksInfo();
  socks.SetVersion(settings.Version);
  socks.SetAuthentication(settings.Authentication);
  socks.SetUsername(settings.Username);
  socks.SetPassword(settings.Password);
  socks.SetHost("127.0.0.1");
  socks.SetPort(proxyPort);
  Impl_->Handler.ConnectTo(host, port);
}

TSocksTestClient::~TSocksTestClient() = default;

std::string TSocksTestClient::ReadToEnd() {
  std::string text;
  char buffer[512];
  while (Impl_->Handler.Connected()) {
    if (!Impl_->Handler.WaitReadable(ReadTimeoutMs)) return text + "<timed out>";
    const int32_t n = Impl_->Handler.Receive(buffer, sizeof(buffer));
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string OutcomeOf(uint16_t proxyPort, const TIdSocksSettings& settings,
                      const std::string& host, int32_t port) {
  try {
    TSocksTestClient client(proxyPort, settings, host, port);
    return client.ReadToEnd();
  } catch (const Exception& e) {
    return "raised: " + e.Message();
  }
}

TIdSocksSettings Socks(TSocksVersion version, const std::string& username,
                       const std::string& password) {
  TIdSocksSettings settings;
  settings.Version = version;
  settings.Username = username;
  settings.Password = password;
  if (version == svSocks5 && !password.empty()) settings.Authentication = saUsernamePassword;
  return settings;
}

}  // namespace ostrevan::testing
