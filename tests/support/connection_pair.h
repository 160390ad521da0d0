// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ostrevan/conn/tcp_connection.h"

namespace ostrevan::testing {

// A TIdTCPConnection that owns a socket I/O handler on the accepted end of
// a loopback connection, and the plain descriptor of the other end, on
// which a test plays the peer with system calls.
class TConnectionPair {
 public:
  TConnectionPair();
  ~TConnectionPair();
  TConnectionPair(const TConnectionPair&) = delete;
  TConnectionPair& operator=(const TConnectionPair&) = delete;

  TIdTCPConnection& Conn() { return *Conn_; }
  int Peer = -1;

  void PeerSend(const std::string& bytes);
  // Up to count bytes, waiting up to timeoutMs for them; fewer when the
  // connection closes or the time runs out.
  std::string PeerReceive(size_t count, int timeoutMs = 2000);
  // Everything until the connection closes (or the time runs out).
  std::string PeerReceiveAll(int timeoutMs = 2000);
  // An orderly close (FIN).
  void PeerClose();
  // A close that resets the connection (RST), and waits until the
  // connection's own socket has seen it.
  void PeerReset();
  // Fills the connection's InBuffer until it holds at least count bytes.
  void AwaitBuffered(int64_t count);

 private:
  std::unique_ptr<TIdTCPConnection> Conn_;
};

// The connection's socket descriptor (of its socket I/O handler).
int DescriptorOf(TIdTCPConnection& connection);

}  // namespace ostrevan::testing
