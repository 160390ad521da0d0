#pragma once

#include <condition_variable>
#include <mutex>

#include "net/socket_handle.h"
#include "threads/id_thread.h"

namespace ostrevan {

class TIdPeerThread;
class TIdTCPServer;

// Accepts the connections of one binding of a server: each gets a server
// connection and a peer thread from the server's thread manager, unless the
// server's connection limit refuses it.
//
// Owned by its server (ListenerThreads), which creates, starts, terminates,
// waits for and frees it from its own thread; everything else runs on the
// listener's thread.
class TIdListenerThread : public TIdThread {
 public:
  // The length of the pause after a pass that failed, and of each pass of a
  // listener without a server.
  static constexpr int32_t kRetrySlice = 100;

  // Created suspended; neither reference is owned.
  TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding);

  TIdSocketHandle* Binding() const { return Binding_; }
  TIdTCPServer* Server() const { return Server_; }

  // Also ends a pause between passes at once.
  void Terminate() override;

 protected:
  // One accept pass. Errors are reported through the server's
  // ListenerException and end the pass, not the thread.
  void Run() override;
  // Closes the binding's socket.
  void AfterRun() override;

 private:
  // Accepts until one connection is handed to a peer thread, or the accept
  // step gives up (the listener then stops).
  void AcceptPass(TIdPeerThread*& APeer);
  // Refuses a connection over the limit: the reply, the disconnect, and the
  // peer thread discarded unstarted.
  void Refuse(TIdPeerThread*& APeer);
  // Unlists a peer thread obtained in a failed pass and discards it.
  void Abandon(TIdPeerThread* APeer);
  // Discards what the pass obtained; reports the error unless the listener
  // is stopping, then pauses.
  void PassFailed(TIdPeerThread* APeer, const std::exception& AException);
  // Waits one retry slice, or less when the thread is stopped meanwhile.
  void PauseSlice();

  TIdSocketHandle* Binding_;
  TIdTCPServer* Server_;
  std::mutex PauseLock_;  // guards nothing but the pause's wake-up
  std::condition_variable PauseWake_;
};

}  // namespace ostrevan
