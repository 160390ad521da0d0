#include "conn/server_io_handler.h"

#include <memory>

#include "conn/io_handler_socket.h"
#include "threads/id_thread.h"

namespace ostrevan {

TIdIOHandler* TIdServerIOHandler::AcceptConnection(int32_t, TIdThread*) { return nullptr; }

TIdIOHandler* TIdServerIOHandlerSocket::AcceptConnection(int32_t AListeningSocket,
                                                         TIdThread* AThread) {
  auto handler = std::make_unique<TIdIOHandlerSocket>(nullptr);
  handler->Open();
  if (AThread != nullptr) {
    // A wait on a listening socket closed meanwhile fails at once and counts
    // as not readable, so the loop spins until the thread is stopped: the
    // server stops the thread before it closes the socket.
    while (!AThread->Stopped()) {
      if (!TIdSocketHandle::WaitHandleReadable(AListeningSocket, kAcceptSlice)) continue;
      if (!handler->Binding()->AcceptFrom(AListeningSocket)) return nullptr;
      return handler.release();
    }
    return nullptr;
  }
  if (!handler->Binding()->AcceptFrom(AListeningSocket)) return nullptr;
  return handler.release();
}

}  // namespace ostrevan
