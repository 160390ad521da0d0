// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/runtime/maybe_owned.h"
#include "ostrevan/runtime/thread_list.h"
#include "ostrevan/server/command_handler.h"
#include "ostrevan/server/rfc_reply.h"
#include "ostrevan/server/server_statistics.h"
#include "ostrevan/server/thread_mgr.h"

namespace ostrevan {

class TIdListenerThread;
class TIdPeerThread;
class TIdServerIntercept;
class TIdServerIOHandler;
class TIdTCPServer;

/// Whether bindings are opened with SO_REUSEADDR: rsOSDependent (the default) and rsTrue do, rsFalse does not.
enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

/// Told after a command handler ran.
using TIdAfterCommandHandlerEvent = std::function<void(TIdTCPServer& ASender, TIdPeerThread& AThread)>;
/// Told of a line before the command handlers look at it.
using TIdBeforeCommandHandlerEvent =
    std::function<void(TIdTCPServer& ASender, const std::string& AData, TIdPeerThread& AThread)>;
/// An event of a peer thread.
using TIdServerThreadEvent = std::function<void(TIdPeerThread& AThread)>;
/// Told of an exception on a peer thread.
using TIdServerThreadExceptionEvent =
    std::function<void(TIdPeerThread& AThread, const std::exception& AException)>;
/// Told of an exception on a listener thread.
using TIdListenExceptionEvent =
    std::function<void(TIdListenerThread& AThread, const std::exception& AException)>;
/// Told of a line that no command handler took.
using TIdNoCommandHandlerEvent =
    std::function<void(TIdTCPServer& ASender, const std::string& AData, TIdPeerThread& AThread)>;

/// The two ends of a connection just accepted, as the connection filter sees
/// them. The addresses are text as bindings report them (IPv4 peers of a
/// dual-stack binding in dotted IPv4); empty, with port 0, when the server's
/// I/O handler made a transport that is not a socket.
struct OSTREVAN_EXPORT TIdConnectionAddresses {
  ///@{
  /// The peer's address and port.
  std::string PeerIP;
  int32_t PeerPort = 0;
  ///@}
  /// The address the peer connected to.
  std::string LocalIP;
  /// The port the peer connected to.
  int32_t LocalPort = 0;
  /// The listening binding that accepted the connection.
  const TIdSocketHandle* Binding = nullptr;
};
/// True admits the connection; false refuses it.
using TIdConnectionFilterEvent =
    std::function<bool(TIdTCPServer& ASender, const TIdConnectionAddresses& AAddresses)>;

/// True when the list is absent or holds fewer than ACount entries; the count
/// is read under the list's lock.
template <class T>
bool ListCountBelow(const TThreadList<T>* AList, int32_t ACount) {
  return AList == nullptr || AList->Count() < ACount;
}

/// A multi-threaded TCP server: one listener thread per binding, one peer
/// thread per accepted connection, obtained from a thread manager. What is
/// done on a connection is ExecutePeer: a derived server overrides it, or the
/// base runs OnExecute or the command handlers.
///
/// Owned by the thread that creates it, which alone sets properties (while
/// inactive), activates, deactivates and destroys it; events run on the
/// listener or peer thread concerned, several at once. Who calls what, the
/// locks and the shutdown: docs/threading.md.
///
/// Each connection costs one thread, created with the process's default
/// stack size: TThread::DefaultStackSize(), 256 KiB unless changed with
/// TThread::SetDefaultStackSize before activation.
///
/// Since the peer threads call the virtual steps (ExecutePeer,
/// PeerDisconnected...), the server is stopped while the whole object still
/// exists: delete (by the owner, a unique_ptr or by hand) retires it before
/// any destructor runs, and a derived server that is destroyed otherwise (a
/// local, a member) calls Retire first in its own destructor, as
/// TIdTimeServer does. Otherwise the threads would find a half-destroyed
/// object and run the base's steps instead of the derived server's.
class OSTREVAN_EXPORT TIdTCPServer : public TIdComponent {
 public:
  /// An inactive server of AOwner (none: ownerless), without bindings.
  explicit TIdTCPServer(TComponent* AOwner);
  /// Retires the server, unless delete or a derived destructor did. Never
  /// raises.
  ~TIdTCPServer() override;
  /// Retires the server, then destroys and frees it. A derived class that
  /// declares an operator delete of its own, or that needs more than the
  /// default alignment of new, does without it: it calls Retire first in its
  /// destructor.
  static void operator delete(TIdTCPServer* AServer, std::destroying_delete_t);
  /// The pair that new uses, the second when a constructor raises; declared
  /// so that compilers see the delete above match this new.
  static void* operator new(std::size_t ASize);
  /// The release that matches the new above.
  static void operator delete(void* AMemory);

  // --- Properties ---------------------------------------------------------

  ///@{
  bool Active() const { return Active_; }
  /// Activation opens every binding (an adopted one serves as it is, see
  /// TIdSocketHandle::Adopt) and starts its listener; a failure
  /// closes what was opened and propagates, leaving Active false.
  /// Deactivation stops the listeners, closes every peer's socket and waits
  /// for the peer threads in 250 ms steps up to TerminateWaitTime, raising
  /// EIdTerminateThreadTimeout "Terminate Thread Timeout" (Active stays
  /// true) when some remain. Setting the current value does nothing.
  virtual void SetActive(bool value);
  ///@}

  /// The bindings, each with a listener thread while the server is active;
  /// a server without any gets TIdSocketHandles::AddDefault's on activation.
  TIdSocketHandles& Bindings() { return *Bindings_; }
  /// Copies the items.
  virtual void SetBindings(const TIdSocketHandles& value);
  /// The handlers the lines of a connection are given to (see ExecutePeer).
  TIdCommandHandlers& CommandHandlers() { return *CommandHandlers_; }
  ///@{
  /// Whether the command handlers are used.
  bool CommandHandlersEnabled() const { return CommandHandlersEnabled_; }
  void SetCommandHandlersEnabled(bool value) { CommandHandlersEnabled_ = value; }
  ///@}
  ///@{
  /// The port each new binding starts with; kept in Bindings.
  int32_t DefaultPort() const { return Bindings_->DefaultPort(); }
  virtual void SetDefaultPort(int32_t value);
  ///@}
  ///@{
  /// Written to every new connection when it has content.
  TIdRFCReply& Greeting() { return *Greeting_; }
  void SetGreeting(const TIdRFCReply& value) { Greeting_->Assign(&value); }
  ///@}
  ///@{
  /// The intercept that every new connection gets; none unless set.
  TIdServerIntercept* Intercept() const { return Intercept_; }
  virtual void SetIntercept(TIdServerIntercept* value);
  ///@}
  ///@{
  /// Whether accepted connections start corked (TCP_CORK, set on each
  /// listening socket and inherited by the sockets it accepts): what a peer
  /// thread writes is held back until a full segment fills, the connection
  /// is closed, or 200 ms have passed, so that a short answer and the end
  /// of the stream leave in one segment. For protocols that answer and close
  /// at once; a dialogue would see its replies late. Takes effect on
  /// activation; an adopted socket that is not TCP is served uncorked.
  /// False unless set.
  bool CorkConnections() const { return CorkConnections_; }
  void SetCorkConnections(bool value) { CorkConnections_ = value; }
  ///@}
  ///@{
  /// The handler that accepts connections; a TIdServerIOHandlerSocket made on activation unless set.
  TIdServerIOHandler* IOHandler() const { return IOHandler_.Get(); }
  virtual void SetIOHandler(TIdServerIOHandler* value);
  ///@}
  ///@{
  /// The length of each binding's queue of connections not yet accepted.
  int32_t ListenQueue() const { return ListenQueue_; }
  void SetListenQueue(int32_t value) { ListenQueue_ = value; }
  ///@}
  ///@{
  /// Written to a connection refused by MaxConnections, not completed from
  /// ReplyTexts.
  TIdRFCReply& MaxConnectionReply() { return *MaxConnectionReply_; }
  void SetMaxConnectionReply(const TIdRFCReply& value) { MaxConnectionReply_->Assign(&value); }
  ///@}
  ///@{
  /// Upper bound of live peer threads; 0 or less: none.
  int32_t MaxConnections() const { return MaxConnections_; }
  void SetMaxConnections(int32_t value) { MaxConnections_ = value; }
  ///@}
  ///@{
  /// The reply code sent when a command handler raises; 0: none is sent.
  int32_t ReplyExceptionCode() const { return ReplyExceptionCode_; }
  void SetReplyExceptionCode(int32_t value) { ReplyExceptionCode_ = value; }
  ///@}
  /// The texts that complete replies sent with a code only.
  TIdRFCReplies& ReplyTexts() { return *ReplyTexts_; }
  ///@{
  /// Sent for a line that no command handler took, when it has content.
  TIdRFCReply& ReplyUnknownCommand() { return *ReplyUnknownCommand_; }
  void SetReplyUnknownCommand(const TIdRFCReply& value) { ReplyUnknownCommand_->Assign(&value); }
  ///@}
  ///@{
  /// Whether bindings are opened with SO_REUSEADDR (see TIdReuseSocket).
  TIdReuseSocket ReuseSocket() const { return ReuseSocket_; }
  void SetReuseSocket(TIdReuseSocket value) { ReuseSocket_ = value; }
  ///@}
  ///@{
  /// How long deactivation waits for the peer threads, in ms.
  int32_t TerminateWaitTime() const { return TerminateWaitTime_; }
  void SetTerminateWaitTime(int32_t value) { TerminateWaitTime_ = value; }
  ///@}
  /// Never none outside design mode: a TIdThreadMgrDefault owned by the
  /// server is made on first use.
  TIdThreadMgr* ThreadMgr();
  /// Frees an implicit manager at once.
  virtual void SetThreadMgr(TIdThreadMgr* value);

  ///@{
  /// The class of the peer threads the thread manager makes; TIdPeerThread
  /// unless a derived server sets another (a TIdPeerThread descendant).
  const TIdThreadClass& PeerThreadClass() const { return PeerThreadClass_; }
  void SetPeerThreadClass(TIdThreadClass value) { PeerThreadClass_ = std::move(value); }
  ///@}

  /// The live peer threads. A peer thread unlists itself before it frees
  /// its connection, so while the list is pinned (or locked) every listed
  /// thread's connection exists.
  TThreadList<TIdPeerThread>& PeerThreads() { return *PeerThreads_; }
  /// The running listeners; null while inactive.
  TThreadList<TIdListenerThread>* ListenerThreads() { return ListenerThreads_.get(); }

  // --- Events -------------------------------------------------------------

  /// Told after a command handler ran on a line.
  TIdAfterCommandHandlerEvent OnAfterCommandHandler;
  /// Told of each line before the command handlers look at it.
  TIdBeforeCommandHandlerEvent OnBeforeCommandHandler;
  /// Told on the peer thread of a new connection, after the greeting (see PeerConnected).
  TIdServerThreadEvent OnConnect;
  /// Told on the peer thread when its connection ends (see PeerDisconnected).
  TIdServerThreadEvent OnDisconnect;
  /// Told of an exception that ended a peer's work.
  TIdServerThreadExceptionEvent OnException;
  /// The work on a connection when no command handler handles it (see ExecutePeer).
  TIdServerThreadEvent OnExecute;
  /// Told of an exception on a listener thread (see OnFilterConnection).
  TIdListenExceptionEvent OnListenException;
  /// Told of a line that no command handler took (see UnknownCommand).
  TIdNoCommandHandlerEvent OnNoCommandHandler;
  /// Asked by the listener right after each accept, before anything else is
  /// spent on the connection: a refused connection is closed at once, with
  /// no greeting, no peer thread and no other event, and counted in
  /// FilterRefusedCount. A filter that raises refuses the connection, and
  /// the exception is reported through OnListenException; the listener goes
  /// on with the next connection at once either way. Runs on the listener
  /// threads, several at once with several bindings. Set while inactive;
  /// none (the default) admits every connection and costs nothing.
  TIdConnectionFilterEvent OnFilterConnection;

  // --- Steps of the listener and peer threads ---------------------------

  /// Writes the greeting (when it has content), then calls OnConnect.
  virtual void PeerConnected(TIdPeerThread& AThread);
  /// Calls OnDisconnect.
  virtual void PeerDisconnected(TIdPeerThread& AThread);
  /// One execute step; false when nothing handled the connection. The base
  /// reads a line for the command handlers when it has enabled ones, else
  /// calls OnExecute.
  virtual bool ExecutePeer(TIdPeerThread& AThread);
  /// Reports an exception of a peer thread through OnException.
  void PeerException(TIdPeerThread& AThread, const std::exception& AException);
  /// Reports an exception of a listener thread through OnListenException.
  void ListenerException(TIdListenerThread& AThread, const std::exception& AException);
  /// Calls OnBeforeCommandHandler.
  void BeforeCommandHandler(TIdPeerThread& AThread, const std::string& AData);
  /// Calls OnAfterCommandHandler.
  void AfterCommandHandler(TIdPeerThread& AThread);
  /// OnNoCommandHandler, else ReplyUnknownCommand when it has content, else
  /// EIdTCPServerError "No command handler found.".
  void UnknownCommand(const std::string& AData, TIdPeerThread& AThread);

  /// The listener's question to OnFilterConnection: true when there is none
  /// or it admits the connection. A refusal, or a filter that raises (reported
  /// as the listener's exception), counts in FilterRefusedCount.
  bool AdmitsConnection(TIdListenerThread& AThread, const TIdConnectionAddresses& AAddresses);
  /// Connections OnFilterConnection refused since the server was made; the
  /// Filtered field of Statistics.
  uint64_t FilterRefusedCount() const { return Counters_->Filtered.load(std::memory_order_relaxed); }

  /// The connection counts since this object was made (see
  /// TIdTCPServerStatistics). Lock-free, from any thread, at any time.
  TIdTCPServerStatistics Statistics() const { return Counters_->Snapshot(); }
  /// The counters themselves, for the listener and peer threads.
  TIdTCPServerCounters& Counters() { return *Counters_; }
  /// True while the server is active and every listener it started still
  /// runs with its socket open: false once one has ended (or been told to
  /// end) or lost its socket. From any thread, provided the owner does not
  /// activate or deactivate the server meanwhile.
  bool ListenersAlive() const;

  /// The current manager, without making one; none when there is none.
  TIdThreadMgr* CurrentThreadMgr() const;
  /// The manager for the calls of one listener or peer thread, with a use of
  /// it that the manager's destruction waits for. With AMake it is the
  /// getter's (a listener acquiring), else the current one or none (a peer
  /// thread releasing itself must not create a manager).
  TIdThreadMgr::TUse UseThreadMgr(bool AMake);

  /// Applies an Active stored while loading.
  void Loaded() override;

 protected:
  /// Stops the server for good while it is whole: deactivates, and if peer
  /// threads outlast TerminateWaitTime keeps waiting for them (their sockets
  /// are closed by then), so that afterwards no listener or peer thread
  /// touches the server. Calling it again does nothing. Never raises.
  void Retire();

  /// Runs once, at the start of the first activation; empty here.
  virtual void PrepareCommandHandlers() {}

  void Notification(TComponent* AComponent, TOperation Operation) override;

  /// Terminates every listener, shuts its binding down, waits for it (its
  /// binding is closed as it ends) and frees it; then drops the list.
  void StopListeners();
  /// Closes every peer's socket, then waits for the peer threads in 250 ms
  /// steps, TerminateWaitTime div 250 of them, raising
  /// EIdTerminateThreadTimeout when none found the list empty. An error
  /// that a connection's disconnect hook raised passes on once every
  /// socket is closed, before the wait.
  void StopPeers();

 private:
  void Activate();
  void Deactivate();
  void OpenBinding(TIdSocketHandle& ABinding);
  static void CorkAcceptedSockets(TIdSocketHandle& ABinding);
  void StartListener(TIdSocketHandle& ABinding);
  void CloseBindings();
  void CloseTransports();
  void RunCommandHandlers(TIdPeerThread& AThread, const std::string& ALine);
  void FreeImplicitThreadMgr();
  void FreeImplicitThreadMgrIfIdle();
  /// The getter's work, with ThreadMgrLock_ held.
  TIdThreadMgr* ThreadMgrLocked();
  /// Installs the manager with ThreadMgrLock_ held; returns the implicit
  /// one it replaces, for the caller to free once the lock is released.
  [[nodiscard]] std::unique_ptr<TIdThreadMgr> InstallThreadMgr(TMaybeOwned<TIdThreadMgr> value);
  void InstallIOHandler(TMaybeOwned<TIdServerIOHandler> value);
  void WaitForPeersToEnd();

  std::atomic<bool> Active_{false};
  std::unique_ptr<TIdSocketHandles> Bindings_;
  std::unique_ptr<TIdCommandHandlers> CommandHandlers_;
  std::atomic<bool> CommandHandlersEnabled_{true};
  bool CorkConnections_ = false;
  bool CommandHandlersPrepared_ = false;
  std::unique_ptr<TIdRFCReply> Greeting_;
  std::atomic<TIdServerIntercept*> Intercept_{nullptr};
  /// Owned when the server made it (ImplicitIOHandler). Changed only while
  /// the server is inactive; listeners read it while it is active.
  TMaybeOwned<TIdServerIOHandler> IOHandler_;
  std::unique_ptr<TThreadList<TIdListenerThread>> ListenerThreads_;
  int32_t ListenQueue_ = 15;
  std::unique_ptr<TIdRFCReply> MaxConnectionReply_;
  std::atomic<int32_t> MaxConnections_{0};
  std::unique_ptr<TIdRFCReplies> ReplyTexts_;
  TIdReuseSocket ReuseSocket_ = rsOSDependent;
  int32_t TerminateWaitTime_ = 5000;
  TIdThreadClass PeerThreadClass_;
  std::unique_ptr<TThreadList<TIdPeerThread>> PeerThreads_;
  std::atomic<int32_t> ReplyExceptionCode_{0};
  std::unique_ptr<TIdRFCReply> ReplyUnknownCommand_;
  /// Allocated apart, in a cache line of its own; the server object itself
  /// keeps the default alignment that its operator new gives.
  std::unique_ptr<TIdTCPServerCounters> Counters_;
  /// Owned when the server made it (ImplicitThreadMgr). Guarded by
  /// ThreadMgrLock_ (docs/threading.md); an implicit manager is freed after
  /// the lock is released.
  TMaybeOwned<TIdThreadMgr> ThreadMgr_;
  mutable std::mutex ThreadMgrLock_;
};

}  // namespace ostrevan
