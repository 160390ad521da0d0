// SPDX-License-Identifier: MIT
#include "ostrevan/server/tcp_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "ostrevan/client/server_intercept.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/server/errors.h"
#include "ostrevan/server/listener_thread.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server_connection.h"
#include "ostrevan/server/thread_mgr_default.h"

namespace ostrevan {

namespace {

constexpr int32_t kPeerWaitStep = 250;
// How often destruction looks again for peer threads that outlasted the
// deactivation's wait.
constexpr int32_t kPeerEndPoll = 10;

}  // namespace

TIdTCPServer::TIdTCPServer(TComponent* AOwner)
    : TIdComponent(AOwner),
      Bindings_(std::make_unique<TIdSocketHandles>(this)),
      CommandHandlers_(std::make_unique<TIdCommandHandlers>(this)),
      Greeting_(std::make_unique<TIdRFCReply>()),
      MaxConnectionReply_(std::make_unique<TIdRFCReply>()),
      ReplyTexts_(std::make_unique<TIdRFCReplies>(this)),
      PeerThreadClass_(ThreadClassOf<TIdPeerThread>()),
      PeerThreads_(std::make_unique<TThreadList<TIdPeerThread>>()),
      ReplyUnknownCommand_(std::make_unique<TIdRFCReply>()),
      Counters_(std::make_unique<TIdTCPServerCounters>()) {}

TIdTCPServer::~TIdTCPServer() {
  Retire();
  FreeImplicitThreadMgr();
  IOHandler_.Release().reset();
  Bindings_.reset();
  ReplyUnknownCommand_.reset();
  ReplyTexts_.reset();
  PeerThreads_.reset();
  MaxConnectionReply_.reset();
  Greeting_.reset();
  CommandHandlers_.reset();
}

void TIdTCPServer::operator delete(TIdTCPServer* AServer, std::destroying_delete_t) {
  AServer->Retire();
  DestroyAndFree(AServer);
}

void* TIdTCPServer::operator new(std::size_t ASize) { return ::operator new(ASize); }

void TIdTCPServer::operator delete(void* AMemory) { ::operator delete(AMemory); }

void TIdTCPServer::Retire() {
  try {
    SetActive(false);
  } catch (...) {
    // A timed-out deactivation: the peers' sockets are closed, and the wait
    // below goes on until their threads have left the list.
  }
  try {
    StopListeners();
  } catch (...) {
  }
  WaitForPeersToEnd();
}

// --- Activation and deactivation ------------------------------------------

void TIdTCPServer::SetActive(bool value) {
  if (Designing() || Loading() || value == Active_) {
    Active_ = value;
    return;
  }
  if (value) {
    Activate();
  } else {
    Deactivate();
  }
  Active_ = value;
}

void TIdTCPServer::Loaded() {
  TIdComponent::Loaded();
  if (Active_) {
    Active_ = false;
    SetActive(true);
  }
}

void TIdTCPServer::Activate() {
  if (!CommandHandlersPrepared_) {
    CommandHandlersPrepared_ = true;
    PrepareCommandHandlers();
  }
  if (Bindings_->Count() == 0) Bindings_->AddDefault();
  ThreadMgr()->SetThreadClass(PeerThreadClass_);
  if (IOHandler_.Get() == nullptr) {
    // Owned as the thread manager is: listed, freed through IOHandler_.
    InstallIOHandler(TMaybeOwned<TIdServerIOHandler>(std::make_unique<TIdServerIOHandlerSocket>(this)));
  }
  // Completed here, once, rather than by whichever peer thread comes first:
  // peer threads only read the greeting.
  ReplyTexts_->CompleteReply(*Greeting_);
  ListenerThreads_ = std::make_unique<TThreadList<TIdListenerThread>>();
  try {
    IOHandler_->Prepare();
    for (int i = 0; i < Bindings_->Count(); ++i) {
      TIdSocketHandle& binding = *Bindings_->Items(i);
      OpenBinding(binding);
      StartListener(binding);
    }
  } catch (...) {
    // Nothing half-open stays behind a failed activation.
    StopListeners();
    CloseBindings();
    throw;
  }
}

void TIdTCPServer::CorkAcceptedSockets(TIdSocketHandle& ABinding) {
  // Set once on the listening socket rather than on each accepted one: a
  // socket accepted on Linux inherits it, at no system call per connection.
  const int32_t one = 1;
  try {
    ABinding.SetOption(IPPROTO_TCP, TCP_CORK, &one, sizeof(one));
  } catch (const EIdSocketError& e) {
    // An adopted socket of another kind (a Unix one, say) has no segments
    // to join: it is served uncorked.
    if (e.ErrorNumber() != EOPNOTSUPP) throw;
  }
}

void TIdTCPServer::OpenBinding(TIdSocketHandle& ABinding) {
  // Adopted ones are bound and listening already, with the backlog their
  // maker chose.
  if (!ABinding.Adopted()) {
    ABinding.Allocate(SOCK_STREAM, 0);
    if (ReuseSocket_ == rsOSDependent || ReuseSocket_ == rsTrue) {
      const int32_t one = 1;
      ABinding.SetOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    ABinding.BindLocal();
    ABinding.StartListening(ListenQueue_);
  }
  if (CorkConnections_) CorkAcceptedSockets(ABinding);
  // The listener's accept then waits by itself, a slice at a time.
  ABinding.AcceptInSlices(TIdServerIOHandlerSocket::kAcceptSlice);
}

void TIdTCPServer::StartListener(TIdSocketHandle& ABinding) {
  auto* listener = new TIdListenerThread(this, &ABinding);
  ListenerThreads_->Add(listener);
  listener->Start();
}

bool TIdTCPServer::ListenersAlive() const {
  if (!Active_ || !ListenerThreads_) return false;
  auto pinned = ListenerThreads_->Pin();
  if (pinned.Items().empty()) return false;
  for (TIdListenerThread* listener : pinned.Items()) {
    if (listener->TerminateRequested() || listener->Finished() || !listener->Binding()->Allocated()) {
      return false;
    }
  }
  return true;
}

void TIdTCPServer::CloseBindings() {
  for (int i = 0; i < Bindings_->Count(); ++i) Bindings_->Items(i)->Close();
}

void TIdTCPServer::Deactivate() {
  StopListeners();
  try {
    StopPeers();
  } catch (...) {
    FreeImplicitThreadMgrIfIdle();
    throw;
  }
  FreeImplicitThreadMgrIfIdle();
}

void TIdTCPServer::StopListeners() {
  if (!ListenerThreads_) return;
  // Taken out of the list first: the waits are not made under its lock.
  for (TIdListenerThread* listener : ListenerThreads_->TakeAll()) {
    StopListenerThread(*listener, *listener->Binding());
    // The server made it and is its only owner; joined, it can go.
    delete listener;
  }
  ListenerThreads_.reset();
}

void TIdTCPServer::CloseTransports() {
  // Pinned rather than locked: a peer thread frees its connection only
  // after it has left the list, which waits for the pin, and a close runs
  // the intercept's disconnect hook, user code that may ask for the list.
  // Every connection is closed before a hook's error passes on.
  auto pinned = PeerThreads_->Pin();
  std::exception_ptr firstError;
  for (TIdPeerThread* peer : pinned.Items()) {
    try {
      if (TIdTCPServerConnection* connection = peer->Connection()) connection->CloseTransport();
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  }
  if (firstError) std::rethrow_exception(firstError);
}

void TIdTCPServer::StopPeers() {
  CloseTransports();
  for (int32_t step = 0; step < TerminateWaitTime_ / kPeerWaitStep; ++step) {
    TIdStack::PauseMilliseconds(kPeerWaitStep);
    if (PeerThreads_->Empty()) return;
  }
  throw EIdTerminateThreadTimeout();
}

void TIdTCPServer::WaitForPeersToEnd() {
  // Closed again at every look: while a listener still runs, connections
  // that came after the first close are cut as well.
  while (!PeerThreads_->Empty()) {
    try {
      CloseTransports();
    } catch (...) {
      // A hook that raised: its connection is closed all the same.
    }
    TIdStack::PauseMilliseconds(kPeerEndPoll);
  }
}

// --- Thread manager, I/O handler, intercept -------------------------------

TIdThreadMgr* TIdTCPServer::ThreadMgr() {
  std::lock_guard<std::mutex> lock(ThreadMgrLock_);
  return ThreadMgrLocked();
}

TIdThreadMgr* TIdTCPServer::CurrentThreadMgr() const {
  std::lock_guard<std::mutex> lock(ThreadMgrLock_);
  return ThreadMgr_.Get();
}

TIdThreadMgr* TIdTCPServer::ThreadMgrLocked() {
  if (ThreadMgr_.Get() != nullptr || Designing()) return ThreadMgr_.Get();
  // Listed among the server's components as its Owner; freed through
  // ThreadMgr_, before the server's own components go.
  auto mgr = std::make_unique<TIdThreadMgrDefault>(this);
  // Activation sets the class as well; one made while the server is
  // active, its manager having gone, hands out peer threads at once.
  mgr->SetThreadClass(PeerThreadClass_);
  // There was no manager, so nothing is replaced.
  (void)InstallThreadMgr(TMaybeOwned<TIdThreadMgr>(std::move(mgr)));
  return ThreadMgr_.Get();
}

void TIdTCPServer::SetThreadMgr(TIdThreadMgr* value) {
  std::unique_ptr<TIdThreadMgr> replaced;
  {
    std::lock_guard<std::mutex> lock(ThreadMgrLock_);
    if (value == ThreadMgr_.Get() && !ThreadMgr_.Owns()) return;
    replaced = InstallThreadMgr(TMaybeOwned<TIdThreadMgr>::Borrowed(value));
  }
  replaced.reset();
}

std::unique_ptr<TIdThreadMgr> TIdTCPServer::InstallThreadMgr(TMaybeOwned<TIdThreadMgr> value) {
  TIdThreadMgr* previous = ThreadMgr_.Get();
  if (previous != nullptr && previous != value.Get()) RemoveFreeNotification(previous);
  // Forgotten before it goes, so that its removal notice is not taken for
  // the loss of a manager in use; its destruction waits for the uses that
  // began before.
  std::unique_ptr<TIdThreadMgr> replaced = ThreadMgr_.Release();
  ThreadMgr_ = std::move(value);
  if (TIdThreadMgr* mgr = ThreadMgr_.Get()) mgr->FreeNotification(this);
  return replaced;
}

TIdThreadMgr::TUse TIdTCPServer::UseThreadMgr(bool AMake) {
  std::lock_guard<std::mutex> lock(ThreadMgrLock_);
  return TIdThreadMgr::TUse(AMake ? ThreadMgrLocked() : ThreadMgr_.Get());
}

void TIdTCPServer::FreeImplicitThreadMgr() {
  std::unique_ptr<TIdThreadMgr> implicit;
  {
    std::lock_guard<std::mutex> lock(ThreadMgrLock_);
    if (!ThreadMgr_.Owns()) return;
    implicit = InstallThreadMgr(TMaybeOwned<TIdThreadMgr>());
  }
  implicit.reset();
}

void TIdTCPServer::FreeImplicitThreadMgrIfIdle() {
  if (PeerThreads_->Empty()) FreeImplicitThreadMgr();
}

void TIdTCPServer::SetIOHandler(TIdServerIOHandler* value) {
  InstallIOHandler(TMaybeOwned<TIdServerIOHandler>::Borrowed(value));
}

void TIdTCPServer::InstallIOHandler(TMaybeOwned<TIdServerIOHandler> value) {
  TIdServerIOHandler* previous = IOHandler_.Get();
  if (previous != nullptr && previous != value.Get()) RemoveFreeNotification(previous);
  // An implicit handler goes first; one set from outside is only replaced.
  IOHandler_.Release().reset();
  IOHandler_ = std::move(value);
  if (TIdServerIOHandler* handler = IOHandler_.Get()) handler->FreeNotification(this);
}

void TIdTCPServer::SetIntercept(TIdServerIntercept* value) {
  TIdServerIntercept* previous = Intercept_.exchange(value);
  if (previous != nullptr && previous != value) RemoveFreeNotification(previous);
  if (value != nullptr) value->FreeNotification(this);
}

void TIdTCPServer::Notification(TComponent* AComponent, TOperation Operation) {
  TIdComponent::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  if (AComponent != nullptr && AComponent == CurrentThreadMgr()) {
    // The manager is still whole (it notifies first thing in its
    // destructor): the peer threads it handed out release themselves into
    // it as they end. This runs inside that destructor, so a timed-out wait
    // goes on instead of raising. Forgotten under ThreadMgrLock_: a listener
    // or peer thread began its use before, and the manager's destruction
    // waits for it, or it finds the manager gone.
    try {
      StopPeers();
    } catch (...) {
      WaitForPeersToEnd();
    }
    std::lock_guard<std::mutex> lock(ThreadMgrLock_);
    if (ThreadMgr_.Get() == AComponent) ThreadMgr_.Forget();
  }
  if (AComponent == Intercept_.load()) Intercept_ = nullptr;
  if (AComponent == IOHandler_.Get()) IOHandler_.Forget();
}

void TIdTCPServer::SetBindings(const TIdSocketHandles& value) { Bindings_->Assign(&value); }

void TIdTCPServer::SetDefaultPort(int32_t value) { Bindings_->SetDefaultPort(value); }

// --- Steps of the listener and peer threads --------------------------------

void TIdTCPServer::PeerConnected(TIdPeerThread& AThread) {
  AThread.Connection()->WriteReply(*Greeting_);
  if (OnConnect) OnConnect(AThread);
}

void TIdTCPServer::PeerDisconnected(TIdPeerThread& AThread) {
  if (OnDisconnect) OnDisconnect(AThread);
}

bool TIdTCPServer::ExecutePeer(TIdPeerThread& AThread) {
  if (CommandHandlersEnabled_ && CommandHandlers_->Count() > 0) {
    TIdTCPServerConnection* connection = AThread.Connection();
    if (!connection->Connected()) return true;
    const std::string line = connection->ReadLn("\n", -1, -1);
    if (line.empty()) return true;
    BeforeCommandHandler(AThread, line);
    try {
      RunCommandHandlers(AThread, line);
    } catch (...) {
      AfterCommandHandler(AThread);
      throw;
    }
    AfterCommandHandler(AThread);
    return true;
  }
  if (!OnExecute) return false;
  OnExecute(AThread);
  return true;
}

void TIdTCPServer::RunCommandHandlers(TIdPeerThread& AThread, const std::string& ALine) {
  const int count = CommandHandlers_->Count();
  for (int i = 0; i < count; ++i) {
    TIdCommandHandler* handler = CommandHandlers_->Items(i);
    if (handler->Enabled() && handler->CheckCommand(ALine, AThread)) return;
  }
  UnknownCommand(ALine, AThread);
}

void TIdTCPServer::PeerException(TIdPeerThread& AThread, const std::exception& AException) {
  if (OnException) OnException(AThread, AException);
}

void TIdTCPServer::ListenerException(TIdListenerThread& AThread, const std::exception& AException) {
  if (OnListenException) OnListenException(AThread, AException);
}

bool TIdTCPServer::AdmitsConnection(TIdListenerThread& AThread,
                                    const TIdConnectionAddresses& AAddresses) {
  if (!OnFilterConnection) return true;
  bool admitted = false;
  try {
    admitted = OnFilterConnection(*this, AAddresses);
  } catch (const std::exception& e) {
    ListenerException(AThread, e);
  } catch (...) {
    ListenerException(AThread, Exception("Unknown exception"));
  }
  if (!admitted) TIdTCPServerCounters::Count(Counters_->Filtered);
  return admitted;
}

void TIdTCPServer::BeforeCommandHandler(TIdPeerThread& AThread, const std::string& AData) {
  if (OnBeforeCommandHandler) OnBeforeCommandHandler(*this, AData, AThread);
}

void TIdTCPServer::AfterCommandHandler(TIdPeerThread& AThread) {
  if (OnAfterCommandHandler) OnAfterCommandHandler(*this, AThread);
}

void TIdTCPServer::UnknownCommand(const std::string& AData, TIdPeerThread& AThread) {
  if (OnNoCommandHandler) {
    OnNoCommandHandler(*this, AData, AThread);
  } else if (ReplyUnknownCommand_->HasContent()) {
    AThread.Connection()->WriteReply(*ReplyUnknownCommand_);
  } else {
    throw EIdTCPServerError("No command handler found.");
  }
}

}  // namespace ostrevan
