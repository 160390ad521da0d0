// SPDX-License-Identifier: MIT
#include "ostrevan/conn/server_io_handler.h"

#include <cerrno>
#include <memory>

#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptConnection(int32_t, TIdThread*) { return nullptr; }

namespace {

// An accept for a thread that the closer of the listening socket has
// stopped. The server shuts the socket down to wake the listener before it
// is closed, and an accept that the shutdown wakes fails with EINVAL, as on
// any socket that does not listen: the socket layer cannot tell the two
// apart, this loop can. After the stop it is the end of the wait; without
// one it stays an error.
TIdSocketHandle::TPendingAccept AcceptForStoppable(TIdSocketHandle& ABinding,
                                                  int32_t AListeningSocket, TIdThread& AThread) {
  try {
    return ABinding.AcceptPending(AListeningSocket);
  } catch (const EIdSocketError& e) {
    if (e.ErrorNumber() == EINVAL && AThread.Stopped()) return TIdSocketHandle::paFailed;
    throw;
  }
}

// Without a thread to watch: waits as long as it takes.
bool AcceptWhenReady(TIdSocketHandle& ABinding, int32_t AListeningSocket) {
  if (!TIdSocketHandle::AcceptsInSlices(AListeningSocket)) return ABinding.AcceptFrom(AListeningSocket);
  for (;;) {
    const TIdSocketHandle::TPendingAccept result = ABinding.AcceptPending(AListeningSocket);
    if (result != TIdSocketHandle::paNoneWaiting) return result == TIdSocketHandle::paAccepted;
  }
}

}  // namespace

std::unique_ptr<TIdIOHandlerSocket> TIdServerIOHandlerSocket::NewHandler() {
  return std::make_unique<TIdIOHandlerSocket>(nullptr);
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptConnection(int32_t AListeningSocket,
                                                                         TIdThread* AThread) {
  std::unique_ptr<TIdIOHandlerSocket> handler = NewHandler();
  handler->Open();
  TIdSocketHandle& binding = *handler->Binding();
  if (AThread == nullptr) {
    if (!AcceptWhenReady(binding, AListeningSocket)) return nullptr;
    return handler;
  }
  // A listening socket the server made waits a slice in its accept: one
  // call per connection. One of someone else's making waits a slice before
  // each accept. Either way the stop is seen between slices. A wait on a
  // listening socket closed meanwhile fails at once and counts as not
  // readable, so the loop spins until the thread is stopped: the server
  // stops the thread before it closes the socket.
  const bool inSlices = TIdSocketHandle::AcceptsInSlices(AListeningSocket);
  while (!AThread->Stopped()) {
    if (!inSlices && !TIdSocketHandle::WaitHandleReadable(AListeningSocket, kAcceptSlice)) continue;
    switch (AcceptForStoppable(binding, AListeningSocket, *AThread)) {
      case TIdSocketHandle::paAccepted: return handler;
      case TIdSocketHandle::paFailed: return nullptr;
      // None within the slice, or gone before the accept (a client that
      // reset it): wait again.
      case TIdSocketHandle::paNoneWaiting: break;
    }
  }
  return nullptr;
}

}  // namespace ostrevan
