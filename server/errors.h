// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

/// Root of the errors of the TCP server.
OSTREVAN_EXCEPTION(EIdTCPServerError, EIdException);
/// Raised with "No execute handler found.".
OSTREVAN_EXCEPTION_MSG(EIdNoExecuteSpecified, EIdTCPServerError, "No execute handler found.");
/// Raised with "Terminate Thread Timeout".
OSTREVAN_EXCEPTION_MSG(EIdTerminateThreadTimeout, EIdTCPServerError, "Terminate Thread Timeout");

/// Root of the errors of thread managers.
OSTREVAN_EXCEPTION(EIdThreadMgrError, EIdException);
/// Raised with "Thread Class Not Specified.".
OSTREVAN_EXCEPTION_MSG(EIdThreadClassNotSpecified, EIdThreadMgrError, "Thread Class Not Specified.");

}  // namespace ostrevan
