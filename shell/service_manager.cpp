// SPDX-License-Identifier: MIT
#include "ostrevan/shell/service_manager.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#if OSTREVAN_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace ostrevan {

#if OSTREVAN_HAVE_SYSTEMD

namespace {

TServiceManager::TPassedSockets TakePassedSockets() {
  TServiceManager::TPassedSockets passed;
  // Removes LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES: they were for this
  // process alone.
  const int count = sd_listen_fds(1);
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    // IPv4 or IPv6 (0 for the family), listening or not, any port.
    if (passed.Stream < 0 && sd_is_socket_inet(fd, 0, SOCK_STREAM, 1, 0) > 0) {
      passed.Stream = fd;
    } else if (passed.Datagram < 0 && sd_is_socket_inet(fd, 0, SOCK_DGRAM, -1, 0) > 0) {
      passed.Datagram = fd;
    } else {
      // Nothing here serves it; it is the manager's, which keeps its own.
      close(fd);
    }
  }
  return passed;
}

}  // namespace

TServiceManager::TServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  Notifying_ = socket != nullptr && *socket != '\0';
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    WatchdogInterval_ = std::chrono::microseconds(usec);
  }
  Passed_ = TakePassedSockets();
}

void TServiceManager::Notify(const std::string& AState) const {
  if (Notifying_) (void)sd_notify(0, AState.c_str());
}

#else

TServiceManager::TServiceManager() = default;

void TServiceManager::Notify(const std::string&) const {}

#endif

}  // namespace ostrevan
