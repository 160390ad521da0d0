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
// path count (for a pipe, "pipe:[inode]" as /proc shows it). Detaches when
// destroyed. Used by the test's thread only.
class TInjectedFault {
 public:
  struct TCall {
    std::string Name;   // "bind", "clone3", "read"
    std::string Error;  // "EADDRINUSE"
    int Nth = 1;
    std::string Path;   // "" for every call of the name
  };

  TInjectedFault(pid_t pid, const TCall& call);
  ~TInjectedFault();
  TInjectedFault(const TInjectedFault&) = delete;
  TInjectedFault& operator=(const TInjectedFault&) = delete;

  // Why the fault cannot be injected here (strace missing, tracing not
  // permitted), or "" when strace is attached and waiting for the call.
  const std::string& SkipReason() const { return SkipReason_; }
  // Waits (bounded) until the call has been made to fail.
  bool Injected(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  TTempDir Dir_;
  std::unique_ptr<TSpawnedProcess> Strace_;
  std::string SkipReason_;
};

}  // namespace ostrevan::testing
