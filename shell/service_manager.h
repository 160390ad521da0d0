// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace ostrevan {

/// The daemon's channel to the service manager that started it: the
/// notification socket (readiness, status, stop, watchdog pings) and the
/// listening sockets it passed. Everything is read from the environment
/// once, on construction, which runs on the main thread before any other
/// thread exists; the passed sockets' variables are then removed, so that
/// no program the daemon might start takes them for its own.
///
/// Without a notification socket, or in a build without libsystemd
/// (OSTREVAN_SYSTEMD off or the library missing), Notify does nothing and
/// no socket is passed. Notify may be called from any thread.
class TServiceManager {
 public:
  /// The sockets passed at start (LISTEN_FDS for this process): the first
  /// listening stream socket and the first datagram socket, or -1 for a
  /// kind that was not passed. Any other passed descriptor is closed.
  struct TPassedSockets {
    int Stream = -1;
    int Datagram = -1;
  };

  TServiceManager();

  /// Whether there is a notification socket to tell.
  bool Notifying() const { return Notifying_; }
  /// Sends one notification ("READY=1", "STATUS=...", lines separated by
  /// line feeds). A manager that has gone is not an error: nothing is
  /// reported.
  void Notify(const std::string& AState) const;
  /// How often the manager wants a watchdog ping (WATCHDOG_USEC, for this
  /// process when WATCHDOG_PID is set), or nothing without a watchdog.
  std::optional<std::chrono::microseconds> WatchdogInterval() const { return WatchdogInterval_; }
  /// The sockets passed at start; both -1 when none were.
  const TPassedSockets& Passed() const { return Passed_; }

 private:
  bool Notifying_ = false;
  std::optional<std::chrono::microseconds> WatchdogInterval_;
  TPassedSockets Passed_;
};

}  // namespace ostrevan
