// SPDX-License-Identifier: MIT
#include "ostrevan/server/peer_thread.h"

#include <cerrno>

#include "ostrevan/client/server_intercept.h"
#include "ostrevan/conn/errors.h"
#include "ostrevan/conn/io_handler.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/server/errors.h"
#include "ostrevan/server/tcp_server.h"

namespace ostrevan {

namespace {

// The pause after a socket error that leaves the connection open, before
// the next execute step tries again: as long as a listener's after a
// failed pass.
constexpr int32_t kSocketErrorPause = 100;

}  // namespace

TIdPeerThread::TIdPeerThread(bool ACreateSuspended, size_t AStackSize)
    : TIdThread(ACreateSuspended, AStackSize) {}

TIdPeerThread::~TIdPeerThread() = default;

void TIdPeerThread::BeforeRun() {
  Failed_ = false;
  try {
    TIdIOHandler* handler = Connection_ ? Connection_->IOHandler() : nullptr;
    if (handler == nullptr) throw EIdTCPServerError("");
    handler->PrepareAccepted();
  } catch (...) {
    Failed_ = true;
    SetFreeOnTerminate(true);
    throw;
  }
  TIdTCPServer* server = Connection_->Server();
  try {
    if (TIdServerIntercept* intercept = server->Intercept()) {
      Connection_->SetIntercept(intercept->InterceptFor(Connection_.get()));
    }
    server->PeerConnected(*this);
  } catch (...) {
    Failed_ = true;
    throw;
  }
  if (!Connection_->Connected()) Stop();
}

void TIdPeerThread::Run() {
  TIdTCPServer* server = Connection_->Server();
  try {
    ExecuteStep();
    if (!Connection_->Connected()) Stop();
  } catch (const std::exception& e) {
    Failed_ = true;
    server->PeerException(*this, e);
    throw;
  } catch (...) {
    Failed_ = true;
    server->PeerException(*this, Exception("Unknown exception"));
    throw;
  }
}

void TIdPeerThread::ExecuteStep() {
  TIdTCPServer* server = Connection_->Server();
  try {
    if (!server->ExecutePeer(*this)) throw EIdNoExecuteSpecified();
  } catch (const EIdSocketError& e) {
    Failed_ = true;
    server->PeerException(*this, e);
    if (e.ErrorNumber() == ECONNABORTED || e.ErrorNumber() == ECONNRESET) {
      Connection_->Disconnect();
    } else if (Connection_->Connected()) {
      // A failure that lasts (no buffer space, say) must not spin a core.
      TIdStack::PauseMilliseconds(kSocketErrorPause);
    }
  } catch (const EIdClosedSocket& e) {
    Failed_ = true;
    server->PeerException(*this, e);
  } catch (const EIdConnClosedGracefully& e) {
    server->PeerException(*this, e);
  }
}

void TIdPeerThread::AfterRun() { Connection_->Server()->PeerDisconnected(*this); }

void TIdPeerThread::Cleanup() {
  TIdThread::Cleanup();
  if (Connection_ && Connection_->Server() != nullptr) {
    TIdTCPServer* server = Connection_->Server();
    // Released before it leaves PeerThreads: a server that sees the list
    // empty may free its implicit manager at once, and a manager going away
    // is forgotten once its server's list is empty, so no thread may still
    // be on its way into it. The use keeps a manager whose destruction has
    // begun whole until the release returns. Without a manager the thread
    // ends and frees itself all the same.
    {
      TIdThreadMgr::TUse mgr = server->UseThreadMgr(false);
      if (mgr.Mgr() != nullptr) {
        mgr->ReleaseThread(this);
      } else {
        SetFreeOnTerminate(true);
        Terminate();
      }
    }
    // Counted before it leaves the list: once it has left, the server may
    // be gone.
    server->Counters().PeerEnded(Failed_);
    // The last touch of the server: after this it may be freed. It waits
    // while the server is closing its peers' connections.
    server->PeerThreads().Remove(this);
  }
  FreeConnection();
}

}  // namespace ostrevan
