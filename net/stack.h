// SPDX-License-Identifier: MIT
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"
#include "ostrevan/runtime/string_list.h"

namespace ostrevan {

/// A socket descriptor of the system is a signed 32-bit integer; -1 is the
/// invalid descriptor and the failure result of every wrapped call.
constexpr int32_t IdInvalidSocket = -1;
/// The failure result of every wrapped socket call.
constexpr int32_t IdSocketError = -1;

/// Flag added to every send and receive, so that writing to a closed peer
/// fails with an error number instead of raising SIGPIPE.
constexpr int32_t IdMsgNoSignal = 0x4000;

/// Descriptors handed to SelectSockets.
using TIdHandleList = std::vector<int32_t>;

/// The IP version of a socket. IPv4 unless asked otherwise, everywhere.
enum TIdIPVersion { Id_IPv4, Id_IPv6 };

/// The system's address family of the version: AF_INET or AF_INET6.
OSTREVAN_EXPORT uint16_t FamilyOf(TIdIPVersion AIPVersion);

class TIdStack;
/// Makes a new stack of the platform's class.
using TIdStackClass = std::function<std::unique_ptr<TIdStack>()>;

/// The one place that touches the system's socket interface. Each wrapper
/// returns the C library's result, and a failed one leaves the error in
/// errno, as the system call set it (or as the stack sets it for a failure
/// it finds itself). The caller hands the -1 on the same thread to
/// CheckSocketResult, which reads errno and turns it into EIdSocketError
/// with the text of the error table. errno is the one channel, so a failure
/// that a framework user's own transport reports the same way is checked
/// alike. What the framework runs between a call and its check keeps errno:
/// a wrapper's own work after the call (address conversion) and a socket's
/// release (TKeptSocketError).
///
/// Shared by every thread without a lock: the wrappers keep no state, and
/// errno is the calling thread's own. The last error field is atomic and
/// informative only (each exception carries the code its own check read);
/// the local address list is for one thread at a time.
class OSTREVAN_EXPORT TIdStack : public TObject {
 public:
  TIdStack();
  ~TIdStack() override;

  TIdStack(const TIdStack&) = delete;
  TIdStack& operator=(const TIdStack&) = delete;

  // --- Operations every platform implements -------------------------------

  /// Refills the local address list from the addresses of LocalHostName.
  virtual void RefreshLocalAddresses() = 0;
  /// The first local address; an empty list raises EListError.
  virtual std::string PrimaryLocalAddress() = 0;
  /// The local addresses, refreshed on every call; the stack keeps the list.
  virtual const TStringList& LocalAddressList() = 0;

  // Addresses of either family travel as text: IPv4 in dotted form, IPv6
  // as the system writes it ("::1", "fe80::1%lo"), an IPv4-mapped IPv6
  // address as the plain dotted IPv4 text. Calls that take a family build
  // the socket address of that family; given AF_INET6, dotted IPv4 text
  // stands for its mapped address, so that a socket taking both families
  // reaches an IPv4 peer.

  /// Accepts a connection; fills the peer's address and port on success.
  /// A closed listening descriptor (EBADF) is reported as EINTR.
  virtual int32_t AcceptSocket(int32_t ASocket, std::string& APeerIP, int32_t& APeerPort) = 0;
  /// Binds to the address (empty: every local address) and port.
  virtual int32_t BindSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                             uint16_t APort) = 0;
  /// Closes the socket; 0 or -1.
  virtual int32_t CloseSocket(int32_t ASocket) = 0;
  /// Connects to the address and port; 0 or -1.
  virtual int32_t ConnectSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                                uint16_t APort) = 0;
  /// Name look-ups raise EIdSocketError with the resolver's code when they fail.
  virtual std::string HostNameToAddress(const std::string& AHostName) = 0;
  /// The first IPv6 address of the name.
  virtual std::string HostNameToIPv6Address(const std::string& AHostName) = 0;
  /// The host's name.
  virtual std::string LocalHostName() = 0;
  /// The host name of an address (reverse look-up).
  virtual std::string AddressToHostName(const std::string& AAddress) = 0;
  /// A service name, or a decimal number when the service database lacks it.
  virtual int32_t ServiceNameToPort(const std::string& AServiceName) = 0;
  /// The official name and the aliases of the port's service; empty when none.
  virtual TStringList PortToServiceNames(int32_t APort) = 0;
  ///@{
  /// Byte order conversions between the host and the network.
  virtual uint16_t HostToNetShort(uint16_t AValue) = 0;
  /// Sets the bound socket listening with a queue of AQueueCount; 0 or -1.
  virtual int32_t ListenSocket(int32_t ASocket, int32_t AQueueCount) = 0;
  /// Makes calls on the socket return at once (EAGAIN) instead of waiting;
  /// sockets accepted from it still wait.
  virtual int32_t SetSocketNonBlocking(int32_t ASocket) = 0;
  virtual uint16_t NetToHostShort(uint16_t AValue) = 0;
  virtual uint32_t HostToNetLong(uint32_t AValue) = 0;
  virtual uint32_t NetToHostLong(uint32_t AValue) = 0;
  ///@}
  /// One receive of up to ALength bytes: bytes, 0 at the end, or -1.
  virtual int32_t ReceiveSocket(int32_t ASocket, void* ABuffer, int32_t ALength,
                                int32_t AFlags) = 0;
  /// One datagram, with its sender's address and port: bytes or -1.
  virtual int32_t ReceiveFromSocket(int32_t ASocket, void* ABuffer, int32_t ALength,
                                    int32_t AFlags, std::string& AIP, int32_t& APort) = 0;
  /// Waits until a descriptor of the lists is ready or the time (ms; -2: no
  /// limit) has passed; each given list then holds its ready descriptors.
  /// Descriptors must lie in 0..1023 and a list may hold at most 1024 entries,
  /// else EIdSetSizeExceeded. Returns the select result unchecked.
  virtual int32_t SelectSockets(TIdHandleList* AReadList, TIdHandleList* AWriteList,
                                TIdHandleList* AExceptList, int32_t ATimeout) = 0;
  /// One send of up to ALength bytes: bytes sent or -1.
  virtual int32_t SendSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                             int32_t AFlags) = 0;
  /// To the address of the family (AF_INET unless given).
  virtual int32_t SendToSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                               int32_t AFlags, const std::string& AIP, uint16_t APort,
                               uint16_t AFamily = AF_INET) = 0;
  /// setsockopt(2); 0 or -1.
  virtual int32_t SetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                                  const void* AOptValue, int32_t AOptLength) = 0;
  /// A new socket of the family, type and protocol; its descriptor, or -1.
  virtual int32_t OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) = 0;
  /// Shuts the socket down (SHUT_RD, SHUT_WR or SHUT_RDWR); 0 or -1.
  virtual int32_t ShutdownSocket(int32_t ASocket, int32_t AHow) = 0;
  /// The message of an EIdSocketError for the code.
  virtual std::string SocketErrorText(int32_t AErrorCode);
  /// The error number of the calling thread's last failed call: errno.
  virtual int32_t LastSocketError() = 0;
  /// The peer's or the local address of a socket; a failure raises.
  virtual void PeerSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                                 int32_t& APort) = 0;
  /// The local address of a socket; a failure raises.
  virtual void LocalSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                                  int32_t& APort) = 0;
  /// getsockopt(2); 0 or -1.
  virtual int32_t GetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                                  void* AOptValue, int32_t& AOptLength) = 0;
  /// Dotted text of an IPv4 address.
  virtual std::string AddressToText(const in_addr& AAddress) = 0;
  /// Four dotted numbers; the low byte of each is kept, text after a fourth
  /// dot is ignored, and a part that is not a number raises EConvertError.
  virtual in_addr TextToAddress(const std::string& AText) = 0;
  /// inet_ntop's text, with "%" and the interface's name (or number) when
  /// the address has a scope; an IPv4-mapped address gives dotted text.
  virtual std::string IPv6AddressToText(const in6_addr& AAddress, uint32_t AScopeId = 0) = 0;
  /// The address and scope of IPv6 text, a scope given as "%" and an
  /// interface's name or number; text that is no IPv6 address raises
  /// EConvertError.
  virtual in6_addr TextToIPv6Address(const std::string& AText, uint32_t& AScopeId) = 0;

  /// Waits until the descriptor is readable (ms; -2: no limit). Returns 1 when
  /// readable, 0 on time-out, -1 on failure (a closed descriptor included).
  /// Unlike SelectSockets it takes descriptors of any number.
  virtual int32_t PollReadable(int32_t ASocket, int32_t ATimeout) = 0;

  // --- Operations the same for every platform -----------------------------

  ///@{
  /// False when the result is not -1 (errno is then not read). Otherwise
  /// stores LastSocketError as the last error and returns true when it is in
  /// the ignore list; any other code raises EIdSocketError.
  bool CheckSocketResult(int32_t AResult);
  bool CheckSocketResult(int32_t AResult, std::initializer_list<int32_t> AIgnore);
  ///@}
  /// Raises EIdSocketError for the error number, with SocketErrorText's message.
  [[noreturn]] void RaiseSocketErrorCode(int32_t AErrorCode);
  /// A new socket of the version (IPv4 unless given); failure raises
  /// EIdInvalidSocket.
  int32_t NewSocket(int32_t ASocketType, int32_t AProtocol, TIdIPVersion AIPVersion = Id_IPv4);
  /// False when the system cannot make IPv6 sockets at all (EAFNOSUPPORT:
  /// no IPv6 in the kernel). Opens and closes one socket to find out.
  bool IPv6Available();
  /// Address text for a host name or address text; "localhost" without
  /// look-up ("127.0.0.1", or "::1" for IPv6). For IPv6 an IPv6 address is
  /// returned unchanged, and a name is looked up for an IPv6 address.
  std::string ResolveToAddress(const std::string& AHost, TIdIPVersion AIPVersion = Id_IPv4);
  /// True when the text is four dotted numbers of 0..255.
  static bool IsDottedAddress(const std::string& AText);
  /// True when the text is an IPv6 address, with or without a scope.
  static bool IsIPv6Address(const std::string& AText);

  /// The error number stored by the most recent failing CheckSocketResult.
  int32_t LastError() const { return LastError_.load(std::memory_order_relaxed); }

  /// Blocks the calling thread for the time (ms; -2: without limit). A signal
  /// does not cut the pause short. Needs no stack.
  static void PauseMilliseconds(int32_t AMSec);

  /// Keeps the calling thread's errno while it lives. A release (shutdown
  /// and close, whose failures nobody reports) made between a call and the
  /// check of its result leaves the error the check reads as it was.
  class TKeptSocketError {
   public:
    TKeptSocketError();
    ~TKeptSocketError();
    TKeptSocketError(const TKeptSocketError&) = delete;
    TKeptSocketError& operator=(const TKeptSocketError&) = delete;

   private:
    int32_t Kept_;
  };

  /// A new stack of the platform stack class.
  static std::unique_ptr<TIdStack> CreatePlatformStack();
  /// Replaces the platform stack class (an empty one restores the default);
  /// for start-up and tests, before any component exists.
  static void SetPlatformStackClass(TIdStackClass AClass);

 protected:
  /// Splits off the text before the first dot, dot included; with no dot
  /// left, the whole rest. Shared by the address conversion and its test.
  static std::string FetchAddressPart(std::string& ARest);
  /// IPv6 text, with an optional scope after "%" (an interface's name or
  /// number), into the address and the scope; false for other text.
  static bool TryTextToIPv6Address(const std::string& AText, in6_addr& AAddress,
                                   uint32_t& AScopeId);

  /// A failure the stack finds itself, without a system call, or one it
  /// reports as another: sets errno to the code and returns -1.
  static int32_t Failed(int32_t AErrorCode);

  /// The list behind LocalAddressList, created on first use.
  std::unique_ptr<TStringList> LocalAddresses_;

 private:
  std::atomic<int32_t> LastError_{0};
};

/// The shared stack, or null while no TIdComponent exists. Readers need no
/// lock: the stack lives as long as any component, and a caller of socket
/// operations is (or is used by) a live component.
OSTREVAN_EXPORT TIdStack* GlobalStack();
/// Installs or removes the shared stack; only under ComponentCountLock.
OSTREVAN_EXPORT void SetGlobalStack(TIdStack* AStack);

}  // namespace ostrevan
