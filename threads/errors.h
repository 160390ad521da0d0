// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

OSTREVAN_EXCEPTION(EIdThreadException, EIdException);
OSTREVAN_EXCEPTION_MSG(EIdThreadTerminateAndWaitFor, EIdThreadException,
                       "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");

}  // namespace ostrevan
