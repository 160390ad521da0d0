#include "conn/server_io_handler.h"

#include <cerrno>
#include <memory>

#include "conn/io_handler_socket.h"
#include "net/errors.h"
#include "threads/id_thread.h"

namespace ostrevan {

std::unique_ptr<TIdIOHandler> TIdServerIOHandler::AcceptConnection(int32_t, TIdThread*) { return nullptr; }

namespace {

// An accept for a thread that the closer of the listening socket has
// stopped. The server shuts the socket down to wake the listener before it
// is closed, and an accept that the shutdown wakes fails with EINVAL, as on
// any socket that does not listen: the socket layer cannot tell the two
// apart, this loop can. After the stop it is the end of the wait; without
// one it stays an error.
bool AcceptForStoppable(TIdSocketHandle& ABinding, int32_t AListeningSocket, TIdThread& AThread) {
  try {
    return ABinding.AcceptFrom(AListeningSocket);
  } catch (const EIdSocketError& e) {
    if (e.ErrorNumber() == EINVAL && AThread.Stopped()) return false;
    throw;
  }
}

}  // namespace

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSocket::AcceptConnection(int32_t AListeningSocket,
                                                                         TIdThread* AThread) {
  auto handler = std::make_unique<TIdIOHandlerSocket>(nullptr);
  handler->Open();
  if (AThread != nullptr) {
    // A wait on a listening socket closed meanwhile fails at once and counts
    // as not readable, so the loop spins until the thread is stopped: the
    // server stops the thread before it closes the socket.
    while (!AThread->Stopped()) {
      if (!TIdSocketHandle::WaitHandleReadable(AListeningSocket, kAcceptSlice)) continue;
      if (!AcceptForStoppable(*handler->Binding(), AListeningSocket, *AThread)) return nullptr;
      return handler;
    }
    return nullptr;
  }
  if (!handler->Binding()->AcceptFrom(AListeningSocket)) return nullptr;
  return handler;
}

}  // namespace ostrevan
