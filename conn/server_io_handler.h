// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"

namespace ostrevan {

class TIdIOHandler;
class TIdIOHandlerSocket;
class TIdThread;

/// Accepts connections for a server: given a listening socket, it returns a
/// new I/O handler bound to the accepted connection, or none. Used by the
/// listener threads; Prepare by the thread that activates the server.
class OSTREVAN_EXPORT TIdServerIOHandler : public TIdComponent {
 public:
  /// A handler of AOwner (none: ownerless).
  explicit TIdServerIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}

  /// Called when the server activates.
  virtual void Prepare() {}
  /// The handler of one accepted connection, or none.
  virtual std::unique_ptr<TIdIOHandler> AcceptConnection(int32_t AListeningSocket, TIdThread* AThread);
};

/// Accepts into a new TIdIOHandlerSocket. With a thread it waits in slices of
/// AcceptSlice milliseconds and gives up (none) once the thread is Stopped;
/// without one it blocks in the accept.
class OSTREVAN_EXPORT TIdServerIOHandlerSocket : public TIdServerIOHandler {
 public:
  /// AcceptSlice: how long one wait of an accept lasts, in ms.
  static constexpr int32_t kAcceptSlice = 100;

  /// A handler of AOwner (none: ownerless).
  explicit TIdServerIOHandlerSocket(TComponent* AOwner) : TIdServerIOHandler(AOwner) {}

  /// A listening socket closed (or, after the thread's stop, shut down)
  /// under the wait, or an interrupted accept, gives none; other socket
  /// errors raise EIdSocketError. None is the end of a listener only when
  /// its thread is stopped; else the listener tries again a slice later.
  /// The handler made for the connection is freed on every path that does
  /// not return it.
  std::unique_ptr<TIdIOHandler> AcceptConnection(int32_t AListeningSocket, TIdThread* AThread) override;

 protected:
  /// The handler an accepted connection gets, before the accept: a derived
  /// acceptor hands out a handler of its own kind over the same socket.
  virtual std::unique_ptr<TIdIOHandlerSocket> NewHandler();
};

}  // namespace ostrevan
