// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/client/socks_info.h"  // TSocksVersion, TSocksAuthentication

namespace ostrevan {


/// What the proxy is asked with: the protocol and the credentials.
struct OSTREVAN_EXPORT TIdSocksSettings {
  /// The proxy protocol.
  TSocksVersion Version = svNoSocks;
  TSocksAuthentication Authentication = saNoAuthentication;  ///< SOCKS 5 only
  /// The user name: the SOCKS 4 user ID, or the SOCKS 5 login's name.
  std::string Username;
  /// The password of a SOCKS 5 login.
  std::string Password;
};

/// The two raw transfers the negotiation needs, as an I/O handler offers
/// them: each moves at most ALength bytes and returns how many it moved, 0
/// when the peer has closed, or -1 on a socket error, left in errno for the
/// stack's check.
class OSTREVAN_EXPORT TIdSocksTransport {
 public:
  virtual ~TIdSocksTransport() = default;
  /// Sends bytes to the proxy: the count sent, or -1.
  virtual int32_t Send(const void* ABuffer, int32_t ALength) = 0;
  /// Receives bytes from the proxy: the count, 0 when it closed, or -1.
  virtual int32_t Receive(void* ABuffer, int32_t ALength) = 0;
};

/// The longest user name, password or destination host name a request can
/// carry: each goes out with a one-byte length (SOCKS 5) or in a fixed-size
/// request (SOCKS 4). Longer ones are refused before anything is sent.
constexpr size_t IdSocksMaxFieldLength = 255;

/// Asks the proxy at the other end of the transport to connect on to
/// AHost:APort, and returns once it has; afterwards the transport leads to the
/// destination. svNoSocks does nothing. An IPv6 address as AHost goes to a
/// SOCKS 5 proxy as an address; SOCKS 4 and 4A cannot carry one and refuse
/// it with EIdSocksError before anything is sent.
///
/// A refusal raises the EIdSocksError kind of the proxy's reply code. A SOCKS 5
/// login status whose version byte is not 1, or a connect reply whose version
/// byte is not 5, raises EIdSocksError; the version bytes of the SOCKS 4
/// reply and of the SOCKS 5 method choice are not looked at. A reply that
/// arrives in pieces is read until complete; a proxy that closes before its
/// reply is complete raises EIdSocksServerRespondError. With SOCKS 5 every
/// receive failure becomes EIdSocksServerRespondError; with SOCKS 4 a socket
/// error passes as EIdSocketError. Send failures pass as EIdSocketError.
///
/// Needs GlobalStack (a live TIdComponent). Runs on the caller's thread.
OSTREVAN_EXPORT void NegotiateSocks(const TIdSocksSettings& ASettings, TIdSocksTransport& ATransport,
                    const std::string& AHost, int32_t APort);

}  // namespace ostrevan
