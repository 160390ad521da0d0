// SPDX-License-Identifier: MIT
#include "ostrevan/net/poll_wait.h"

#include <cerrno>
#include <chrono>

namespace ostrevan {

int PollRetrying(pollfd* AFds, nfds_t ACount, int32_t ATimeout) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = ATimeout < 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : ATimeout);
  int remaining = unlimited ? -1 : ATimeout;
  for (;;) {
    const int result = poll(AFds, ACount, remaining);
    if (result != -1 || errno != EINTR) return result;
    if (unlimited) continue;
    // Round up so that the total wait is never shorter than asked.
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    remaining = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }
}

}  // namespace ostrevan
