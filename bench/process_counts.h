// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace ostrevan::bench {

// Open descriptors and threads of a running process, as /proc lists them.
struct ProcessCounts {
  int64_t Descriptors = -1;  // entries of /proc/PID/fd, -1 when unreadable
  int64_t Threads = -1;      // entries of /proc/PID/task, -1 when unreadable

  bool Readable() const { return Descriptors >= 0 && Threads >= 0; }
  // True when neither count exceeds the other's.
  bool AtMost(const ProcessCounts& limit) const {
    return Descriptors <= limit.Descriptors && Threads <= limit.Threads;
  }
};

ProcessCounts CountProcess(pid_t pid);

// Polls the counts every pollMs until they are at most the limit or
// timeoutMs has passed, and returns the last counts read. A process that
// has gone returns unreadable counts at once.
ProcessCounts WaitForCountsAtMost(pid_t pid, const ProcessCounts& limit, int64_t timeoutMs,
                                  int64_t pollMs = 50);

}  // namespace ostrevan::bench
