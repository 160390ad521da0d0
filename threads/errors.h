// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

/// Root of the errors of the framework's threads.
OSTREVAN_EXCEPTION(EIdThreadException, EIdException);
/// Raised with "Cannot call TerminateAndWaitFor on FreeAndTerminate threads".
OSTREVAN_EXCEPTION_MSG(EIdThreadTerminateAndWaitFor, EIdThreadException,
                       "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");

}  // namespace ostrevan
