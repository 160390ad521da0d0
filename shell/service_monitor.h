// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "ostrevan/server/server_statistics.h"
#include "ostrevan/shell/service_manager.h"

namespace ostrevan {

class TIdTCPServer;
class TIdUDPServer;

/// What the service manager hears from the daemon: READY=1 once the first
/// start has opened both sides, a STATUS= line with the counts (sent again
/// at most once a second while they change), the reason when a start or a
/// port move fails (STATUS= and ERRNO=), STOPPING=1 when a stop begins, and
/// with a watchdog, WATCHDOG=1 pings only while every listener of both
/// servers is alive.
///
/// The shell calls it from the main thread; a thread of its own, started
/// only when there is a notification socket, sends the updates and pings.
/// The servers are watched from Serving to Unwatch, and the shell neither
/// activates, deactivates nor destroys them in between.
class TServiceMonitor {
 public:
  explicit TServiceMonitor(const TServiceManager& AManager);
  /// Ends the thread.
  ~TServiceMonitor();
  TServiceMonitor(const TServiceMonitor&) = delete;
  TServiceMonitor& operator=(const TServiceMonitor&) = delete;

  /// Both servers are active on APort: READY=1 the first time, and the
  /// status; from now on they are watched.
  void Serving(int32_t APort, TIdTCPServer& ATcp, TIdUDPServer& AUdp);
  /// The servers are about to be stopped: their counts join the totals of
  /// the servers before them, and they are watched no more.
  void Unwatch();
  /// A start or a port move failed: the reason, and the system's error
  /// number unless it is 0.
  void Failed(const std::string& AReason, int AError);
  /// A stop begins: STOPPING=1, and nothing more after it.
  void Stopping();

 private:
  void Watch();
  // The status line for the counts now, with Lock_ held.
  std::string StatusLocked() const;
  // The watchdog ping and a changed status, with Lock_ held.
  void TickLocked(std::chrono::steady_clock::time_point ANow);

  const TServiceManager& Manager_;
  // Guards everything below; held while a notification is sent.
  std::mutex Lock_;
  std::condition_variable Wake_;
  bool Ending_ = false;
  bool Ready_ = false;
  bool Stopping_ = false;
  int32_t Port_ = 0;
  TIdTCPServer* Tcp_ = nullptr;
  TIdUDPServer* Udp_ = nullptr;
  // The counts of the servers that are gone (port moves).
  TIdTCPServerStatistics TcpTotal_;
  TIdUDPServerStatistics UdpTotal_;
  std::string LastStatus_;
  std::chrono::steady_clock::time_point LastStatusAt_;
  std::thread Thread_;
};

/// "Answering on port 37 (TCP and UDP): 12,345 over TCP, 678 over UDP,
/// 0 refused, 0 failed": connections served and datagrams answered;
/// refused by the limit or the filter; failed over either.
std::string ServingStatus(int32_t APort, const TIdTCPServerStatistics& ATcp,
                          const TIdUDPServerStatistics& AUdp);
/// A count with a comma between each group of three digits.
std::string GroupedCount(uint64_t ACount);

/// Why a side could not be opened: "Could not open TCP port 37: Address
/// already in use" with its error number, or the error's own text and 0
/// when it carries no system error.
struct TOpenFailure {
  std::string Reason;
  int Error = 0;
};
TOpenFailure DescribeOpenFailure(const std::string& ASide, int32_t APort, std::exception_ptr AError);

}  // namespace ostrevan
