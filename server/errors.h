// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

OSTREVAN_EXCEPTION(EIdTCPServerError, EIdException);
OSTREVAN_EXCEPTION_MSG(EIdNoExecuteSpecified, EIdTCPServerError, "No execute handler found.");
OSTREVAN_EXCEPTION_MSG(EIdTerminateThreadTimeout, EIdTCPServerError, "Terminate Thread Timeout");

OSTREVAN_EXCEPTION(EIdThreadMgrError, EIdException);
OSTREVAN_EXCEPTION_MSG(EIdThreadClassNotSpecified, EIdThreadMgrError, "Thread Class Not Specified.");

}  // namespace ostrevan
