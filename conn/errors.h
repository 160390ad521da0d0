// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/net/errors.h"

namespace ostrevan {

/// Root of the errors of connections.
OSTREVAN_EXCEPTION(EIdTCPConnectionError, EIdException);
/// Raised with "Not Connected".
OSTREVAN_EXCEPTION_MSG(EIdNotConnected, EIdTCPConnectionError, "Not Connected");
/// Raised with "Not enough data in buffer.".
OSTREVAN_EXCEPTION_MSG(EIdNotEnoughDataInBuffer, EIdTCPConnectionError, "Not enough data in buffer.");
/// Raised with "No data to read.".
OSTREVAN_EXCEPTION_MSG(EIdNoDataToRead, EIdTCPConnectionError, "No data to read.");
/// Raised with "File \"<name>\" not found".
OSTREVAN_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError);

}  // namespace ostrevan
