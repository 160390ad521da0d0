// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrevan::bench {

// What can go wrong with one Time protocol exchange, as the load generator
// sees it from the client side.
enum class FailureKind {
  Refused,     // nobody listens (ECONNREFUSED)
  Reset,       // the server reset the connection (ECONNRESET, EPIPE)
  ShortRead,   // end of stream after fewer than four bytes
  ExtraBytes,  // a fifth byte arrived
  WrongValue,  // four bytes, but not the local clock's count
  Timeout,     // no end of stream within the time allowed
  Other,       // a local failure: no descriptor, no port, any other error
};
inline constexpr int kFailureKindCount = 7;
const char* FailureKindName(FailureKind kind);

struct LoadOptions {
  std::string Address = "127.0.0.1";
  uint16_t Port = 0;
  // Connections kept open at the same time; each one that ends is replaced
  // at once by the next until a bound is reached.
  int Clients = 4;
  // Event loops, each on its own thread, sharing the clients between them;
  // 0 means one per CPU, at most one per client. On loopback the client's
  // side carries most of the kernel's handshake work, so one loop alone
  // can be slower than the server it measures.
  int Threads = 0;
  // Total connections to make; 0 means no count bound (then DurationMs must
  // be set).
  uint64_t Connections = 10000;
  // No new connection starts after this many milliseconds; 0 means no bound.
  int64_t DurationMs = 0;
  // Hard bound of the whole run: connections still open then fail as
  // timeouts and the run ends, however the server behaves.
  int64_t TimeLimitMs = 120000;
  // One connection may take this long from its start to end of stream.
  int64_t ConnectionTimeoutMs = 5000;
  // How far the count may stray from the local clock's.
  uint32_t ToleranceSeconds = 2;
  // Source addresses 127.0.0.1 .. 127.0.0.Sources, taken in turn, for runs
  // that would otherwise exhaust one address's ephemeral ports. 1 leaves
  // the choice to the kernel.
  int Sources = 1;
  // Close with an immediate reset instead of a FIN after end of stream.
  bool ResetOnClose = false;
};

// Checks the bounds and ranges of the options; returns an empty text when
// they are usable, else what is wrong.
std::string ValidateLoadOptions(const LoadOptions& options);

struct LoadResult {
  uint64_t Attempted = 0;
  uint64_t Succeeded = 0;
  std::array<uint64_t, kFailureKindCount> Failures{};
  // Connect start to end of stream, in nanoseconds, of every connection
  // that succeeded, in no particular order.
  std::vector<uint64_t> LatenciesNs;
  // From the first connection's start to the last one's end.
  double ElapsedSeconds = 0;
  // The hard time limit ended the run before its own bounds did. The run
  // then counts as failed even when no connection was in flight to fail.
  bool HitTimeLimit = false;
  // The event loops that ran, after 0 was resolved to one per CPU.
  int Loops = 0;
  // The first failure of kind Other, described, so that a local limit does
  // not hide behind a count.
  std::string FirstOtherError;

  uint64_t FailureCount() const;
  // No connection failed and the run was not cut short.
  bool AllSucceeded() const { return FailureCount() == 0 && !HitTimeLimit; }
  double ConnectionsPerSecond() const;
};

// Runs the load as the options say and returns what happened. Blocks the
// calling thread; uses Threads - 1 further threads. A local setup failure
// (no epoll instance, no thread) raises std::system_error.
LoadResult RunLoad(const LoadOptions& options);

}  // namespace ostrevan::bench
