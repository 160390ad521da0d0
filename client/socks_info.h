// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"

namespace ostrevan {

class TIdIOHandler;

/// The proxy protocol: none, SOCKS 4, SOCKS 4A (the proxy resolves the host name) or SOCKS 5.
enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
/// How a SOCKS 5 proxy is logged in to: not at all, or with Username and Password.
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

/// The SOCKS proxy settings of a socket I/O handler's client connect, and the
/// negotiation with the proxy over that handler's connection. Used by the
/// thread that makes the client connect.
class OSTREVAN_EXPORT TIdSocksInfo : public TIdComponent {
 public:
  /// The Port new settings start with.
  static constexpr int32_t kDefaultPort = 1080;

  /// Settings of AOwner (none: ownerless) for no proxy.
  explicit TIdSocksInfo(TComponent* AOwner);

  /// Asks the proxy, over ProxyHandler's connection to it, to connect on to
  /// the host and port (NegotiateSocks: the replies, limits and exceptions).
  /// Nothing happens with svNoSocks. A refusal leaves the connection to the
  /// proxy open.
  virtual void NegotiateProxy(const std::string& AHost, int32_t APort);

  ///@{
  /// How to log in to a SOCKS 5 proxy.
  TSocksAuthentication Authentication() const { return Authentication_; }
  void SetAuthentication(TSocksAuthentication value) { Authentication_ = value; }
  ///@}
  ///@{
  /// The proxy's host name or address.
  const std::string& Host() const { return Host_; }
  void SetHost(const std::string& value) { Host_ = value; }
  ///@}
  ///@{
  /// The password of a SOCKS 5 login.
  const std::string& Password() const { return Password_; }
  void SetPassword(const std::string& value) { Password_ = value; }
  ///@}
  ///@{
  /// The proxy's port.
  int32_t Port() const { return Port_; }
  void SetPort(int32_t value) { Port_ = value; }
  ///@}
  ///@{
  /// The user name: the SOCKS 4 user ID, or the SOCKS 5 login's name.
  const std::string& Username() const { return Username_; }
  void SetUsername(const std::string& value) { Username_ = value; }
  ///@}
  ///@{
  /// The proxy protocol; svNoSocks (the default) connects directly.
  TSocksVersion Version() const { return Version_; }
  void SetVersion(TSocksVersion value) { Version_ = value; }
  ///@}
  ///@{
  /// The handler whose Send and Receive the negotiation uses; not owned,
  /// cleared when that handler is destroyed.
  TIdIOHandler* ProxyHandler() const { return ProxyHandler_; }
  void SetProxyHandler(TIdIOHandler* value);
  ///@}

 protected:
  /// Into another TIdSocksInfo: every setting but ProxyHandler. Any other
  /// target raises EConvertError "Cannot assign a ... to a ...".
  void AssignTo(TPersistent* dest) const override;
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  TSocksAuthentication Authentication_ = saNoAuthentication;
  std::string Host_;
  std::string Password_;
  int32_t Port_ = kDefaultPort;
  std::string Username_;
  TSocksVersion Version_ = svNoSocks;
  TIdIOHandler* ProxyHandler_ = nullptr;
};

}  // namespace ostrevan
