// SPDX-License-Identifier: MIT
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "ostrevan/export.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {

class TIdIOHandler;
class TIdPeerThread;
class TIdTCPServer;
class TIdThreadMgr;
class TIdTCPServerConnection;

/// Accepts the connections of one binding of a server: each gets a server
/// connection and a peer thread from the server's thread manager, unless the
/// server's connection filter or its connection limit refuses it.
///
/// Owned by its server (ListenerThreads), which creates, starts, terminates,
/// waits for and frees it from its own thread; everything else runs on the
/// listener's thread.
class OSTREVAN_EXPORT TIdListenerThread : public TIdThread {
 public:
  /// The length of the pause after a pass that failed or accepted nothing,
  /// and of each pass of a listener without a server.
  static constexpr int32_t kRetrySlice = 100;

  /// Created suspended; neither reference is owned.
  TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding);

  /// The binding the thread accepts on.
  TIdSocketHandle* Binding() const { return Binding_; }
  /// The server the thread accepts for.
  TIdTCPServer* Server() const { return Server_; }

  /// Also ends a pause between passes at once.
  void Terminate() override;

 protected:
  /// One accept pass. Errors are reported through the server's
  /// ListenerException and end the pass, not the thread.
  void Run() override;
  /// Closes the binding's socket.
  void AfterRun() override;

 private:
  /// Frees a peer thread that never started, its connection first, so that
  /// its destruction releases nothing to the thread manager.
  struct TDiscardPeer {
    void operator()(TIdPeerThread* APeer) const;
  };
  using TUnstartedPeer = std::unique_ptr<TIdPeerThread, TDiscardPeer>;

  /// Accepts until one connection is handed to a peer thread, or the accept
  /// step gives up: because the listener was stopped, or after a failure it
  /// tolerates (the listener then pauses a slice before the next pass).
  void AcceptPass();
  /// Whether the server's connection filter admits the connection just
  /// accepted; asks only when there is a filter.
  bool Admitted(const TIdIOHandler& AHandler);
  /// Obtains a peer thread for the connection from the server's thread
  /// manager, within one use of it, lists it and starts it. A thread that
  /// MaxConnections refuses is unlisted again and returned, for Refuse to
  /// deal with outside the use. On an error nothing stays listed.
  TUnstartedPeer StartPeer(std::unique_ptr<TIdTCPServerConnection> AConnection);
  /// The thread the manager hands out, as a peer thread; unlisted, freed
  /// and EIdThreadMgrError when its class makes threads of another kind.
  static TUnstartedPeer AcquirePeer(TIdThreadMgr& AMgr);
  /// Refuses a connection over the limit: the reply, the disconnect, and the
  /// peer thread discarded unstarted, also when the reply fails.
  void Refuse(TUnstartedPeer APeer);
  /// Reports the error of a pass unless the listener is stopping, then
  /// pauses.
  void PassFailed(const std::exception& AException);
  /// Waits one retry slice, or less when the thread is stopped meanwhile.
  void PauseSlice();

  TIdSocketHandle* Binding_;
  TIdTCPServer* Server_;
  /// Guards nothing but the pause's wake-up; taken by Terminate, under the
  /// thread's StateLock when Stop calls it. Nothing is taken while it is held.
  std::mutex PauseLock_;
  std::condition_variable PauseWake_;
};

/// Ends a listener thread (TCP or UDP) of a server and closes its binding,
/// from the server's thread: terminates the thread, shuts the binding down,
/// which ends a wait, accept or receive in progress, waits for the thread
/// (which closes the binding as it ends) and closes the binding should the
/// thread never have run. The descriptor is not closed while the thread may
/// still use its number: closed, the number could go to a socket another
/// thread opens, and the listener's next call would reach that one.
void StopListenerThread(TIdThread& AThread, TIdSocketHandle& ABinding);

}  // namespace ostrevan
