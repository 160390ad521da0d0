// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <functional>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"
#include "ostrevan/runtime/stream.h"

namespace ostrevan {

class TIdConnectionIntercept;

/// An event with only the intercept.
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
/// AStream holds one block, positioned at its start; a handler may rewrite
/// the bytes and change their number.
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* ASender, TStream& AStream)>;

/// A hook object that a connection calls when it connects, disconnects,
/// receives and sends, to watch or rewrite the bytes. Intercepts chain: each
/// passes every hook on to its NestedIntercept, so that received bytes pass
/// the innermost intercept first and bytes to send the outermost first.
///
/// Used by the thread that uses its connection, and has no lock; Disconnect
/// also runs on a thread that closes the connection from outside, once for
/// each close (the connection sees to that), possibly while the connection's
/// own thread is in Receive or Send. One intercept serving several
/// connections at once must guard its own state.
class OSTREVAN_EXPORT TIdConnectionIntercept : public TIdBaseComponent {
 public:
  /// An intercept of AOwner (none: ownerless).
  explicit TIdConnectionIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

  /// Stores the connection, calls OnConnect, then passes the hook on.
  virtual void Connect(TComponent* AConnection);
  /// Passes the hook on first, then calls OnDisconnect and forgets the
  /// connection.
  virtual void Disconnect();
  /// Passes the block on first, then calls OnReceive and rewinds.
  virtual void Receive(TStream& AStream);
  /// Calls OnSend and rewinds, then passes the block on.
  virtual void Send(TStream& AStream);

  /// The connection served now, or none; not owned.
  TComponent* Connection() const { return Connection_.load(); }
  ///@{
  /// Not owned; cleared when that intercept is destroyed.
  TIdConnectionIntercept* NestedIntercept() const { return NestedIntercept_; }
  void SetNestedIntercept(TIdConnectionIntercept* value);
  ///@}

  /// Told when the connection the intercept serves has connected.
  TIdInterceptNotifyEvent OnConnect;
  /// Told when that connection disconnects.
  TIdInterceptNotifyEvent OnDisconnect;
  /// Given the bytes just received, which it may change.
  TIdInterceptStreamEvent OnReceive;
  /// Given the bytes about to be sent, which it may change.
  TIdInterceptStreamEvent OnSend;

 protected:
  /// Each calls the same hook of NestedIntercept when there is one.
  virtual void NestedConnect(TComponent* AConnection);
  /// Passes the disconnect on to NestedIntercept, when set.
  virtual void NestedDisconnect();
  /// Passes the received bytes on to NestedIntercept, when set.
  virtual void NestedReceive(TStream& AStream);
  /// Passes the bytes to send on to NestedIntercept, when set.
  virtual void NestedSend(TStream& AStream);

  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  /// Atomic: the disconnect hook clears it on the thread that closes the
  /// connection, which may be another than the one reading it.
  std::atomic<TComponent*> Connection_{nullptr};
  TIdConnectionIntercept* NestedIntercept_ = nullptr;
};

}  // namespace ostrevan
