#include "tests/support/socks_test_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "conn/component.h"
#include "runtime/exception.h"
#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {
constexpr int ReadTimeoutMs = 5000;
}  // namespace

class TSocksTestClient::TImpl : public TIdSocksTransport {
 public:
  explicit TImpl(uint16_t proxyPort) : Fd(ConnectToLoopback(proxyPort)) {}
  ~TImpl() override { close(Fd); }
  int32_t Send(const void* ABuffer, int32_t ALength) override {
    return static_cast<int32_t>(send(Fd, ABuffer, static_cast<size_t>(ALength), MSG_NOSIGNAL));
  }
  int32_t Receive(void* ABuffer, int32_t ALength) override {
    return static_cast<int32_t>(recv(Fd, ABuffer, static_cast<size_t>(ALength), 0));
  }

  TIdComponent KeepStack{nullptr};
  int Fd;
};

TSocksTestClient::TSocksTestClient(uint16_t proxyPort, const TIdSocksSettings& settings,
                                   const std::string& host, int32_t port)
    : Impl_(std::make_unique<TImpl>(proxyPort)) {
  NegotiateSocks(settings, *Impl_, host, port);
}

TSocksTestClient::~TSocksTestClient() = default;

std::string TSocksTestClient::ReadToEnd() {
  std::string text;
  char buffer[512];
  for (;;) {
    pollfd entry{Impl_->Fd, POLLIN, 0};
    if (poll(&entry, 1, ReadTimeoutMs) <= 0) return text + "<timed out>";
    const int32_t n = Impl_->Receive(buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
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
