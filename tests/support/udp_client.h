#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrevan::testing {

// A datagram socket connected to an address on loopback ("127.0.0.1" or
// "::1") and a port, made with plain system calls, for tests that play a
// UDP server's client. Every wait is bounded; the descriptor is closed on
// destruction.
class TUdpClient {
 public:
  TUdpClient(const std::string& address, uint16_t port);  // raises std::runtime_error
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
