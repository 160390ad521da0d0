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
  TIdPeerThread* peer = nullptr;
  try {
    AcceptPass(peer);
  } catch (const std::exception& e) {
    PassFailed(peer, e);
  } catch (...) {
    PassFailed(peer, Exception("Unknown exception"));
  }
}

void TIdListenerThread::PassFailed(TIdPeerThread* APeer, const std::exception& AException) {
  Abandon(APeer);
  // Deactivation stops the listener before it shuts the socket down; an
  // accept woken by the shutdown fails (EINVAL) before the close would have
  // ended it quietly. Once stopped, a failed pass is the end, not an error.
  if (TerminateRequested() || StopFlag()) return;
  Server_->ListenerException(*this, AException);
  // A lasting failure (no descriptors left) must not spin a core.
  PauseSlice();
}

void TIdListenerThread::AcceptPass(TIdPeerThread*& APeer) {
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
    TIdThreadMgr* mgr = Server_->ThreadMgr();
    auto* peer = static_cast<TIdPeerThread*>(mgr->AcquireThread());
    APeer = peer;
    peer->SetConnection(connection.release());
    const int32_t limit = Server_->MaxConnections();
    if (limit > 0 && !ListCountBelow(&Server_->PeerThreads(), limit)) {
      Refuse(APeer);
      continue;
    }
    Server_->PeerThreads().Add(peer);
    peer->Start();
    APeer = nullptr;
    return;
  }
}

void TIdListenerThread::Refuse(TIdPeerThread*& APeer) {
  TIdPeerThread* peer = APeer;
  Server_->ThreadMgr()->ActiveThreads().Remove(peer);
  peer->Connection()->WriteReply(Server_->MaxConnectionReply());
  peer->Connection()->Disconnect();
  APeer = nullptr;
  Discard(peer);
}

void TIdListenerThread::Abandon(TIdPeerThread* APeer) {
  if (APeer == nullptr) return;
  Server_->PeerThreads().Remove(APeer);
  if (TIdThreadMgr* mgr = Server_->CurrentThreadMgr()) mgr->ActiveThreads().Remove(APeer);
  Discard(APeer);
}

void TIdListenerThread::AfterRun() {
  TIdThread::AfterRun();
  if (Binding_ != nullptr) Binding_->Close();
}

}  // namespace ostrevan
