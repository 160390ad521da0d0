// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

/// Every refusal or failure of a SOCKS proxy negotiation.
OSTREVAN_EXCEPTION(EIdSocksError, EIdException);
/// Raised with "Request rejected or failed.".
OSTREVAN_EXCEPTION_MSG(EIdSocksRequestFailed, EIdSocksError, "Request rejected or failed.");
/// Raised with "Request rejected because SOCKS server cannot connect.".
OSTREVAN_EXCEPTION_MSG(EIdSocksRequestServerFailed, EIdSocksError,
                       "Request rejected because SOCKS server cannot connect.");
/// Raised with "Request rejected because the client program and identd report different user-ids.".
OSTREVAN_EXCEPTION_MSG(EIdSocksRequestIdentFailed, EIdSocksError,
                       "Request rejected because the client program and identd report different user-ids.");
/// Raised with "Unknown socks error.".
OSTREVAN_EXCEPTION_MSG(EIdSocksUnknownError, EIdSocksError, "Unknown socks error.");
/// Raised with "Socks server did not respond.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerRespondError, EIdSocksError, "Socks server did not respond.");
/// Raised with "Invalid socks authentication method.".
OSTREVAN_EXCEPTION_MSG(EIdSocksAuthMethodError, EIdSocksError, "Invalid socks authentication method.");
/// Raised with "Authentication error to socks server.".
OSTREVAN_EXCEPTION_MSG(EIdSocksAuthError, EIdSocksError, "Authentication error to socks server.");
/// Raised with "General SOCKS server failure.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerGeneralError, EIdSocksError, "General SOCKS server failure.");
/// Raised with "Connection not allowed by ruleset.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerPermissionError, EIdSocksError, "Connection not allowed by ruleset.");
/// Raised with "Network unreachable.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerNetUnreachableError, EIdSocksError, "Network unreachable.");
/// Raised with "Host unreachable.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerHostUnreachableError, EIdSocksError, "Host unreachable.");
/// Raised with "Connection refused.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerConnectionRefusedError, EIdSocksError, "Connection refused.");
/// Raised with "TTL expired.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerTTLExpiredError, EIdSocksError, "TTL expired.");
/// Raised with "Command not supported.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerCommandError, EIdSocksError, "Command not supported.");
/// Raised with "Address type not supported.".
OSTREVAN_EXCEPTION_MSG(EIdSocksServerAddressError, EIdSocksError, "Address type not supported.");

}  // namespace ostrevan
