// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>

#include "ostrevan/export.h"

namespace ostrevan {

/// The signals that end the program: SIGINT and SIGQUIT from the terminal,
/// SIGTERM from a service manager or kill, SIGHUP when the terminal hangs up.
/// The one definition for the two sides that must agree on it: every
/// framework thread blocks these from its first instruction and never takes
/// one, and the console on the main thread blocks them too and takes them
/// through a signal descriptor, at points where it can act on them.
OSTREVAN_EXPORT sigset_t OperatorSignals();

}  // namespace ostrevan
