// SPDX-License-Identifier: MIT
#include "ostrevan/bench/process_counts.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

namespace ostrevan::bench {

namespace {

int64_t CountEntries(const std::string& path) {
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return -1;
  int64_t count = 0;
  while (const dirent* entry = readdir(directory)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") ++count;
  }
  closedir(directory);
  return count;
}

}  // namespace

ProcessCounts CountProcess(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessCounts counts;
  counts.Descriptors = CountEntries(base + "/fd");
  counts.Threads = CountEntries(base + "/task");
  // Counting our own descriptors sees the directory stream opened to count
  // them; it is closed again and not the process's own.
  if (pid == getpid() && counts.Descriptors > 0) --counts.Descriptors;
  return counts;
}

ProcessCounts WaitForCountsAtMost(pid_t pid, const ProcessCounts& limit, int64_t timeoutMs,
                                  int64_t pollMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const ProcessCounts counts = CountProcess(pid);
    if (!counts.Readable() || counts.AtMost(limit)) return counts;
    if (std::chrono::steady_clock::now() >= deadline) return counts;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}

}  // namespace ostrevan::bench
