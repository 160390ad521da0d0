#pragma once

#include <sys/socket.h>

#include "net/stack.h"

namespace ostrevan {

// The stack over the POSIX socket interface (IPv4 only). Host and service
// look-ups use the reentrant resolver calls, so that every thread may use
// the one shared stack at the same time.
class TIdStackLinux : public TIdStack {
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
  std::string LocalHostName() override;
  std::string AddressToHostName(const std::string& AAddress) override;
  int32_t ServiceNameToPort(const std::string& AServiceName) override;
  TStringList PortToServiceNames(int32_t APort) override;
  uint16_t HostToNetShort(uint16_t AValue) override;
  int32_t ListenSocket(int32_t ASocket, int32_t AQueueCount) override;
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
                       const std::string& AIP, uint16_t APort) override;
  int32_t SetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName,
                          const void* AOptValue, int32_t AOptLength) override;
  int32_t OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) override;
  int32_t ShutdownSocket(int32_t ASocket, int32_t AHow) override;
  // The resolver's codes 1 to 4 have texts of their own, without a prefix.
  std::string SocketErrorText(int32_t AErrorCode) override;
  // EPIPE is reported as ECONNRESET: both mean the peer is gone.
  int32_t LastSocketError() override;
  void PeerSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                         int32_t& APort) override;
  void LocalSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                          int32_t& APort) override;
  int32_t GetSocketOption(int32_t ASocket, int32_t ALevel, int32_t AOptName, void* AOptValue,
                          int32_t& AOptLength) override;
  std::string AddressToText(const in_addr& AAddress) override;
  in_addr TextToAddress(const std::string& AText) override;
  int32_t PollReadable(int32_t ASocket, int32_t ATimeout) override;

 private:
  // Reads a socket's address with getsockname or getpeername; a failure raises.
  void ReadSocketAddress(int (*AQuery)(int, sockaddr*, socklen_t*), int32_t ASocket,
                         int32_t& AFamily, std::string& AIP, int32_t& APort);
};

}  // namespace ostrevan
