// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <memory>

#include "ostrevan/export.h"
#include "ostrevan/runtime/recycled.h"
#include "ostrevan/server/tcp_server_connection.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {

/// Serves one accepted connection: the server's connect step, its execute
/// step while the client stays connected, its disconnect step; then it
/// releases itself to the thread manager, leaves the server's PeerThreads,
/// frees the connection and, being marked to free itself, its own object.
///
/// Created suspended by the thread manager and given its connection by the
/// listener before Start; after Start it belongs to itself. The server's
/// thread reads Connection only while holding the PeerThreads lock.
class OSTREVAN_EXPORT TIdPeerThread : public TIdThread, public TRecycled<TIdPeerThread> {
 public:
  /// A peer thread, suspended unless ACreateSuspended is false, with a stack of AStackSize bytes (0: the default).
  explicit TIdPeerThread(bool ACreateSuspended = true, size_t AStackSize = 0);
  ~TIdPeerThread() override;

  ///@{
  /// The connection the thread serves; owned.
  TIdTCPServerConnection* Connection() const { return Connection_.get(); }
  void SetConnection(std::unique_ptr<TIdTCPServerConnection> value) { Connection_ = std::move(value); }
  ///@}
  /// Frees the connection and clears the reference.
  void FreeConnection() { Connection_.reset(); }

 protected:
  /// Prepares the accepted transport, installs the server intercept's
  /// connection intercept, runs the server's connect step; stops the thread
  /// when that step left the connection closed.
  void BeforeRun() override;
  /// The server's execute step; socket errors, a closed socket and the
  /// client's close are reported through the server's OnException without
  /// ending the thread, anything else is reported and ends it. A socket
  /// error that leaves the connection open is followed by a pause of 100 ms
  /// before the next step.
  void Run() override;
  /// The server's disconnect step.
  void AfterRun() override;
  /// Counts the connection in the server's statistics, releases the
  /// thread, unlists it and frees the connection.
  void Cleanup() override;

 private:
  void ExecuteStep();

  std::unique_ptr<TIdTCPServerConnection> Connection_;
  /// Whether an error other than the client's close was raised while
  /// serving the current connection: it then counts as failed, not served,
  /// in the server's statistics. Used by the thread alone.
  bool Failed_ = false;
};

}  // namespace ostrevan
