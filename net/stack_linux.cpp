// SPDX-License-Identifier: MIT
#include "ostrevan/net/stack_linux.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrevan/net/errors.h"
#include "ostrevan/net/poll_wait.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

static_assert(IdMsgNoSignal == MSG_NOSIGNAL, "the send and receive flag of Linux");
static_assert(sizeof(sockaddr_in) == 16, "the IPv4 socket address record is 16 bytes");

namespace {

// Texts of the resolver's codes (h_errno), which take the place of the
// error numbers 1 to 4.
constexpr const char* ResolverTexts[] = {
    "Host not found.",
    "Non-authoritative response (try again or check DNS setup).",
    "Non-recoverable errors: FORMERR, REFUSED, NOTIMP.",
    "Valid name, no data record (check DNS setup).",
};

constexpr int FirstResolverCode = 1;
constexpr int LastResolverCode = 4;

constexpr size_t InitialLookUpBuffer = 1024;
constexpr size_t LargestLookUpBuffer = 1 << 20;

// A reentrant look-up result and the buffer its pointers point into.
template <class TEntry>
struct TLookUp {
  TEntry Entry{};
  std::vector<char> Buffer = std::vector<char>(InitialLookUpBuffer);
  TEntry* Result = nullptr;
  int ResolverError = 0;  // h_errno of host look-ups

  // Runs call(entry, buffer, size, result) and grows the buffer while the
  // call reports that it is too small.
  template <class TCall>
  TEntry* Run(TCall call) {
    for (;;) {
      Result = nullptr;
      const int rc = call(&Entry, Buffer.data(), Buffer.size(), &Result);
      if (rc != ERANGE || Buffer.size() >= LargestLookUpBuffer) return Result;
      Buffer.resize(Buffer.size() * 2);
    }
  }
};

// The text of an IPv4 address as an IPv6 socket takes it: its mapped address.
std::string MappedIPv4(const std::string& AIP) { return "::ffff:" + AIP; }

// A negative length would reach the system as a huge size_t and let it
// write past the caller's buffer; it fails like any invalid argument.
bool IsNegativeLength(int32_t length) { return length < 0; }

}  // namespace

void TIdStackLinux::RefreshLocalAddresses() {
  if (!LocalAddresses_) LocalAddresses_ = std::make_unique<TStringList>();
  LocalAddresses_->Clear();
  const std::string name = LocalHostName();
  TLookUp<hostent> lookUp;
  hostent* host = lookUp.Run([&](hostent* entry, char* buffer, size_t size, hostent** result) {
    return gethostbyname_r(name.c_str(), entry, buffer, size, result, &lookUp.ResolverError);
  });
  // Deliberately reported through errno, not the resolver's code.
  if (host == nullptr) {
    CheckSocketResult(IdSocketError);
    return;
  }
  for (char** address = host->h_addr_list; *address != nullptr; ++address) {
    in_addr value;
    std::memcpy(&value, *address, sizeof(value));
    LocalAddresses_->Add(AddressToText(value));
  }
}

std::string TIdStackLinux::PrimaryLocalAddress() { return LocalAddressList().Strings(0); }

const TStringList& TIdStackLinux::LocalAddressList() {
  if (!LocalAddresses_) LocalAddresses_ = std::make_unique<TStringList>();
  RefreshLocalAddresses();
  return *LocalAddresses_;
}

int32_t TIdStackLinux::AcceptSocket(int32_t ASocket, std::string& APeerIP, int32_t& APeerPort) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof(address));
  socklen_t length = sizeof(address);
  const int32_t result = accept(ASocket, reinterpret_cast<sockaddr*>(&address), &length);
  if (result == IdInvalidSocket) {
    // A listening socket closed by another thread ends the accept quietly:
    // callers tolerate EINTR.
    return Failed(errno == EBADF ? EINTR : errno);
  }
  SplitSocketAddress(address, APeerIP, APeerPort);
  return result;
}

TIdStackLinux::TSocketAddress TIdStackLinux::MakeSocketAddress(uint16_t AFamily,
                                                               const std::string& AIP,
                                                               uint16_t APort, bool AEmptyIsAny) {
  TSocketAddress result;
  std::memset(&result.Storage, 0, sizeof(result.Storage));
  if (AFamily == AF_INET6) {
    auto& address = reinterpret_cast<sockaddr_in6&>(result.Storage);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(APort);
    if (!(AEmptyIsAny && AIP.empty())) {
      address.sin6_addr = TextToIPv6Address(IsDottedAddress(AIP) ? MappedIPv4(AIP) : AIP,
                                            address.sin6_scope_id);
    }
    result.Length = sizeof(sockaddr_in6);
    return result;
  }
  // Any other family is given as it is, with an IPv4 address record.
  auto& address = reinterpret_cast<sockaddr_in&>(result.Storage);
  address.sin_family = AFamily;
  address.sin_port = htons(APort);
  address.sin_addr.s_addr = INADDR_ANY;
  if (!(AEmptyIsAny && AIP.empty())) address.sin_addr = TextToAddress(AIP);
  result.Length = sizeof(sockaddr_in);
  return result;
}

void TIdStackLinux::SplitSocketAddress(const sockaddr_storage& AAddress, std::string& AIP,
                                       int32_t& APort) {
  if (AAddress.ss_family == AF_INET6) {
    const auto& address = reinterpret_cast<const sockaddr_in6&>(AAddress);
    AIP = IPv6AddressToText(address.sin6_addr, address.sin6_scope_id);
    APort = ntohs(address.sin6_port);
    return;
  }
  const auto& address = reinterpret_cast<const sockaddr_in&>(AAddress);
  AIP = AddressToText(address.sin_addr);
  APort = ntohs(address.sin_port);
}

int32_t TIdStackLinux::BindSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                                  uint16_t APort) {
  const TSocketAddress address = MakeSocketAddress(AFamily, AIP, APort, true);
  return bind(ASocket, address.Address(), address.Length);
}

int32_t TIdStackLinux::CloseSocket(int32_t ASocket) { return close(ASocket); }

int32_t TIdStackLinux::ConnectSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                                     uint16_t APort) {
  const TSocketAddress address = MakeSocketAddress(AFamily, AIP, APort, false);
  return connect(ASocket, address.Address(), address.Length);
}

std::string TIdStackLinux::HostNameToAddress(const std::string& AHostName) {
  TLookUp<hostent> lookUp;
  hostent* host = lookUp.Run([&](hostent* entry, char* buffer, size_t size, hostent** result) {
    return gethostbyname_r(AHostName.c_str(), entry, buffer, size, result,
                           &lookUp.ResolverError);
  });
  if (host == nullptr || host->h_addr_list[0] == nullptr) {
    RaiseSocketErrorCode(lookUp.ResolverError);
  }
  in_addr value;
  std::memcpy(&value, host->h_addr_list[0], sizeof(value));
  return AddressToText(value);
}

std::string TIdStackLinux::HostNameToIPv6Address(const std::string& AHostName) {
  TLookUp<hostent> lookUp;
  hostent* host = lookUp.Run([&](hostent* entry, char* buffer, size_t size, hostent** result) {
    return gethostbyname2_r(AHostName.c_str(), AF_INET6, entry, buffer, size, result,
                            &lookUp.ResolverError);
  });
  if (host == nullptr || host->h_addr_list[0] == nullptr) {
    RaiseSocketErrorCode(lookUp.ResolverError);
  }
  in6_addr value;
  std::memcpy(&value, host->h_addr_list[0], sizeof(value));
  return IPv6AddressToText(value);
}

std::string TIdStackLinux::LocalHostName() {
  char buffer[251] = {};
  gethostname(buffer, 250);
  return std::string(buffer);
}

std::string TIdStackLinux::AddressToHostName(const std::string& AAddress) {
  const in_addr_t address = inet_addr(AAddress.c_str());
  TLookUp<hostent> lookUp;
  hostent* host = lookUp.Run([&](hostent* entry, char* buffer, size_t size, hostent** result) {
    return gethostbyaddr_r(&address, 4, AF_INET, entry, buffer, size, result,
                           &lookUp.ResolverError);
  });
  if (host == nullptr) RaiseSocketErrorCode(lookUp.ResolverError);
  return host->h_name;
}

int32_t TIdStackLinux::ServiceNameToPort(const std::string& AServiceName) {
  TLookUp<servent> lookUp;
  servent* service = lookUp.Run([&](servent* entry, char* buffer, size_t size, servent** result) {
    return getservbyname_r(AServiceName.c_str(), nullptr, entry, buffer, size, result);
  });
  if (service != nullptr) return ntohs(static_cast<uint16_t>(service->s_port));
  int32_t port = 0;
  if (!TryStrToInt(AServiceName, port)) {
    throw EIdInvalidServiceName(Format("%s is not a valid service.", AServiceName.c_str()));
  }
  return port;
}

TStringList TIdStackLinux::PortToServiceNames(int32_t APort) {
  TStringList names;
  const int port = htons(static_cast<uint16_t>(APort));
  TLookUp<servent> lookUp;
  servent* service = lookUp.Run([&](servent* entry, char* buffer, size_t size, servent** result) {
    return getservbyport_r(port, nullptr, entry, buffer, size, result);
  });
  if (service == nullptr) return names;
  names.Add(service->s_name);
  for (char** alias = service->s_aliases; *alias != nullptr; ++alias) names.Add(*alias);
  return names;
}

uint16_t TIdStackLinux::HostToNetShort(uint16_t AValue) { return htons(AValue); }

int32_t TIdStackLinux::ListenSocket(int32_t ASocket, int32_t AQueueCount) {
  return listen(ASocket, AQueueCount);
}

int32_t TIdStackLinux::SetSocketNonBlocking(int32_t ASocket) {
  const int flags = fcntl(ASocket, F_GETFL);
  if (flags == IdSocketError) return IdSocketError;
  return fcntl(ASocket, F_SETFL, flags | O_NONBLOCK);
}

uint16_t TIdStackLinux::NetToHostShort(uint16_t AValue) { return ntohs(AValue); }

uint32_t TIdStackLinux::HostToNetLong(uint32_t AValue) { return htonl(AValue); }

uint32_t TIdStackLinux::NetToHostLong(uint32_t AValue) { return ntohl(AValue); }

int32_t TIdStackLinux::ReceiveSocket(int32_t ASocket, void* ABuffer, int32_t ALength,
                                     int32_t AFlags) {
  if (IsNegativeLength(ALength)) return Failed(EINVAL);
  return static_cast<int32_t>(
      recv(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | IdMsgNoSignal));
}

int32_t TIdStackLinux::ReceiveFromSocket(int32_t ASocket, void* ABuffer, int32_t ALength,
                                         int32_t AFlags, std::string& AIP, int32_t& APort) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof(address));
  socklen_t length = sizeof(address);
  const int32_t result =
      IsNegativeLength(ALength)
          ? Failed(EINVAL)
          : static_cast<int32_t>(recvfrom(ASocket, ABuffer, static_cast<size_t>(ALength),
                                          AFlags | IdMsgNoSignal,
                                          reinterpret_cast<sockaddr*>(&address), &length));
  // The conversion may call the system (an interface's name); the caller's
  // check reads the receive's errno.
  const TKeptSocketError kept;
  SplitSocketAddress(address, AIP, APort);
  return result;
}

int32_t TIdStackLinux::SelectSockets(TIdHandleList* AReadList, TIdHandleList* AWriteList,
                                     TIdHandleList* AExceptList, int32_t ATimeout) {
  TIdHandleList* lists[3] = {AReadList, AWriteList, AExceptList};
  fd_set sets[3];
  int bound = 0;
  for (int i = 0; i < 3; ++i) {
    FD_ZERO(&sets[i]);
    if (lists[i] == nullptr) continue;
    if (lists[i]->size() > FD_SETSIZE) throw EIdSetSizeExceeded();
    // A descriptor beyond the set would be written outside it.
    for (int32_t handle : *lists[i]) {
      if (handle < 0 || handle >= FD_SETSIZE) throw EIdSetSizeExceeded();
    }
    for (int32_t handle : *lists[i]) {
      FD_SET(handle, &sets[i]);
      bound = std::max(bound, handle + 1);
    }
  }
  timeval time{ATimeout / 1000, (ATimeout % 1000) * 1000};
  const int32_t result =
      select(bound, &sets[0], &sets[1], &sets[2], ATimeout < 0 ? nullptr : &time);
  for (int i = 0; i < 3; ++i) {
    if (lists[i] == nullptr) continue;
    lists[i]->clear();
    for (int handle = 0; handle < bound; ++handle) {
      if (FD_ISSET(handle, &sets[i])) lists[i]->push_back(handle);
    }
  }
  return result;
}

int32_t TIdStackLinux::SendSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                                  int32_t AFlags) {
  if (IsNegativeLength(ALength)) return Failed(EINVAL);
  return static_cast<int32_t>(
      send(ASocket, ABuffer, static_cast<size_t>(ALength), AFlags | IdMsgNoSignal));
}

int32_t TIdStackLinux::SendToSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                                    int32_t AFlags, const std::string& AIP, uint16_t APort,
                                    uint16_t AFamily) {
  if (IsNegativeLength(ALength)) return Failed(EINVAL);
  const TSocketAddress address = MakeSocketAddress(AFamily, AIP, APort, false);
  return static_cast<int32_t>(sendto(ASocket, ABuffer, static_cast<size_t>(ALength),
                                     AFlags | IdMsgNoSignal, address.Address(), address.Length));
}

int32_t TIdStackLinux::SetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                                       const void* AOptValue, int32_t AOptLength) {
  return setsockopt(ASocket, ALevel, AOptName, AOptValue, static_cast<socklen_t>(AOptLength));
}

int32_t TIdStackLinux::OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) {
  return socket(AFamily, AStruct, AProtocol);
}

int32_t TIdStackLinux::ShutdownSocket(int32_t ASocket, int32_t AHow) {
  return shutdown(ASocket, AHow);
}

std::string TIdStackLinux::SocketErrorText(int32_t AErrorCode) {
  if (AErrorCode >= FirstResolverCode && AErrorCode <= LastResolverCode) {
    return ResolverTexts[AErrorCode - FirstResolverCode];
  }
  return TIdStack::SocketErrorText(AErrorCode);
}

int32_t TIdStackLinux::LastSocketError() {
  const int32_t code = errno;
  return code == EPIPE ? ECONNRESET : code;
}

void TIdStackLinux::PeerSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                                      int32_t& APort) {
  ReadSocketAddress(getpeername, ASocket, AFamily, AIP, APort);
}

void TIdStackLinux::LocalSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                                       int32_t& APort) {
  ReadSocketAddress(getsockname, ASocket, AFamily, AIP, APort);
}

void TIdStackLinux::ReadSocketAddress(int (*AQuery)(int, sockaddr*, socklen_t*), int32_t ASocket,
                                      int32_t& AFamily, std::string& AIP, int32_t& APort) {
  sockaddr_storage address;
  std::memset(&address, 0, sizeof(address));
  socklen_t length = sizeof(address);
  CheckSocketResult(AQuery(ASocket, reinterpret_cast<sockaddr*>(&address), &length));
  AFamily = address.ss_family;
  SplitSocketAddress(address, AIP, APort);
}

int32_t TIdStackLinux::GetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                                       void* AOptValue, int32_t& AOptLength) {
  auto length = static_cast<socklen_t>(AOptLength);
  const int32_t result = getsockopt(ASocket, ALevel, AOptName, AOptValue, &length);
  AOptLength = static_cast<int32_t>(length);
  return result;
}

std::string TIdStackLinux::AddressToText(const in_addr& AAddress) {
  uint8_t bytes[4];
  std::memcpy(bytes, &AAddress.s_addr, sizeof(bytes));
  // Written by hand rather than formatted: every accepted connection needs
  // its peer's text, and the formatter costs more than the rest of it.
  char text[16];  // "255.255.255.255"
  char* end = text;
  for (size_t i = 0; i < sizeof(bytes); ++i) {
    if (i != 0) *end++ = '.';
    const unsigned value = bytes[i];
    if (value >= 100) *end++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *end++ = static_cast<char>('0' + value / 10 % 10);
    *end++ = static_cast<char>('0' + value % 10);
  }
  return std::string(text, end);
}

in_addr TIdStackLinux::TextToAddress(const std::string& AText) {
  std::string rest = AText;
  uint8_t bytes[4];
  // Only the low byte of each part counts, so "300" gives 44: deliberate,
  // callers have relied on this lenient reading.
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(StrToInt(FetchAddressPart(rest)) & 0xFF);
  in_addr result;
  std::memcpy(&result.s_addr, bytes, sizeof(bytes));
  return result;
}

std::string TIdStackLinux::IPv6AddressToText(const in6_addr& AAddress, uint32_t AScopeId) {
  if (IN6_IS_ADDR_V4MAPPED(&AAddress)) {
    // An IPv4 peer of a socket that takes both families is an IPv4 peer.
    in_addr v4;
    std::memcpy(&v4, &AAddress.s6_addr[12], sizeof(v4));
    return AddressToText(v4);
  }
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, &AAddress, text, sizeof(text));
  std::string result = text;
  if (AScopeId == 0) return result;
  char name[IF_NAMESIZE];
  if (if_indextoname(AScopeId, name) != nullptr) return result + "%" + name;
  return result + "%" + std::to_string(AScopeId);
}

in6_addr TIdStackLinux::TextToIPv6Address(const std::string& AText, uint32_t& AScopeId) {
  in6_addr address;
  if (!TryTextToIPv6Address(AText, address, AScopeId)) {
    throw EConvertError(Format("'%s' is not a valid IPv6 address", AText.c_str()));
  }
  return address;
}

int32_t TIdStackLinux::PollReadable(int32_t ASocket, int32_t ATimeout) {
  if (ASocket < 0) return Failed(EBADF);
  pollfd entry{ASocket, POLLIN, 0};
  const int32_t result = PollRetrying(&entry, 1, ATimeout);
  if (result <= 0) return result;
  if ((entry.revents & POLLNVAL) != 0) return Failed(EBADF);
  // Hang-up and error count as readable, as select reports them: the next
  // receive then sees the end or the error.
  return 1;
}

}  // namespace ostrevan
