// SPDX-License-Identifier: MIT
#include "ostrevan/server/listener_thread.h"

#include <chrono>
#include <memory>

#include "ostrevan/conn/io_handler.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/server/errors.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/server/tcp_server_connection.h"

namespace ostrevan {

void TIdListenerThread::TDiscardPeer::operator()(TIdPeerThread* APeer) const {
  APeer->FreeConnection();
  // The deleter of TUnstartedPeer: the thread never ran, so nothing else
  // frees it.
  delete APeer;
}

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
  TIdTCPServerCounters::Count(Server_->Counters().ListenerFailures);
  Server_->ListenerException(*this, AException);
  // A lasting failure (no descriptors left) must not spin a core.
  PauseSlice();
}

void TIdListenerThread::AcceptPass() {
  for (;;) {
    auto connection = std::make_unique<TIdTCPServerConnection>(Server_);
    std::unique_ptr<TIdIOHandler> handler =
        Server_->IOHandler()->AcceptConnection(Binding_->Descriptor(), this);
    if (handler == nullptr) {
      // None ends the listener only once it is stopped. Without a stop it
      // is an accept that failed with an error the accept step tolerates
      // (an interrupted call, say), which may fail again at once: the next
      // pass comes a slice later.
      if (!Stopped()) {
        TIdTCPServerCounters::Count(Server_->Counters().ListenerFailures);
        PauseSlice();
      }
      return;
    }
    TIdTCPServerCounters::Count(Server_->Counters().Accepted);
    if (!Admitted(*handler)) continue;  // the handler closes its socket as it goes
    // Installed at once, so that the accepted socket goes with the
    // connection on every path, a failure to obtain a thread included.
    connection->SetIOHandler(std::move(handler));
    TUnstartedPeer refused = StartPeer(std::move(connection));
    if (refused == nullptr) return;
    Refuse(std::move(refused));
  }
}

bool TIdListenerThread::Admitted(const TIdIOHandler& AHandler) {
  if (!Server_->OnFilterConnection) return true;
  TIdConnectionAddresses addresses;
  addresses.Binding = Binding_;
  const auto* socketHandler = dynamic_cast<const TIdIOHandlerSocket*>(&AHandler);
  if (const TIdSocketHandle* accepted = socketHandler ? socketHandler->Binding() : nullptr) {
    addresses.PeerIP = accepted->RemoteIP();
    addresses.PeerPort = accepted->RemotePort();
    addresses.LocalIP = accepted->IP();
    addresses.LocalPort = accepted->Port();
  }
  return Server_->AdmitsConnection(*this, addresses);
}

TIdListenerThread::TUnstartedPeer TIdListenerThread::AcquirePeer(TIdThreadMgr& AMgr) {
  std::unique_ptr<TIdThread> thread = AMgr.AcquireThread();
  auto* peer = dynamic_cast<TIdPeerThread*>(thread.get());
  if (peer == nullptr) {
    AMgr.ActiveThreads().Remove(thread.get());
    throw EIdThreadMgrError("Thread Class is not a peer thread class.");
  }
  (void)thread.release();
  return TUnstartedPeer(peer);
}

TIdListenerThread::TUnstartedPeer TIdListenerThread::StartPeer(
    std::unique_ptr<TIdTCPServerConnection> AConnection) {
  TIdThreadMgr::TUse mgr = Server_->UseThreadMgr(true);
  TUnstartedPeer peer = AcquirePeer(*mgr.Mgr());
  peer->SetConnection(std::move(AConnection));
  // Counted and listed in one step: with several bindings, listeners that
  // checked the count apart could together pass the limit.
  const int32_t limit = Server_->MaxConnections();
  if (limit <= 0) {
    Server_->PeerThreads().Add(peer.get());
  } else if (!Server_->PeerThreads().AddIfCountBelow(peer.get(), limit)) {
    mgr->ActiveThreads().Remove(peer.get());
    return peer;
  }
  // Counted live before it starts, so that its end never comes first.
  Server_->Counters().PeerStarted();
  try {
    peer->Start();
  } catch (...) {
    Server_->Counters().PeerNotStarted();
    Server_->PeerThreads().Remove(peer.get());
    mgr->ActiveThreads().Remove(peer.get());
    throw;
  }
  // Started, it frees itself when its connection is done.
  (void)peer.release();
  return nullptr;
}

void TIdListenerThread::Refuse(TUnstartedPeer APeer) {
  TIdTCPServerCounters::Count(Server_->Counters().Refused);
  APeer->Connection()->WriteReply(Server_->MaxConnectionReply());
  APeer->Connection()->Disconnect();
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
