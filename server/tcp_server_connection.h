// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"
#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/runtime/recycled.h"

namespace ostrevan {

class TIdTCPServer;

/// The connection of one accepted client, owned and used by its peer thread;
/// the server's thread may call CloseTransport while it deactivates.
class OSTREVAN_EXPORT TIdTCPServerConnection : public TIdTCPConnection,
                               public TRecycled<TIdTCPServerConnection> {
 public:
  /// No owner component: the peer thread frees it.
  explicit TIdTCPServerConnection(TIdTCPServer* AServer);

  /// The server that accepted the connection.
  TIdTCPServer* Server() const { return Server_; }

 private:
  TIdTCPServer* const Server_;
};

}  // namespace ostrevan
