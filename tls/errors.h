// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/net/errors.h"

namespace ostrevan {

/// A TLS failure: settings that do not load, a handshake that fails or
/// times out, a record that does not decrypt, or an alert from the peer.
/// The message names the step ("TLS handshake failed: ...") and carries the
/// TLS library's reason, with the certificate verification result in
/// parentheses where one applies ("certificate verify failed (certificate
/// has expired)").
OSTREVAN_EXCEPTION(EIdTLSError, EIdException);

}  // namespace ostrevan
