// SPDX-License-Identifier: MIT
#pragma once

#include <sys/socket.h>

#include "ostrevan/export.h"
#include "ostrevan/net/stack.h"

namespace ostrevan {

/// The stack over the POSIX socket interface, IPv4 and IPv6. Host and service
/// look-ups use the reentrant resolver calls, so that every thread may use
/// the one shared stack at the same time.
class OSTREVAN_EXPORT TIdStackLinux : public TIdStack {
 public:
  void RefreshLocalAddresses() override;
  std::string PrimaryLocalAddress() override;
  const TStringList& LocalAddressList() override;
  int32_t AcceptSocket(int32_t ASocket, std::string& APeerIP, int32_t& APeerPort) override;
  int32_t BindSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                     uint16_t APort) override;
  int32_t CloseSocket(int32_t ASocket) override;
  int32_t ConnectSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                        uint16_t APort) override;
  std::string HostNameToAddress(const std::string& AHostName) override;
  std::string HostNameToIPv6Address(const std::string& AHostName) override;
  std::string LocalHostName() override;
  std::string AddressToHostName(const std::string& AAddress) override;
  int32_t ServiceNameToPort(const std::string& AServiceName) override;
  TStringList PortToServiceNames(int32_t APort) override;
  uint16_t HostToNetShort(uint16_t AValue) override;
  int32_t ListenSocket(int32_t ASocket, int32_t AQueueCount) override;
  int32_t SetSocketNonBlocking(int32_t ASocket) override;
  uint16_t NetToHostShort(uint16_t AValue) override;
  uint32_t HostToNetLong(uint32_t AValue) override;
  uint32_t NetToHostLong(uint32_t AValue) override;
  int32_t ReceiveSocket(int32_t ASocket, void* ABuffer, int32_t ALength, int32_t AFlags) override;
  int32_t ReceiveFromSocket(int32_t ASocket, void* ABuffer, int32_t ALength, int32_t AFlags,
                            std::string& AIP, int32_t& APort) override;
  int32_t SelectSockets(TIdHandleList* AReadList, TIdHandleList* AWriteList,
                        TIdHandleList* AExceptList, int32_t ATimeout) override;
  int32_t SendSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                     int32_t AFlags) override;
  int32_t SendToSocket(int32_t ASocket, const void* ABuffer, int32_t ALength, int32_t AFlags,
                       const std::string& AIP, uint16_t APort,
                       uint16_t AFamily = AF_INET) override;
  int32_t SetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                          const void* AOptValue, int32_t AOptLength) override;
  int32_t OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) override;
  int32_t ShutdownSocket(int32_t ASocket, int32_t AHow) override;
  /// The resolver's codes 1 to 4 have texts of their own, without a prefix.
  std::string SocketErrorText(int32_t AErrorCode) override;
  /// EPIPE is reported as ECONNRESET: both mean the peer is gone.
  int32_t LastSocketError() override;
  void PeerSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                         int32_t& APort) override;
  void LocalSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                          int32_t& APort) override;
  int32_t GetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName, void* AOptValue,
                          int32_t& AOptLength) override;
  std::string AddressToText(const in_addr& AAddress) override;
  in_addr TextToAddress(const std::string& AText) override;
  std::string IPv6AddressToText(const in6_addr& AAddress, uint32_t AScopeId = 0) override;
  in6_addr TextToIPv6Address(const std::string& AText, uint32_t& AScopeId) override;
  int32_t PollReadable(int32_t ASocket, int32_t ATimeout) override;

 private:
  /// A socket address of the family for the text and port; with
  /// AEmptyIsAny an empty text is every local address.
  struct TSocketAddress {
    sockaddr_storage Storage;
    socklen_t Length;
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&Storage); }
  };
  TSocketAddress MakeSocketAddress(uint16_t AFamily, const std::string& AIP, uint16_t APort,
                                   bool AEmptyIsAny);
  /// The text and port of a socket address the system filled; one of no
  /// family known here reads as IPv4.
  void SplitSocketAddress(const sockaddr_storage& AAddress, std::string& AIP, int32_t& APort);
  /// Reads a socket's address with getsockname or getpeername; a failure raises.
  void ReadSocketAddress(int (*AQuery)(int, sockaddr*, socklen_t*), int32_t ASocket,
                         int32_t& AFamily, std::string& AIP, int32_t& APort);
};

}  // namespace ostrevan
