// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "ostrevan/net/stack.h"

// Loopback sockets for tests, made with plain system calls so that tests of
// the socket layer do not depend on the layer itself: ports, listeners,
// a TCP client, a UDP client. Every wait is bounded; every descriptor a
// class holds is closed on destruction. Failures raise std::runtime_error.

namespace ostrevan::testing {

// A socket listening on 127.0.0.1 (or ::1) on a port the system chooses.
int ListenOnLoopback(uint16_t& port);
int ListenOnLoopbackIPv6(uint16_t& port);
// A socket connected to 127.0.0.1:port (or [::1]:port).
int ConnectToLoopback(uint16_t port);
int ConnectToLoopbackIPv6(uint16_t port);

// A loopback port that was free a moment ago.
uint16_t FreeLoopbackPort(bool ipv6 = false);
// A TCP port on every local address that was free a moment ago, and its
// UDP namesake with it.
int FreeTcpPort();
// Whether something accepts connections on 127.0.0.1:port (or [::1]:port).
bool IsListening(int port, bool ipv6 = false);
// Connects to 127.0.0.1:port and reads until the peer closes; nothing when
// the connection is refused or the time is up.
std::optional<std::string> ReadUntilClosed(int port,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
// The four bytes as a big-endian number.
uint32_t BigEndian32(const std::string& bytes);

// A TCP connection over 127.0.0.1: listener, client and accepted end.
class TLoopbackPair {
 public:
  TLoopbackPair();  // listens on a port the system chooses, connects, accepts
  ~TLoopbackPair();
  TLoopbackPair(const TLoopbackPair&) = delete;
  TLoopbackPair& operator=(const TLoopbackPair&) = delete;

  int Listener = -1;
  int Client = -1;
  int Server = -1;  // the accepted end
  uint16_t Port = 0;

  // Closes one of the descriptors above and marks it closed.
  static void CloseFd(int& fd);
};

// The client end of a TCP connection to 127.0.0.1 (or ::1), for tests that
// play a server's client. Waits are bounded by the time given (ms).
class TTestClient {
 public:
  explicit TTestClient(uint16_t port, TIdIPVersion version = Id_IPv4);
  ~TTestClient();
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;

  void Send(const std::string& bytes);
  // One line with its terminator (up to and including LF); what came when
  // the server closes or the time runs out first.
  std::string ReceiveLine(int timeoutMs = 5000);
  // Everything up to the server's close; Closed() tells whether it came.
  std::string ReceiveAll(int timeoutMs = 5000);
  // Whether the server closed (end of stream or reset) within the time,
  // ignoring any data before.
  bool AwaitClose(int timeoutMs = 5000);
  bool Closed() const { return Closed_; }

  // Closes with a reset (RST) instead of the orderly close.
  void Reset();
  // The orderly close.
  void Close();

  int Fd = -1;

 private:
  // One receive into Pending_; false when the time ran out.
  bool Fill(int timeoutMs);
  std::string Take(size_t count);

  std::string Pending_;
  bool Closed_ = false;
};

// A datagram socket connected to an address on loopback ("127.0.0.1" or
// "::1") and a port, for tests that play a UDP server's client.
class TUdpClient {
 public:
  TUdpClient(const std::string& address, uint16_t port);
  ~TUdpClient();
  TUdpClient(const TUdpClient&) = delete;
  TUdpClient& operator=(const TUdpClient&) = delete;

  void Send(const std::string& bytes);
  // The next datagram within the time, or nothing (also when the port
  // turned out to be closed).
  std::optional<std::string> Receive(int timeoutMs = 5000);
  // Sends and returns the answer.
  std::optional<std::string> Ask(const std::string& bytes = "", int timeoutMs = 5000);

  int Fd = -1;
};

// A datagram socket bound to the address ("0.0.0.0", "127.0.0.1", "::"...)
// and port (0: the system chooses; the chosen port is stored back), to hold
// a port in a test. The caller closes it.
int BindUdp(const std::string& address, uint16_t& port);

}  // namespace ostrevan::testing
