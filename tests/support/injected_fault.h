// SPDX-License-Identifier: MIT
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/support/process.h"

namespace ostrevan::testing {

// One system call of a running program made to fail, without a race:
// strace attached to one thread of it (the main thread, for the process's
// ID) fails the Nth call of that name the thread makes from then on, once,
// with the given error; with a path, only calls on a descriptor of that
// path count (for a pipe, "pipe:[inode]" as /proc shows it). With Nth 0
// every such call fails until strace detaches, and with EveryThread the
// calls of all the program's threads count. Detaches when destroyed or
// told to. Used by the test's thread only.
class TInjectedFault {
 public:
  struct TCall {
    std::string Name;   // "bind", "clone3", "read"; "accept,accept4" for either
    std::string Error;  // "EADDRINUSE"
    int Nth = 1;        // 0 for every call
    std::string Path;   // "" for every call of the name
    bool EveryThread = false;
  };

  TInjectedFault(pid_t pid, const TCall& call);
  ~TInjectedFault();
  TInjectedFault(const TInjectedFault&) = delete;
  TInjectedFault& operator=(const TInjectedFault&) = delete;

  // Why the fault cannot be injected here (strace missing, tracing not
  // permitted), or "" when strace is attached and waiting for the call.
  const std::string& SkipReason() const { return SkipReason_; }
  // Waits (bounded) until the call has been made to fail, at least the
  // given number of times.
  bool Injected(std::chrono::milliseconds timeout = std::chrono::seconds(10), size_t times = 1);
  // How many calls have been made to fail so far.
  size_t InjectedCount();
  // Ends strace, which leaves the program running as it was.
  void Detach();

 private:
  TTempDir Dir_;
  std::unique_ptr<TSpawnedProcess> Strace_;
  std::string SkipReason_;
};

}  // namespace ostrevan::testing
