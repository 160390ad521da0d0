// SPDX-License-Identifier: MIT
#include "ostrevan/net/stack.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "ostrevan/net/errors.h"
#include "ostrevan/net/poll_wait.h"
#include "ostrevan/net/stack_linux.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

struct TErrorText {
  int32_t Code;
  const char* Text;
};

// Texts of the system's error numbers. The trailing blank of 11 and the
// missing full stop of 39 are deliberate: these are the texts users and
// logs have always seen.
constexpr TErrorText ErrorTexts[] = {
    {4, "Interrupted system call."},
    {9, "Bad file number."},
    {11, "Operation would block. "},
    {13, "Access denied."},
    {14, "Bad address."},
    {22, "Invalid argument."},
    {24, "Too many open files."},
    {36, "File name too long."},
    {39, "Directory not empty"},
    {40, "Too many levels of symbolic links."},
    {88, "Socket operation on non-socket."},
    {89, "Destination address required."},
    {90, "Message too long."},
    {91, "Protocol wrong type for socket."},
    {92, "Bad protocol option."},
    {93, "Protocol not supported."},
    {94, "Socket type not supported."},
    {95, "Operation not supported on socket."},
    {96, "Protocol family not supported."},
    {97, "Address family not supported by protocol family."},
    {98, "Address already in use."},
    {99, "Cannot assign requested address."},
    {100, "Network is down."},
    {101, "Network is unreachable."},
    {102, "Net dropped connection or reset."},
    {103, "Software caused connection abort."},
    {104, "Connection reset by peer."},
    {105, "No buffer space available."},
    {106, "Socket is already connected."},
    {107, "Socket is not connected."},
    {108, "Cannot send or receive after socket is closed."},
    {109, "Too many references, cannot splice."},
    {110, "Connection timed out."},
    {111, "Connection refused."},
    {112, "Host is down."},
    {113, "No route to host."},
    {114, "Operation already in progress."},
    {115, "Operation now in progress."},
};

const char* ErrorTextOf(int32_t code) {
  auto it = std::find_if(std::begin(ErrorTexts), std::end(ErrorTexts),
                         [code](const TErrorText& entry) { return entry.Code == code; });
  return it == std::end(ErrorTexts) ? "" : it->Text;
}

std::unique_ptr<TIdStack> DefaultStackClass() { return std::make_unique<TIdStackLinux>(); }

// Set at start-up (or by a test) before any component exists; read when the
// first component makes the shared stack.
TIdStackClass& PlatformStackClass() {
  static TIdStackClass stackClass = DefaultStackClass;
  return stackClass;
}

std::atomic<TIdStack*> TheGlobalStack{nullptr};

}  // namespace

uint16_t FamilyOf(TIdIPVersion AIPVersion) { return AIPVersion == Id_IPv6 ? AF_INET6 : AF_INET; }

TIdStack::TIdStack() = default;

TIdStack::~TIdStack() = default;

std::string TIdStack::SocketErrorText(int32_t AErrorCode) {
  return Format("Socket Error # %d\r\n%s", AErrorCode, ErrorTextOf(AErrorCode));
}

int32_t TIdStack::Failed(int32_t AErrorCode) {
  errno = AErrorCode;
  return IdSocketError;
}

TIdStack::TKeptSocketError::TKeptSocketError() : Kept_(errno) {}

TIdStack::TKeptSocketError::~TKeptSocketError() { errno = Kept_; }

bool TIdStack::CheckSocketResult(int32_t AResult) { return CheckSocketResult(AResult, {}); }

bool TIdStack::CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnore) {
  if (AResult != IdSocketError) return false;
  const int32_t code = LastSocketError();
  LastError_.store(code, std::memory_order_relaxed);
  if (std::find(AIgnore.begin(), AIgnore.end(), code) != AIgnore.end()) return true;
  RaiseSocketErrorCode(code);
}

void TIdStack::RaiseSocketErrorCode(int32_t AErrorCode) {
  throw EIdSocketError(AErrorCode, SocketErrorText(AErrorCode));
}

int32_t TIdStack::NewSocket(int32_t ASocketType, int32_t AProtocol, TIdIPVersion AIPVersion) {
  const int32_t handle = OpenSocket(FamilyOf(AIPVersion), ASocketType, AProtocol);
  if (handle == IdInvalidSocket) throw EIdInvalidSocket();
  return handle;
}

bool TIdStack::IPv6Available() {
  const int32_t probe = OpenSocket(AF_INET6, SOCK_DGRAM, 0);
  if (probe != IdInvalidSocket) {
    CloseSocket(probe);
    return true;
  }
  // Any other failure (no descriptors left, say) is no answer about IPv6;
  // the socket the caller then opens meets it and reports it.
  return LastSocketError() != EAFNOSUPPORT;
}

std::string TIdStack::ResolveToAddress(const std::string& AHost, TIdIPVersion AIPVersion) {
  if (AIPVersion == Id_IPv6) {
    if (SameText(AHost, "LOCALHOST")) return "::1";
    if (IsIPv6Address(AHost)) return AHost;
    return HostNameToIPv6Address(AHost);
  }
  if (SameText(AHost, "LOCALHOST")) return "127.0.0.1";
  if (IsDottedAddress(AHost)) return AHost;
  return HostNameToAddress(AHost);
}

std::string TIdStack::FetchAddressPart(std::string& ARest) {
  const size_t dot = ARest.find('.');
  std::string part;
  if (dot == std::string::npos) {
    part.swap(ARest);
  } else {
    part = ARest.substr(0, dot);
    ARest.erase(0, dot + 1);
  }
  return part;
}

bool TIdStack::IsDottedAddress(const std::string& AText) {
  std::string rest = AText;
  for (int i = 0; i < 4; ++i) {
    // The fourth part is everything left, dots included.
    const std::string part = i < 3 ? FetchAddressPart(rest) : rest;
    int32_t value = 0;
    if (!TryStrToInt(part, value) || value < 0 || value > 255) return false;
  }
  return true;
}

bool TIdStack::IsIPv6Address(const std::string& AText) {
  in6_addr address;
  uint32_t scope = 0;
  return TryTextToIPv6Address(AText, address, scope);
}

bool TIdStack::TryTextToIPv6Address(const std::string& AText, in6_addr& AAddress,
                                    uint32_t& AScopeId) {
  const size_t percent = AText.find('%');
  AScopeId = 0;
  // inet_pton would stop at a zero byte and take the rest for nothing.
  if (AText.find('\0') != std::string::npos) return false;
  if (inet_pton(AF_INET6, AText.substr(0, percent).c_str(), &AAddress) != 1) return false;
  if (percent == std::string::npos) return true;
  const std::string scope = AText.substr(percent + 1);
  if (scope.empty()) return false;
  if (scope.find_first_not_of("0123456789") == std::string::npos) {
    int32_t number = 0;
    if (!TryStrToInt(scope, number) || number < 0) return false;
    AScopeId = static_cast<uint32_t>(number);
    return true;
  }
  AScopeId = if_nametoindex(scope.c_str());
  return AScopeId != 0;
}

void TIdStack::PauseMilliseconds(int32_t AMSec) { PollRetrying(nullptr, 0, AMSec); }

std::unique_ptr<TIdStack> TIdStack::CreatePlatformStack() {
  return PlatformStackClass()();
}

void TIdStack::SetPlatformStackClass(TIdStackClass AClass) {
  if (!AClass) AClass = DefaultStackClass;
  PlatformStackClass() = std::move(AClass);
}

TIdStack* GlobalStack() { return TheGlobalStack.load(std::memory_order_acquire); }

void SetGlobalStack(TIdStack* AStack) { TheGlobalStack.store(AStack, std::memory_order_release); }

}  // namespace ostrevan
