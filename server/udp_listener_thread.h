// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {

class TIdUDPServer;

/// Receives the datagrams of one binding of a UDP server and hands each to
/// the server's DoUDPRead.
///
/// Owned by its server, which creates, starts, terminates, waits for and
/// frees it from its own thread; everything else runs on the listener's
/// thread.
class OSTREVAN_EXPORT TIdUDPListenerThread : public TIdThread {
 public:
  /// How long one wait for a datagram lasts, so that a stop is seen within
  /// it; also the pause after a receive that failed.
  static constexpr int32_t kReceiveSlice = 100;

  /// Created suspended; neither reference is owned.
  TIdUDPListenerThread(TIdUDPServer* AServer, TIdSocketHandle* ABinding);

  /// The binding the thread receives on.
  TIdSocketHandle* Binding() const { return Binding_; }
  /// The server the thread receives for.
  TIdUDPServer* Server() const { return Server_; }

 protected:
  /// One wait of a slice and, when a datagram came, its receipt and
  /// handling. Errors are reported through the server's UDPException and
  /// end the pass, not the thread. A failed receive is followed by a pause
  /// of a slice, since what made it fail may last; a failed handling (the
  /// answer's send, or DoUDPRead raising) costs that datagram alone, and the
  /// next one is taken at once.
  void Run() override;
  /// Closes the binding's socket.
  void AfterRun() override;

 private:
  struct TDatagram {
    std::string Data;
    std::string PeerIP;
    int32_t PeerPort = 0;
  };

  /// Waits a slice for a datagram and takes it; false when none came.
  bool ReceiveOne(TDatagram& ADatagram);
  /// Reports the exception being handled through the server, unless the
  /// thread is stopping.
  void ReportFailure();

  TIdSocketHandle* Binding_;
  TIdUDPServer* Server_;
  std::vector<char> Buffer_;
};

}  // namespace ostrevan
