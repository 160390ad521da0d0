// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"

namespace ostrevan {

class TIdTCPConnection;

/// Upgrades a live plain connection to TLS in place, after the protocol's
/// own exchange (a STARTTLS command and its reply): on a server's
/// connection as the server end, on a client's as the client. The bytes the
/// connection has received but not yet read are the first of the
/// handshake: a peer that sent its hello right behind its command loses
/// nothing, and plain bytes sent after the command are never read as if
/// they had come over TLS (they fail the handshake).
///
/// The connection's handler must be a TIdIOHandlerTLS left plain by
/// PassThrough; otherwise EIdTLSError. A failed handshake disconnects the
/// connection and raises EIdTLSError. Call on the connection's own thread.
OSTREVAN_EXPORT void StartTLS(TIdTCPConnection& AConnection);

}  // namespace ostrevan
