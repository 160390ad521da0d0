// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/net/errors.h"

namespace ostrevan {

OSTREVAN_EXCEPTION(EIdTCPConnectionError, EIdException);
OSTREVAN_EXCEPTION_MSG(EIdNotConnected, EIdTCPConnectionError, "Not Connected");
OSTREVAN_EXCEPTION_MSG(EIdNotEnoughDataInBuffer, EIdTCPConnectionError, "Not enough data in buffer.");
OSTREVAN_EXCEPTION_MSG(EIdNoDataToRead, EIdTCPConnectionError, "No data to read.");
/// Raised with "File \"<name>\" not found".
OSTREVAN_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError);

}  // namespace ostrevan
