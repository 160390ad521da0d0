// SPDX-License-Identifier: MIT
#include "ostrevan/client/socks_negotiation.h"

#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ostrevan/client/socks_errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

namespace {

using TBytes = std::vector<uint8_t>;

constexpr uint8_t Socks4Version = 4;
constexpr uint8_t Socks5Version = 5;
constexpr uint8_t ConnectCommand = 1;
constexpr uint8_t Socks4Granted = 90;
constexpr uint8_t Socks5NoAuthentication = 0;
constexpr uint8_t Socks5UsernamePassword = 2;
constexpr uint8_t Socks5AuthVersion = 1;
constexpr uint8_t Socks5AddressIPv4 = 1;
constexpr uint8_t Socks5AddressName = 3;
constexpr uint8_t Socks5AddressIPv6 = 4;
constexpr int32_t Socks4ReplyLength = 8;
// Version, reply code, reserved, address type, first byte of the address.
constexpr int32_t Socks5ReplyHeadLength = 5;

// A reply whose version byte is not that of its protocol is no reply of
// that protocol, whatever its other bytes say.
void RequireReplyVersion(uint8_t AVersion, uint8_t AExpected, const char* AReply) {
  if (AVersion != AExpected) {
    throw EIdSocksError(Format("Socks server replied to the %s with version %u instead of %u.",
                               AReply, AVersion, AExpected));
  }
}

// Refuses a field the request cannot carry whole. In the zero-terminated
// fields of SOCKS 4 a zero byte would end the field early and let the rest
// be read as the next field, so it is refused too.
void RequireSendable(const std::string& AText, const char* AWhat, bool AZeroTerminated) {
  if (AText.size() > IdSocksMaxFieldLength) {
    throw EIdSocksError(Format("Socks %s is %zu bytes long; at most %zu can be sent.", AWhat,
                               AText.size(), IdSocksMaxFieldLength));
  }
  if (AZeroTerminated && AText.find('\0') != std::string::npos) {
    throw EIdSocksError(Format("Socks %s contains a zero byte.", AWhat));
  }
}

void AppendText(TBytes& ABytes, const std::string& AText) {
  ABytes.insert(ABytes.end(), AText.begin(), AText.end());
}

// The port goes out most significant byte first, from its low 16 bits.
void AppendPort(TBytes& ABytes, int32_t APort) {
  const uint16_t value = GlobalStack()->HostToNetShort(static_cast<uint16_t>(APort & 0xFFFF));
  uint8_t raw[2];
  std::memcpy(raw, &value, sizeof(raw));
  ABytes.insert(ABytes.end(), raw, raw + sizeof(raw));
}

void AppendAddress(TBytes& ABytes, const in_addr& AAddress) {
  uint8_t raw[4];
  std::memcpy(raw, &AAddress.s_addr, sizeof(raw));
  ABytes.insert(ABytes.end(), raw, raw + sizeof(raw));
}

// A send may take fewer bytes than offered; the rest follows in further calls.
void SendAll(TIdSocksTransport& ATransport, const TBytes& ABytes) {
  size_t sent = 0;
  while (sent < ABytes.size()) {
    const int32_t count =
        ATransport.Send(ABytes.data() + sent, static_cast<int32_t>(ABytes.size() - sent));
    if (count > 0) {
      sent += static_cast<size_t>(count);
    } else if (count == 0) {
      throw EIdSocksServerRespondError();  // the proxy takes no more of the request
    } else {
      GlobalStack()->CheckSocketResult(count, {EINTR});  // raises on anything but EINTR
    }
  }
}

// A reply may come in several pieces; all of them are read. A proxy that
// closes before the reply is complete did not answer.
void ReceiveExactly(TIdSocksTransport& ATransport, uint8_t* ABuffer, int32_t ALength) {
  int32_t received = 0;
  while (received < ALength) {
    const int32_t count = ATransport.Receive(ABuffer + received, ALength - received);
    if (count > 0) {
      received += count;
    } else if (count == 0) {
      throw EIdSocksServerRespondError();
    } else {
      GlobalStack()->CheckSocketResult(count, {EINTR});
    }
  }
}

// With SOCKS 5 whatever goes wrong while waiting for a reply is reported as
// a proxy that did not respond.
void ReceiveSocks5(TIdSocksTransport& ATransport, uint8_t* ABuffer, int32_t ALength) {
  try {
    ReceiveExactly(ATransport, ABuffer, ALength);
  } catch (const EIdSocksServerRespondError&) {
    throw;
  } catch (const Exception&) {
    throw EIdSocksServerRespondError();
  }
}

TBytes Socks4Request(const TIdSocksSettings& ASettings, const std::string& AHost, int32_t APort) {
  // A SOCKS 4 request has room for four address bytes only, and a 4A proxy
  // would take the address for a name to look up.
  if (TIdStack::IsIPv6Address(AHost)) {
    throw EIdSocksError(
        Format("Socks 4 cannot reach the IPv6 address %s; Socks 5 can.", AHost.c_str()));
  }
  const bool withName = ASettings.Version == svSocks4A;
  RequireSendable(ASettings.Username, "user name", true);
  if (withName) RequireSendable(AHost, "host name", true);

  TIdStack& stack = *GlobalStack();
  // 0.0.0.1 tells the proxy that the host name follows the user name.
  const in_addr address = withName ? stack.TextToAddress("0.0.0.1")
                                   : stack.TextToAddress(stack.ResolveToAddress(AHost));
  TBytes request{Socks4Version, ConnectCommand};
  AppendPort(request, APort);
  AppendAddress(request, address);
  AppendText(request, ASettings.Username);
  request.push_back(0);
  if (withName) {
    AppendText(request, AHost);
    request.push_back(0);
  }
  return request;
}

[[noreturn]] void RaiseSocks4Refusal(uint8_t ACode) {
  switch (ACode) {
    case 91: throw EIdSocksRequestFailed();
    case 92: throw EIdSocksRequestServerFailed();
    case 93: throw EIdSocksRequestIdentFailed();
    default: throw EIdSocksUnknownError();
  }
}

void NegotiateSocks4(const TIdSocksSettings& ASettings, TIdSocksTransport& ATransport,
                     const std::string& AHost, int32_t APort) {
  SendAll(ATransport, Socks4Request(ASettings, AHost, APort));
  // Only the reply code counts: neither the version byte before it nor the
  // address and port after it are looked at.
  uint8_t reply[Socks4ReplyLength];
  ReceiveExactly(ATransport, reply, Socks4ReplyLength);
  if (reply[1] != Socks4Granted) RaiseSocks4Refusal(reply[1]);
}

[[noreturn]] void RaiseSocks5Refusal(uint8_t ACode) {
  switch (ACode) {
    case 1: throw EIdSocksServerGeneralError();
    case 2: throw EIdSocksServerPermissionError();
    case 3: throw EIdSocksServerNetUnreachableError();
    case 4: throw EIdSocksServerHostUnreachableError();
    case 5: throw EIdSocksServerConnectionRefusedError();
    case 6: throw EIdSocksServerTTLExpiredError();
    case 7: throw EIdSocksServerCommandError();
    case 8: throw EIdSocksServerAddressError();
    default: throw EIdSocksUnknownError();
  }
}

// How many bytes of the bound address and port follow the reply's first
// five. An unknown address type cannot be measured, so the reply is refused
// rather than read with a guessed length.
int32_t Socks5ReplyRestLength(const uint8_t (&AHead)[Socks5ReplyHeadLength]) {
  switch (AHead[3]) {
    case Socks5AddressIPv4: return 5;          // three more address bytes, the port
    case Socks5AddressName: return AHead[4] + 2;  // AHead[4] is the name's length
    case Socks5AddressIPv6: return 17;         // fifteen more address bytes, the port
    default:
      throw EIdSocksError(
          Format("Socks server replied with an unknown address type (%u).", AHead[3]));
  }
}

// An IPv6 address goes as one (the name field cannot hold it for every
// proxy); any other host goes as a name, dotted text too: the proxy
// resolves it.
TBytes Socks5ConnectRequest(const std::string& AHost, int32_t APort) {
  TBytes request{Socks5Version, ConnectCommand, 0};
  if (TIdStack::IsIPv6Address(AHost)) {
    // The scope, if any, names an interface of this host, which means
    // nothing to the proxy.
    uint32_t scope = 0;
    const in6_addr address = GlobalStack()->TextToIPv6Address(AHost, scope);
    request.push_back(Socks5AddressIPv6);
    request.insert(request.end(), address.s6_addr, address.s6_addr + sizeof(address.s6_addr));
  } else {
    request.push_back(Socks5AddressName);
    request.push_back(static_cast<uint8_t>(AHost.size()));
    AppendText(request, AHost);
  }
  AppendPort(request, APort);
  return request;
}

void NegotiateSocks5(const TIdSocksSettings& ASettings, TIdSocksTransport& ATransport,
                     const std::string& AHost, int32_t APort) {
  const bool withPassword = ASettings.Authentication == saUsernamePassword;
  if (withPassword) {
    RequireSendable(ASettings.Username, "user name", false);
    RequireSendable(ASettings.Password, "password", false);
  }
  RequireSendable(AHost, "host name", false);

  const uint8_t method = withPassword ? Socks5UsernamePassword : Socks5NoAuthentication;
  SendAll(ATransport, TBytes{Socks5Version, 1, method});
  uint8_t choice[2];
  ReceiveSocks5(ATransport, choice, sizeof(choice));
  // Only the method counts here, not the version byte before it. 255 means
  // no method was acceptable; it never equals the one offered.
  if (choice[1] != method) throw EIdSocksAuthMethodError();

  if (withPassword) {
    TBytes login{Socks5AuthVersion, static_cast<uint8_t>(ASettings.Username.size())};
    AppendText(login, ASettings.Username);
    login.push_back(static_cast<uint8_t>(ASettings.Password.size()));
    AppendText(login, ASettings.Password);
    SendAll(ATransport, login);
    uint8_t status[2];
    ReceiveSocks5(ATransport, status, sizeof(status));
    RequireReplyVersion(status[0], Socks5AuthVersion, "login");
    if (status[1] != 0) throw EIdSocksAuthError();
  }

  SendAll(ATransport, Socks5ConnectRequest(AHost, APort));

  uint8_t head[Socks5ReplyHeadLength];
  ReceiveSocks5(ATransport, head, Socks5ReplyHeadLength);
  RequireReplyVersion(head[0], Socks5Version, "connect request");
  if (head[1] != 0) RaiseSocks5Refusal(head[1]);
  // The bound address and port are read to leave the stream at the
  // destination's first byte, and not used.
  uint8_t rest[IdSocksMaxFieldLength + 2];
  ReceiveSocks5(ATransport, rest, Socks5ReplyRestLength(head));
}

}  // namespace

void NegotiateSocks(const TIdSocksSettings& ASettings, TIdSocksTransport& ATransport,
                    const std::string& AHost, int32_t APort) {
  switch (ASettings.Version) {
    case svNoSocks: return;
    case svSocks4:
    case svSocks4A: NegotiateSocks4(ASettings, ATransport, AHost, APort); return;
    case svSocks5: NegotiateSocks5(ASettings, ATransport, AHost, APort); return;
  }
}

}  // namespace ostrevan
