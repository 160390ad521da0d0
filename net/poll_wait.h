// SPDX-License-Identifier: MIT
#pragma once

#include <poll.h>

#include <cstdint>

namespace ostrevan {

/// poll() with the framework's time-out convention: ATimeout in milliseconds,
/// -2 (or any negative value) without limit. An interrupting signal does not
/// end the wait: poll is called again with the time that remains. Returns
/// poll's result (ready count, 0 on time-out, -1 on another failure).
int PollRetrying(pollfd* AFds, nfds_t ACount, int32_t ATimeout);

}  // namespace ostrevan
