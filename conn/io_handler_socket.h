// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/conn/io_handler.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/runtime/maybe_owned.h"
#include "ostrevan/runtime/recycled.h"

namespace ostrevan {

class TIdSocksInfo;

/// The transport over one socket: an accepted one (made by a server I/O
/// handler) or one it connects itself, directly or through a SOCKS proxy.
///
/// Used by the thread of its connection. Close is safe from any thread: a
/// Close that meets a receive, send, wait or connect in progress on another
/// thread only shuts the socket down, which ends that call, and the call
/// closes the descriptor as it leaves. So a descriptor is never closed while
/// a call may still use its number, which the system could meanwhile have
/// given to another socket. ConnectTo is one such call from the socket's
/// creation to the end of its connect: a Close at any point of it makes it
/// raise (EIdClosedSocket, or the connect's own error) and leaves the
/// handler closed.
class OSTREVAN_EXPORT TIdIOHandlerSocket : public TIdIOHandler, public TRecycled<TIdIOHandlerSocket> {
 public:
  /// A handler without a socket yet, of AOwner (none: ownerless).
  explicit TIdIOHandlerSocket(TComponent* AOwner);
  ~TIdIOHandlerSocket() override;

  /// Closes the binding; harmless when there is none or it is closed.
  void Close() override;
  /// Connects Binding to the host and port, or to the SOCKS proxy when
  /// SocksInfo selects a version and then negotiates on to the host. A
  /// failure before the negotiation closes the socket; a refusal by the
  /// proxy leaves the connection to the proxy open.
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP = "",
                 int32_t ABoundPort = 0, int32_t ABoundPortMin = 0, int32_t ABoundPortMax = 0,
                 int32_t ATimeout = -1) override;
  /// Binding present, its socket open, and no Close asked for.
  bool Connected() override;
  /// Creates Binding, or closes and resets the one there is.
  void Open() override;
  /// Raises EIdConnClosedGracefully when closed, as the binding does.
  bool WaitReadable(int32_t AMSec) override;
  ///@{
  /// Raise EIdClosedSocket "Disconnected." when not connected.
  int32_t Receive(void* ABuffer, int32_t ALength) override;
  int32_t Send(const void* ABuffer, int32_t ALength) override;
  ///@}

  /// The socket; none before Open (or the first ConnectTo). Owned.
  TIdSocketHandle* Binding() const { return Binding_.get(); }
  ///@{
  /// The IP version a client connect looks a host name up for (IPv4 unless
  /// set); an address given as text is of its own version.
  TIdIPVersion IPVersion() const { return IPVersion_; }
  void SetIPVersion(TIdIPVersion value) { IPVersion_ = value; }
  ///@}
  ///@{
  /// When false, a client connect switches off the Nagle algorithm.
  bool UseNagle() const { return UseNagle_; }
  void SetUseNagle(bool value) { UseNagle_ = value; }
  ///@}
  ///@{
  /// The proxy settings. Reading creates an instance owned by this handler
  /// when there is none. A given instance is only referenced, with free
  /// notification; its owner (or the caller, when it has none) frees it.
  /// Either way its ProxyHandler is this handler.
  TIdSocksInfo* SocksInfo();
  void SetSocksInfo(TIdSocksInfo* value);
  ///@}
  /// The instance without creating one; none until read or set.
  TIdSocksInfo* SocksInfoIfAny() const { return SocksInfo_.Get(); }

  /// A call on the socket that a Close from another thread must not cut
  /// short by closing the descriptor: while one is in progress, Close only
  /// shuts the socket down, and the last one to end closes it. Acquired is
  /// false when the handler is not connected; nothing may be done then.
  /// With AAllocate the binding's socket is created first, under the same
  /// lock, so that no Close finds the new socket outside a use.
  class TBindingUse {
   public:
    /// Begins a use of AHandler's binding (see the class).
    explicit TBindingUse(TIdIOHandlerSocket& AHandler, bool AAllocate = false);
    ~TBindingUse();
    TBindingUse(const TBindingUse&) = delete;
    TBindingUse& operator=(const TBindingUse&) = delete;
    /// True when the use began: the handler was connected.
    bool Acquired() const { return Acquired_; }

   private:
    TIdIOHandlerSocket& Handler_;
    bool Acquired_;
  };

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  /// A blocking connect on a separate thread, given up after the time (ms;
  /// negative: no limit) with EIdConnectTimeout "Connect timed out.", or
  /// with EIdClosedSocket when a Close from another thread comes first.
  /// Runs inside ConnectTo's use of the binding.
  virtual void TimedConnect(int32_t ATimeout);

 private:
  bool BeginUse(bool AAllocate);
  /// EIdClosedSocket when a Close came during the use in progress.
  void ThrowIfClosing() const;
  void EndUse();
  /// Shuts the socket down again while a use holds it open.
  void ShutdownInUse();
  /// Frees an owned SocksInfo, forgets a referenced one.
  void DropSocksInfo();

  std::unique_ptr<TIdSocketHandle> Binding_;
  TIdIPVersion IPVersion_ = Id_IPv4;
  bool UseNagle_ = true;
  TMaybeOwned<TIdSocksInfo> SocksInfo_;
  /// Guards Users_, the changes of Closing_ and of Binding_ and its
  /// descriptor, and makes the decision of Close (close now or only shut
  /// down) atomic with the start and end of uses. While it is held only the
  /// socket calls that create, shut down and close the socket are made; the
  /// only lock taken under it is the socket handle's CloseLock_ (its Allocate
  /// and Close), and it is never held across a blocking call.
  std::mutex UseLock_;
  int32_t Users_ = 0;
  /// A Close came while a use was in progress: the socket is shut down and
  /// closes when the last use ends.
  std::atomic<bool> Closing_{false};
};

}  // namespace ostrevan
