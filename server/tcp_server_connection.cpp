// SPDX-License-Identifier: MIT
#include "ostrevan/server/tcp_server_connection.h"

namespace ostrevan {

TIdTCPServerConnection::TIdTCPServerConnection(TIdTCPServer* AServer)
    : TIdTCPConnection(nullptr), Server_(AServer) {}

}  // namespace ostrevan
