// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/server/server_statistics.h"

namespace ostrevan {

class TIdUDPListenerThread;
class TIdUDPServer;

/// Told of a datagram: its bytes, the binding it came in on and the sender's address and port.
using TIdUDPReadEvent =
    std::function<void(TIdUDPServer& ASender, const std::string& AData, TIdSocketHandle& ABinding,
                       const std::string& APeerIP, int32_t APeerPort)>;
/// Told of an exception while a datagram was handled.
using TIdUDPExceptionEvent =
    std::function<void(TIdUDPListenerThread& AThread, const std::exception& AException)>;

/// A datagram server: one listener thread per binding receives each datagram
/// and hands it to DoUDPRead, which a derived server overrides (or which
/// calls OnUDPRead); an answer goes back with SendTo through the binding the
/// datagram came in on. Bindings are set up as a TCP server's are, without
/// the address-reuse option, which for datagram sockets would let two
/// servers share a port.
///
/// Owned by the thread that creates it, which alone sets properties (while
/// the server is inactive), activates, deactivates and destroys it.
/// DoUDPRead, the events and SendTo run on the listener threads, one per
/// binding, so several at once when there are several bindings.
///
/// Since DoUDPRead runs on other threads, the server is stopped while the
/// whole object still exists: delete retires it before any destructor runs,
/// and a derived server that is destroyed otherwise (a local, a member)
/// calls Retire first in its own destructor (docs/threading.md).
class OSTREVAN_EXPORT TIdUDPServer : public TIdComponent {
 public:
  /// The BufferSize a new server starts with.
  static constexpr int32_t kDefaultBufferSize = 8192;

  /// An inactive server of AOwner (none: ownerless), without bindings.
  explicit TIdUDPServer(TComponent* AOwner);
  /// Retires the server, unless delete or a derived destructor did.
  ~TIdUDPServer() override;
  /// Retires the server, then destroys and frees it. A derived class that
  /// declares an operator delete of its own, or that needs more than the
  /// default alignment of new, does without it: it calls Retire first in its
  /// destructor.
  static void operator delete(TIdUDPServer* AServer, std::destroying_delete_t);
  /// The pair that new uses, the second when a constructor raises; declared
  /// so that compilers see the delete above match this new.
  static void* operator new(std::size_t ASize);
  /// The release that matches the new above.
  static void operator delete(void* AMemory);

  ///@{
  bool Active() const { return Active_; }
  /// Activation opens every binding (one on DefaultPort and every local
  /// address, for IPv6 and IPv4, when there is none; an adopted one serves
  /// as it is, see TIdSocketHandle::Adopt) and starts its
  /// listener; a failure closes what was opened and propagates, leaving
  /// Active false. Deactivation stops the listeners and closes the bindings.
  /// Setting the current value does nothing; while designing or loading the
  /// value is only stored.
  void SetActive(bool value);
  ///@}

  /// The bindings, each with a listener thread while the server is active.
  TIdSocketHandles& Bindings() { return *Bindings_; }
  ///@{
  /// The port each new binding starts with; kept in Bindings.
  int32_t DefaultPort() const { return Bindings_->DefaultPort(); }
  void SetDefaultPort(int32_t value) { Bindings_->SetDefaultPort(value); }
  ///@}
  ///@{
  /// The longest datagram received whole; the rest of a longer one is lost.
  int32_t BufferSize() const { return BufferSize_; }
  void SetBufferSize(int32_t value) { BufferSize_ = value; }
  ///@}
  ///@{
  /// Whether datagrams that could feed a loop of answers between two
  /// services are dropped before DoUDPRead: those from source port 0, which
  /// no answer can reach, from the ports of the small services that answer
  /// every datagram (echo 7, discard 9, daytime 13, chargen 19, time 37),
  /// and from the port of the binding they came in on (the same service
  /// elsewhere). Off by default: a server whose peers may send from its own
  /// port (a symmetric protocol), or that never answers, wants every
  /// datagram; a server that answers every datagram turns it on, as
  /// TIdTimeUDPServer does.
  bool LoopGuard() const { return LoopGuard_; }
  void SetLoopGuard(bool value) { LoopGuard_ = value; }
  ///@}
  /// The datagrams LoopGuard dropped since the server was made; the Dropped
  /// field of Statistics.
  int64_t DroppedCount() const {
    return static_cast<int64_t>(Counters_->Dropped.load(std::memory_order_relaxed));
  }
  /// The datagram counts since this object was made (see
  /// TIdUDPServerStatistics). Lock-free, from any thread, at any time.
  TIdUDPServerStatistics Statistics() const { return Counters_->Snapshot(); }
  /// The counters themselves, for the listener threads.
  TIdUDPServerCounters& Counters() { return *Counters_; }
  /// True while the server is active and every listener it started still
  /// runs with its socket open. From any thread, provided the owner does
  /// not activate or deactivate the server meanwhile.
  bool ListenersAlive() const;

  /// Sends one datagram to the peer through the binding, counted as an
  /// answer; a failure raises EIdSocketError.
  void SendTo(TIdSocketHandle& ABinding, const std::string& APeerIP, int32_t APeerPort,
              const void* AData, int32_t ALength);

  /// One datagram, on the listener thread of its binding: calls OnUDPRead.
  virtual void DoUDPRead(const std::string& AData, TIdSocketHandle& ABinding,
                         const std::string& APeerIP, int32_t APeerPort);
  /// A failure of a listener's pass: calls OnUDPException.
  void UDPException(TIdUDPListenerThread& AThread, const std::exception& AException);
  /// True, and counted in DroppedCount, when LoopGuard drops a datagram from
  /// APeerPort that came in on ABinding.
  bool DropsAsLoop(const TIdSocketHandle& ABinding, int32_t APeerPort);

  /// Told of each datagram, on its listener thread, unless DoUDPRead is overridden.
  TIdUDPReadEvent OnUDPRead;
  /// Told of an exception while a datagram was handled; the other datagrams go on.
  TIdUDPExceptionEvent OnUDPException;

  /// Applies an Active stored while loading.
  void Loaded() override;

 protected:
  /// Stops the server for good while it is whole: deactivates, so that no
  /// listener calls DoUDPRead or an event afterwards. Calling it again does
  /// nothing. Never raises.
  void Retire();

 private:
  void Activate();
  void StopListeners();
  void CloseBindings();

  bool Active_ = false;
  std::unique_ptr<TIdSocketHandles> Bindings_;
  int32_t BufferSize_ = kDefaultBufferSize;
  bool LoopGuard_ = false;
  /// Allocated apart, in a cache line of its own.
  std::unique_ptr<TIdUDPServerCounters> Counters_;
  std::vector<std::unique_ptr<TIdUDPListenerThread>> ListenerThreads_;
};

}  // namespace ostrevan
