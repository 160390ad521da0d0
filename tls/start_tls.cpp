// SPDX-License-Identifier: MIT
#include "ostrevan/tls/start_tls.h"

#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/tls/errors.h"
#include "ostrevan/tls/io_handler_tls.h"

namespace ostrevan {

void StartTLS(TIdTCPConnection& AConnection) {
  auto* handler = dynamic_cast<TIdIOHandlerTLS*>(AConnection.IOHandler());
  if (handler == nullptr) throw EIdTLSError("The connection's I/O handler cannot start TLS");
  if (handler->TLSActive()) throw EIdTLSError("TLS is on already");
  TIdManagedBuffer& buffer = AConnection.InBuffer();
  const std::string early = buffer.TakeText(static_cast<int32_t>(buffer.Size()));
  try {
    handler->StartTLS(early);
  } catch (...) {
    // Going on in plain text after a failed upgrade would serve whatever
    // the peer (or someone in between) sends as if it were protected.
    AConnection.Disconnect();
    throw;
  }
}

}  // namespace ostrevan
