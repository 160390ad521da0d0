// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ostrevan/client/socks_negotiation.h"

namespace ostrevan::testing {

// The client side of a SOCKS test: connects to the proxy on 127.0.0.1 and
// negotiates on to the destination; what the negotiation raises passes to
// the caller. Afterwards the connection leads to the destination.
class TSocksTestClient {
 public:
  TSocksTestClient(uint16_t proxyPort, const TIdSocksSettings& settings, const std::string& host,
                   int32_t port);
  ~TSocksTestClient();
  TSocksTestClient(const TSocksTestClient&) = delete;
  TSocksTestClient& operator=(const TSocksTestClient&) = delete;

  // Everything the destination sends up to its close (bounded wait).
  std::string ReadToEnd();

 private:
  class TImpl;
  std::unique_ptr<TImpl> Impl_;
};

// Negotiates and returns what the destination then sent, or the message of
// the exception the negotiation raised, as "raised: <message>".
std::string OutcomeOf(uint16_t proxyPort, const TIdSocksSettings& settings,
                      const std::string& host, int32_t port);

TIdSocksSettings Socks(TSocksVersion version, const std::string& username = "",
                       const std::string& password = "");

}  // namespace ostrevan::testing
