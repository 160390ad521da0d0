#pragma once

#include <cstdint>

namespace ostrevan::testing {

// A TCP connection over 127.0.0.1 made with plain system calls, so that
// tests of the socket layer do not depend on the layer itself. Every
// descriptor still open is closed on destruction.
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

// A socket listening on 127.0.0.1 (or ::1) on a port the system chooses.
int ListenOnLoopback(uint16_t& port);
int ListenOnLoopbackIPv6(uint16_t& port);
// A socket connected to 127.0.0.1:port.
int ConnectToLoopback(uint16_t port);
// A socket connected to [::1]:port.
int ConnectToLoopbackIPv6(uint16_t port);

}  // namespace ostrevan::testing
