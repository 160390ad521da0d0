// SPDX-License-Identifier: MIT
#pragma once

// Raw UDP over IPv4 for tests that run as root of a network of their own
// (RunInChild with OwnLoopbackAsRoot): datagrams with any source, as a
// hostile host would forge them, and a view of every datagram that arrives.
// Failures raise std::runtime_error.

#include <cstdint>
#include <string>
#include <vector>

namespace ostrevan::testing {

// Sends one datagram from fromIP:fromPort (any port, 0 included; the
// address must be local, such as 127.0.0.2) to toIP:toPort.
void SendForgedDatagram(const std::string& fromIP, uint16_t fromPort, const std::string& toIP,
                        uint16_t toPort, const std::string& payload = "");

// Sees every UDP datagram over IPv4 that arrives on the machine from its
// making on, whoever it is for.
class TDatagramWatch {
 public:
  struct TSeen {
    uint16_t FromPort;
    uint16_t ToPort;
  };

  TDatagramWatch();
  ~TDatagramWatch();
  TDatagramWatch(const TDatagramWatch&) = delete;
  TDatagramWatch& operator=(const TDatagramWatch&) = delete;

  // The datagrams that arrived since the last call, in order; never waits.
  std::vector<TSeen> Take();

 private:
  int Fd_ = -1;
};

}  // namespace ostrevan::testing
