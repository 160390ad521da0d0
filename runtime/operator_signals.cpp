// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/operator_signals.h"

namespace ostrevan {

sigset_t OperatorSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace ostrevan
