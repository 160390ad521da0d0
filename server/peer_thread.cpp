#include "server/peer_thread.h"

#include "client/server_intercept.h"
#include "conn/errors.h"
#include "conn/io_handler.h"
#include "net/errors.h"
#include "server/errors.h"
#include "server/tcp_server.h"

namespace ostrevan {

namespace {

constexpr int32_t kErrorConnectionAborted = 103;  // ECONNABORTED
constexpr int32_t kErrorConnectionReset = 104;    // ECONNRESET

}  // namespace

TIdPeerThread::TIdPeerThread(bool ACreateSuspended, size_t AStackSize)
    : TIdThread(ACreateSuspended, AStackSize) {}

TIdPeerThread::~TIdPeerThread() = default;

void TIdPeerThread::BeforeRun() {
  try {
    TIdIOHandler* handler = Connection_ ? Connection_->IOHandler() : nullptr;
    if (handler == nullptr) throw EIdTCPServerError("");
    handler->PrepareAccepted();
  } catch (...) {
    SetFreeOnTerminate(true);
    throw;
  }
  TIdTCPServer* server = Connection_->Server();
  if (TIdServerIntercept* intercept = server->Intercept()) {
    Connection_->SetIntercept(intercept->InterceptFor(Connection_.get()));
  }
  server->PeerConnected(*this);
  if (!Connection_->Connected()) Stop();
}

void TIdPeerThread::Run() {
  TIdTCPServer* server = Connection_->Server();
  try {
    ExecuteStep();
    if (!Connection_->Connected()) Stop();
  } catch (const std::exception& e) {
    server->PeerException(*this, e);
    throw;
  } catch (...) {
    server->PeerException(*this, Exception("Unknown exception"));
    throw;
  }
}

void TIdPeerThread::ExecuteStep() {
  TIdTCPServer* server = Connection_->Server();
  try {
    if (!server->ExecutePeer(*this)) throw EIdNoExecuteSpecified();
  } catch (const EIdSocketError& e) {
    server->PeerException(*this, e);
    if (e.ErrorNumber() == kErrorConnectionAborted || e.ErrorNumber() == kErrorConnectionReset) {
      Connection_->Disconnect();
    }
  } catch (const EIdClosedSocket& e) {
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
    // empty may free its implicit manager at once, so no thread may still
    // be on its way into it. Without a manager the thread ends and frees
    // itself all the same.
    if (TIdThreadMgr* mgr = server->CurrentThreadMgr()) {
      mgr->ReleaseThread(this);
    } else {
      SetFreeOnTerminate(true);
      Terminate();
    }
    // The last touch of the server: after this it may be freed.
    server->PeerThreads().Remove(this);
  }
  FreeConnection();
}

}  // namespace ostrevan
