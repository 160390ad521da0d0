#include "server/listener_thread.h"

#include <chrono>
#include <memory>

#include "conn/io_handler.h"
#include "conn/server_io_handler.h"
#include "server/peer_thread.h"
#include "server/tcp_server.h"
#include "server/tcp_server_connection.h"

namespace ostrevan {

namespace {

// A peer thread that never started: its connection goes first, so that its
// destruction releases nothing to the thread manager.
void Discard(TIdPeerThread* APeer) {
  APeer->FreeConnection();
  delete APeer;
}

}  // namespace

TIdListenerThread::TIdListenerThread(TIdTCPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true), Binding_(ABinding), Server_(AServer) {}

void TIdListenerThread::Terminate() {
  TIdThread::Terminate();
  std::lock_guard<std::mutex> lock(PauseLock_);
  PauseWake_.notify_all();
}

void TIdListenerThread::PauseSlice() {
  std::unique_lock<std::mutex> lock(PauseLock_);
  // The flags are read without StateLock: Stop takes that lock before it
  // calls Terminate, which takes PauseLock_.
  PauseWake_.wait_for(lock, std::chrono::milliseconds(kRetrySlice),
                      [this] { return TerminateRequested() || StopFlag(); });
}

void TIdListenerThread::Run() {
  if (Server_ == nullptr) {
    // Nothing to accept for; the pause keeps the run loop from spinning.
    PauseSlice();
    return;
  }
  try {
    AcceptPass();
  } catch (const std::exception& e) {
    PassFailed(e);
  } catch (...) {
    PassFailed(Exception("Unknown exception"));
  }
}

void TIdListenerThread::PassFailed(const std::exception& AException) {
  // Once stopped, a failed pass is the end, not an error.
  if (TerminateRequested() || StopFlag()) return;
  Server_->ListenerException(*this, AException);
  // A lasting failure (no descriptors left) must not spin a core.
  PauseSlice();
}

void TIdListenerThread::AcceptPass() {
  for (;;) {
    auto connection = std::make_unique<TIdTCPServerConnection>(Server_);
    TIdIOHandler* handler = Server_->IOHandler()->AcceptConnection(Binding_->Descriptor(), this);
    if (handler == nullptr) {
      connection.reset();
      Stop();
      return;
    }
    // Installed at once, so that the accepted socket goes with the
    // connection on every path, a failure to obtain a thread included.
    connection->SetIOHandler(handler);
    connection->SetOwnsIOHandler(true);
    TIdPeerThread* refused = StartPeer(std::move(connection));
    if (refused == nullptr) return;
    Refuse(refused);
  }
}

TIdPeerThread* TIdListenerThread::StartPeer(std::unique_ptr<TIdTCPServerConnection> AConnection) {
  TIdThreadMgr::TUse mgr = Server_->UseThreadMgr(true);
  auto* peer = static_cast<TIdPeerThread*>(mgr->AcquireThread());
  peer->SetConnection(AConnection.release());
  const int32_t limit = Server_->MaxConnections();
  if (limit > 0 && !ListCountBelow(&Server_->PeerThreads(), limit)) {
    mgr->ActiveThreads().Remove(peer);
    return peer;
  }
  Server_->PeerThreads().Add(peer);
  try {
    peer->Start();
  } catch (...) {
    Server_->PeerThreads().Remove(peer);
    mgr->ActiveThreads().Remove(peer);
    Discard(peer);
    throw;
  }
  return nullptr;
}

void TIdListenerThread::Refuse(TIdPeerThread* APeer) {
  std::unique_ptr<TIdPeerThread, void (*)(TIdPeerThread*)> peer(APeer, &Discard);
  peer->Connection()->WriteReply(Server_->MaxConnectionReply());
  peer->Connection()->Disconnect();
}

void TIdListenerThread::AfterRun() {
  TIdThread::AfterRun();
  if (Binding_ != nullptr) Binding_->Close();
}

void StopListenerThread(TIdThread& AThread, TIdSocketHandle& ABinding) {
  AThread.Terminate();
  ABinding.Shutdown();
  // A listener whose Start failed has no thread to wait for.
  if (AThread.Launched()) {
    try {
      AThread.WaitFor();
    } catch (...) {
      // The join failed: the thread is gone already.
    }
  }
  ABinding.Close();
}

}  // namespace ostrevan
