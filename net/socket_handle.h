// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/collection.h"
#include "ostrevan/runtime/recycled.h"

namespace ostrevan {

/// One socket with its local and peer address and port: a server's binding
/// (an item of TIdSocketHandles) or the socket of one connection. IPv4 unless
/// IPVersion says IPv6.
/// Used by one thread at a time, except that Close and Shutdown may come from
/// another thread while the owner waits or accepts on the descriptor; two
/// Close calls at once close the socket once.
class OSTREVAN_EXPORT TIdSocketHandle : public TCollectionItem, public TRecycled<TIdSocketHandle> {
 public:
  /// A closed socket handle, added to ACollection when given.
  explicit TIdSocketHandle(TCollection* ACollection);
  ~TIdSocketHandle() override;

  /// Creates a socket of IPVersion (closing an open one first). An IPv6
  /// socket takes IPv6 peers only, unless DualStack.
  void Allocate(int32_t ASocketType, int32_t AProtocol);
  /// Takes an open socket that this process was given, a service manager's
  /// listening socket say (closing an open one first): Allocated, with the
  /// address and family it is bound to. Such a socket may be shared with
  /// other processes, so neither Shutdown nor Close shuts it down, which
  /// would end it for all of them; Close only closes this process's
  /// descriptor. A server activated with an adopted binding serves on the
  /// socket as it is, without binding it or setting it listening.
  void Adopt(int32_t ADescriptor);
  /// Whether the open socket was adopted rather than allocated.
  bool Adopted() const { return Adopted_.load(); }
  /// Shuts down and closes the socket if one is open; Descriptor keeps its
  /// number.
  virtual void Close();
  /// Shuts the open socket down in both directions without closing it: a
  /// wait or accept on it in another thread ends, while its descriptor's
  /// number stays this socket's (no other socket can be given it) until
  /// Close. An adopted socket is left as it is: a wait or accept
  /// on it sees the stop at its next poll instead.
  void Shutdown();
  /// Binds to IP and Port, or, when Port is 0 and both client port bounds are
  /// set, to the highest free port of the range. Afterwards IP and Port hold
  /// what the system assigned.
  void BindLocal();
  /// Sets the bound socket listening, with a queue of AQueueCount; a failure raises EIdSocketError.
  void StartListening(int32_t AQueueCount);
  /// Accepts a connection from the listening descriptor into this object;
  /// false when the accept was interrupted or the listening socket closed.
  bool AcceptFrom(int32_t AListeningSocket);
  ///@{
  /// For a listening socket whose accept waits in slices: accepts a
  /// connection as AcceptFrom, or tells that none came within the slice.
  enum TPendingAccept { paAccepted, paNoneWaiting, paFailed };
  TPendingAccept AcceptPending(int32_t AListeningSocket);
  ///@}

  /// Makes this listening socket's accept wait for at most AMSec
  /// milliseconds (AcceptPending then tells paNoneWaiting after that time):
  /// a wait in slices that costs one system call per connection, where a
  /// poll before each accept would cost two. It also lets the accept step,
  /// which is given only a descriptor, find the socket: a connection
  /// accepted from a socket bound to one address has that address and Port
  /// as its own, without asking the system. Close forgets it.
  void AcceptInSlices(int32_t AMSec);
  /// True when AListeningSocket is a socket that AcceptInSlices set so.
  static bool AcceptsInSlices(int32_t AListeningSocket);
  /// Connects to RemoteIP and RemotePort; the raw result (0 or -1), which
  /// the caller checks.
  virtual int32_t ConnectToPeer(uint16_t AFamily);
  /// True when the socket becomes readable within the time (ms; -2: no
  /// limit). Raises EIdConnClosedGracefully without a socket.
  bool WaitReadable(int32_t AMSec);
  /// The same test for any descriptor; a failure counts as not readable.
  static bool WaitHandleReadable(int32_t AHandle, int32_t AMSec);
  ///@{
  /// One receive or send; the raw result (bytes, 0 at the end, -1), unchecked.
  int32_t ReceiveBytes(void* ABuffer, int32_t ALength, int32_t AFlags);
  int32_t SendBytes(const void* ABuffer, int32_t ALength, int32_t AFlags);
  ///@}
  /// One datagram into ABuffer, with its sender's address and port; the raw result, unchecked.
  virtual int32_t ReceiveDatagram(void* ABuffer, int32_t ALength, int32_t AFlags,
                                  std::string& AIP, int32_t& APort);
  /// Sets a socket option; a failure raises EIdSocketError.
  void SetOption(int32_t ALevel, int32_t AOptName, const void* AOptValue, int32_t AOptLength);
  /// Sets RemoteIP and RemotePort, the peer ConnectToPeer connects to.
  void SetPeerAddress(const std::string& AIP, int32_t APort);
  /// Sets IP and Port from the socket's local address.
  void RefreshLocalAddress();
  /// Sets RemoteIP and RemotePort from the socket's peer address.
  void RefreshPeerAddress();
  /// Forgets the socket without closing it, and the addresses (the local
  /// ones only when AClearLocal).
  void ClearBinding(bool AClearLocal);

  /// From exactly a TIdSocketHandle: copies IP, Port, RemoteIP, RemotePort,
  /// IPVersion and DualStack.
  void Assign(const TPersistent* ASource) override;

  ///@{
  /// Id_IPv4 (the default) or Id_IPv6, the family of the next Allocate.
  TIdIPVersion IPVersion() const { return IPVersion_; }
  void SetIPVersion(TIdIPVersion value) { IPVersion_ = value; }
  ///@}
  ///@{
  /// For IPv6: whether the socket takes IPv4 peers too, which are then
  /// reported in dotted IPv4 text. Off by default, so that an IPv6 binding
  /// and an IPv4 binding can share a port.
  bool DualStack() const { return DualStack_; }
  void SetDualStack(bool value) { DualStack_ = value; }
  ///@}

  /// The socket's descriptor; -1 before the first Allocate, its last number after Close.
  int32_t Descriptor() const { return Descriptor_; }
  /// True while a socket is open.
  bool Allocated() const { return Allocated_.load(); }
  ///@{
  /// The local address: empty for every local address; after a bind or accept, the socket's own.
  const std::string& IP() const { return IP_; }
  void SetIP(const std::string& value) { IP_ = value; }
  ///@}
  /// The peer's address.
  const std::string& RemoteIP() const { return RemoteIP_; }
  ///@{
  /// The local port: 0 lets the system choose; after a bind or accept, the socket's own.
  int32_t Port() const { return Port_; }
  void SetPort(int32_t value) { Port_ = value; }
  ///@}
  /// The peer's port.
  int32_t RemotePort() const { return RemotePort_; }
  ///@{
  /// The lower bound of the port range BindLocal tries when Port is 0.
  int32_t ClientPortMin() const { return ClientPortMin_; }
  void SetClientPortMin(int32_t value) { ClientPortMin_ = value; }
  ///@}
  ///@{
  /// The upper bound of the port range BindLocal tries when Port is 0.
  int32_t ClientPortMax() const { return ClientPortMax_; }
  void SetClientPortMax(int32_t value) { ClientPortMax_ = value; }
  ///@}

 private:
  /// One bind to IP and Port: false when the address is in use.
  bool TryBind();
  /// The accept itself, tolerating AIgnored besides EINTR and ENOTSOCK:
  /// the error number, or 0 when a connection was accepted.
  int32_t Accept(int32_t AListeningSocket, int32_t AIgnored);
  void TakeLocalAddressOf(int32_t AListeningSocket);
  void ForgetListening();

  int32_t Descriptor_ = -1;
  std::atomic<bool> Allocated_{false};
  std::atomic<bool> Adopted_{false};
  std::string IP_;
  std::string RemoteIP_;
  int32_t Port_ = 0;
  int32_t RemotePort_ = 0;
  int32_t ClientPortMin_ = 0;
  int32_t ClientPortMax_ = 0;
  TIdIPVersion IPVersion_ = Id_IPv4;
  bool DualStack_ = false;
  /// Set by AcceptInSlices until Close or ClearBinding.
  bool Listening_ = false;
  /// Guards the shutdown and close of an open socket against each other, so
  /// that a shutdown never reaches a number already closed (and perhaps
  /// given to another socket). Nothing else is taken while it is held.
  std::mutex CloseLock_;
};

/// A server's bindings. Each new binding starts with DefaultPort. Used by the
/// thread that owns the server.
class OSTREVAN_EXPORT TIdSocketHandles : public TOwnedCollection<TIdSocketHandle> {
 public:
  /// An empty list of bindings of AOwner.
  explicit TIdSocketHandles(TPersistent* AOwner);

  /// A new binding on DefaultPort.
  TIdSocketHandle* Add();
  /// The binding of a server that was given none: every local address on
  /// DefaultPort, in one socket for IPv6 and IPv4 clients alike, or IPv4
  /// only where the system has no IPv6.
  TIdSocketHandle* AddDefault();

  ///@{
  /// The port each new binding starts with.
  int32_t DefaultPort() const { return DefaultPort_; }
  void SetDefaultPort(int32_t value) { DefaultPort_ = value; }
  ///@}

 private:
  int32_t DefaultPort_ = 0;
};

}  // namespace ostrevan
