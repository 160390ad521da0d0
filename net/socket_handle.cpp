// SPDX-License-Identifier: MIT
#include "ostrevan/net/socket_handle.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <typeinfo>
#include <utility>
#include <vector>

#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

namespace {

// Socket calls need the shared stack, which lives while any TIdComponent
// does; a handle used outside that time gets an error instead of a crash.
TIdStack& Stack() {
  TIdStack* stack = GlobalStack();
  if (stack == nullptr) throw EIdException("No socket stack: create a TIdComponent first.");
  return *stack;
}

// A listening socket whose accept waits in slices, with the local address
// that every connection accepted from it shares when it is bound to one
// address (empty for every address).
struct TListening {
  int32_t Descriptor;
  std::string IP;
  int32_t Port;
  TIdIPVersion Version;
};

// Guards Listening. Taken by a server's activation and deactivation and
// twice per accepted connection; nothing else is taken while it is held.
std::mutex ListeningLock;
std::vector<TListening> Listening;

bool IsEveryAddress(const std::string& AIP) { return AIP.empty() || AIP == "0.0.0.0" || AIP == "::"; }

}  // namespace

TIdSocketHandle::TIdSocketHandle(TCollection* ACollection) : TCollectionItem(ACollection) {
  ClearBinding(true);
  if (auto* handles = dynamic_cast<TIdSocketHandles*>(ACollection)) Port_ = handles->DefaultPort();
}

TIdSocketHandle::~TIdSocketHandle() { TIdSocketHandle::Close(); }

void TIdSocketHandle::Allocate(int32_t ASocketType, int32_t AProtocol) {
  Close();
  Descriptor_ = Stack().NewSocket(ASocketType, AProtocol, IPVersion_);
  Allocated_ = true;
  if (IPVersion_ != Id_IPv6) return;
  // Set either way: the system's default differs from host to host.
  const int32_t v6Only = DualStack_ ? 0 : 1;
  SetOption(IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof(v6Only));
}

void TIdSocketHandle::Adopt(int32_t ADescriptor) {
  Close();
  {
    std::lock_guard<std::mutex> guard(CloseLock_);
    Descriptor_ = ADescriptor;
    Adopted_ = true;
    Allocated_ = true;
  }
  RefreshLocalAddress();
}

void TIdSocketHandle::Shutdown() {
  std::lock_guard<std::mutex> guard(CloseLock_);
  if (Allocated_ && !Adopted_) Stack().ShutdownSocket(Descriptor_, SHUT_RDWR);
}

void TIdSocketHandle::Close() {
  std::lock_guard<std::mutex> guard(CloseLock_);
  // The exchange lets a close from another thread race with the owner's
  // own close without closing the descriptor twice.
  if (!Allocated_.exchange(false)) return;
  // Another process may hold the same socket: only the descriptor goes.
  const bool shared = Adopted_.exchange(false);
  // Forgotten before the number is free for another socket.
  ForgetListening();
  // A close may end the use in which the caller made a call it has yet to
  // check; the release's own failures are nobody's to report.
  const TIdStack::TKeptSocketError kept;
  TIdStack* stack = GlobalStack();
  if (stack == nullptr) {
    // No stack left (a handle outliving every component): still release
    // the descriptor rather than leak it.
    if (!shared) shutdown(Descriptor_, SHUT_RDWR);
    close(Descriptor_);
    return;
  }
  if (!shared) stack->ShutdownSocket(Descriptor_, SHUT_RDWR);
  stack->CloseSocket(Descriptor_);
}

void TIdSocketHandle::BindLocal() {
  const bool useRange = Port_ == 0 && ClientPortMin_ != 0 && ClientPortMax_ != 0;
  if (!useRange) {
    if (!TryBind()) throw EIdCouldNotBindSocket();
    return;
  }
  if (ClientPortMin_ > ClientPortMax_) {
    throw EIdInvalidPortRange(
        Format("Invalid Port Range (%d - %d)", ClientPortMin_, ClientPortMax_));
  }
  for (int32_t port = ClientPortMax_; port >= ClientPortMin_; --port) {
    Port_ = port;
    if (TryBind()) return;
  }
  throw EIdCanNotBindPortInRange(
      Format("Can not bind in port range (%d - %d)", ClientPortMin_, ClientPortMax_));
}

bool TIdSocketHandle::TryBind() {
  TIdStack& stack = Stack();
  const int32_t result =
      stack.BindSocket(Descriptor_, FamilyOf(IPVersion_), IP_, static_cast<uint16_t>(Port_));
  if (stack.CheckSocketResult(result, {EADDRINUSE})) return false;
  RefreshLocalAddress();
  return true;
}

void TIdSocketHandle::StartListening(int32_t AQueueCount) {
  TIdStack& stack = Stack();
  stack.CheckSocketResult(stack.ListenSocket(Descriptor_, AQueueCount));
}

bool TIdSocketHandle::AcceptFrom(int32_t AListeningSocket) {
  return Accept(AListeningSocket, EINTR) == 0;
}

TIdSocketHandle::TPendingAccept TIdSocketHandle::AcceptPending(int32_t AListeningSocket) {
  const int32_t error = Accept(AListeningSocket, EAGAIN);
  if (error == 0) return paAccepted;
  return error == EAGAIN || error == EWOULDBLOCK ? paNoneWaiting : paFailed;
}

int32_t TIdSocketHandle::Accept(int32_t AListeningSocket, int32_t AIgnored) {
  ClearBinding(true);
  TIdStack& stack = Stack();
  std::string peerIP;
  int32_t peerPort = 0;
  const int32_t accepted = stack.AcceptSocket(AListeningSocket, peerIP, peerPort);
  // EINTR also stands for a listening socket closed under us (EBADF).
  if (stack.CheckSocketResult(accepted, {EINTR, ENOTSOCK, AIgnored})) return stack.LastSocketError();
  Descriptor_ = accepted;
  Allocated_ = true;
  TakeLocalAddressOf(AListeningSocket);
  // accept has told the peer's address already. Asking again would cost a
  // system call per connection, and would fail (ENOTCONN) for a client
  // that reset the connection while it waited in the queue.
  RemoteIP_ = std::move(peerIP);
  RemotePort_ = peerPort;
  return 0;
}

void TIdSocketHandle::TakeLocalAddressOf(int32_t AListeningSocket) {
  {
    std::lock_guard<std::mutex> guard(ListeningLock);
    auto it = std::find_if(Listening.begin(), Listening.end(),
                           [&](const TListening& l) { return l.Descriptor == AListeningSocket; });
    if (it != Listening.end() && !it->IP.empty()) {
      IP_ = it->IP;
      Port_ = it->Port;
      IPVersion_ = it->Version;
      return;
    }
  }
  // Bound to every address: only the system knows which one the client
  // reached.
  RefreshLocalAddress();
}

void TIdSocketHandle::AcceptInSlices(int32_t AMSec) {
  // A socket passed in by its maker may come without waits; its accept
  // would then never wait, and the slices would spin.
  const int flags = fcntl(Descriptor_, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) fcntl(Descriptor_, F_SETFL, flags & ~O_NONBLOCK);
  timeval slice{};
  slice.tv_sec = AMSec / 1000;
  slice.tv_usec = static_cast<suseconds_t>(AMSec % 1000) * 1000;
  SetOption(SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
  std::lock_guard<std::mutex> guard(ListeningLock);
  if (Listening_) return;
  Listening.push_back({Descriptor_, IsEveryAddress(IP_) ? std::string() : IP_, Port_, IPVersion_});
  Listening_ = true;
}

bool TIdSocketHandle::AcceptsInSlices(int32_t AListeningSocket) {
  std::lock_guard<std::mutex> guard(ListeningLock);
  return std::any_of(Listening.begin(), Listening.end(),
                     [&](const TListening& l) { return l.Descriptor == AListeningSocket; });
}

void TIdSocketHandle::ForgetListening() {
  if (!Listening_) return;
  std::lock_guard<std::mutex> guard(ListeningLock);
  Listening.erase(std::remove_if(Listening.begin(), Listening.end(),
                                 [&](const TListening& l) { return l.Descriptor == Descriptor_; }),
                  Listening.end());
  Listening_ = false;
}

int32_t TIdSocketHandle::ConnectToPeer(uint16_t AFamily) {
  TIdStack& stack = Stack();
  const int32_t result =
      stack.ConnectSocket(Descriptor_, AFamily, RemoteIP_, static_cast<uint16_t>(RemotePort_));
  if (result != IdSocketError) {
    RefreshLocalAddress();
    RefreshPeerAddress();
  }
  return result;
}

bool TIdSocketHandle::WaitReadable(int32_t AMSec) {
  if (!Allocated()) throw EIdConnClosedGracefully();
  return WaitHandleReadable(Descriptor_, AMSec);
}

bool TIdSocketHandle::WaitHandleReadable(int32_t AHandle, int32_t AMSec) {
  return Stack().PollReadable(AHandle, AMSec) == 1;
}

int32_t TIdSocketHandle::ReceiveBytes(void* ABuffer, int32_t ALength, int32_t AFlags) {
  return Stack().ReceiveSocket(Descriptor_, ABuffer, ALength, AFlags);
}

int32_t TIdSocketHandle::SendBytes(const void* ABuffer, int32_t ALength, int32_t AFlags) {
  return Stack().SendSocket(Descriptor_, ABuffer, ALength, AFlags);
}

int32_t TIdSocketHandle::ReceiveDatagram(void* ABuffer, int32_t ALength, int32_t AFlags,
                                         std::string& AIP, int32_t& APort) {
  return Stack().ReceiveFromSocket(Descriptor_, ABuffer, ALength, AFlags, AIP, APort);
}

void TIdSocketHandle::SetOption(int32_t ALevel, int32_t AOptName, const void* AOptValue,
                                int32_t AOptLength) {
  TIdStack& stack = Stack();
  stack.CheckSocketResult(
      stack.SetSocketOption(Descriptor_, ALevel, AOptName, AOptValue, AOptLength));
}

void TIdSocketHandle::SetPeerAddress(const std::string& AIP, int32_t APort) {
  RemoteIP_ = AIP;
  RemotePort_ = APort;
}

void TIdSocketHandle::RefreshLocalAddress() {
  int32_t family = 0;
  Stack().LocalSocketAddress(Descriptor_, family, IP_, Port_);
  // An accepted socket is of its listener's family.
  if (family == AF_INET6) IPVersion_ = Id_IPv6;
  if (family == AF_INET) IPVersion_ = Id_IPv4;
}

void TIdSocketHandle::RefreshPeerAddress() {
  int32_t family = 0;
  Stack().PeerSocketAddress(Descriptor_, family, RemoteIP_, RemotePort_);
}

void TIdSocketHandle::ClearBinding(bool AClearLocal) {
  ForgetListening();
  Allocated_ = false;
  Adopted_ = false;
  Descriptor_ = IdInvalidSocket;
  if (AClearLocal) {
    IP_.clear();
    Port_ = 0;
  }
  RemoteIP_.clear();
  RemotePort_ = 0;
}

void TIdSocketHandle::Assign(const TPersistent* ASource) {
  // Exactly this class: a descendant may carry state these four fields do
  // not describe, so it goes the inherited way and is refused.
  if (ASource != nullptr && typeid(*ASource) == typeid(TIdSocketHandle)) {
    const auto* source = static_cast<const TIdSocketHandle*>(ASource);
    IP_ = source->IP_;
    Port_ = source->Port_;
    RemoteIP_ = source->RemoteIP_;
    RemotePort_ = source->RemotePort_;
    IPVersion_ = source->IPVersion_;
    DualStack_ = source->DualStack_;
    return;
  }
  TCollectionItem::Assign(ASource);
}

TIdSocketHandles::TIdSocketHandles(TPersistent* AOwner)
    : TOwnedCollection<TIdSocketHandle>(AOwner) {}

TIdSocketHandle* TIdSocketHandles::Add() {
  TIdSocketHandle* handle = TOwnedCollection<TIdSocketHandle>::Add();
  handle->SetPort(DefaultPort_);
  return handle;
}

TIdSocketHandle* TIdSocketHandles::AddDefault() {
  TIdSocketHandle* handle = Add();
  if (Stack().IPv6Available()) {
    handle->SetIPVersion(Id_IPv6);
    handle->SetDualStack(true);
  }
  return handle;
}

}  // namespace ostrevan

