// SPDX-License-Identifier: MIT
#include "ostrevan/shell/service_monitor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrevan/net/errors.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/server/udp_server.h"

namespace ostrevan {

namespace {

using Clock = std::chrono::steady_clock;

// Status lines go out at most this often.
constexpr auto kStatusEvery = std::chrono::seconds(1);

TIdTCPServerStatistics& operator+=(TIdTCPServerStatistics& ATotal, const TIdTCPServerStatistics& AMore) {
  ATotal.Accepted += AMore.Accepted;
  ATotal.Filtered += AMore.Filtered;
  ATotal.Refused += AMore.Refused;
  ATotal.Served += AMore.Served;
  ATotal.Failed += AMore.Failed;
  ATotal.ListenerFailures += AMore.ListenerFailures;
  return ATotal;
}

TIdUDPServerStatistics& operator+=(TIdUDPServerStatistics& ATotal, const TIdUDPServerStatistics& AMore) {
  ATotal.Received += AMore.Received;
  ATotal.Answered += AMore.Answered;
  ATotal.Dropped += AMore.Dropped;
  ATotal.Failed += AMore.Failed;
  return ATotal;
}

std::string SystemErrorText(int AError) {
  char buffer[256];
  // The GNU strerror_r, which returns the text (not always in buffer).
  return strerror_r(AError, buffer, sizeof buffer);
}

}  // namespace

std::string GroupedCount(uint64_t ACount) {
  const std::string digits = std::to_string(ACount);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string ServingStatus(int32_t APort, const TIdTCPServerStatistics& ATcp,
                          const TIdUDPServerStatistics& AUdp) {
  return "Answering on port " + std::to_string(APort) + " (TCP and UDP): " + GroupedCount(ATcp.Served) +
         " over TCP, " + GroupedCount(AUdp.Answered) + " over UDP, " +
         GroupedCount(ATcp.Refused + ATcp.Filtered) + " refused, " + GroupedCount(ATcp.Failed + AUdp.Failed) +
         " failed";
}

TOpenFailure DescribeOpenFailure(const std::string& ASide, int32_t APort, std::exception_ptr AError) {
  const std::string what = "Could not open " + ASide + " port " + std::to_string(APort) + ": ";
  try {
    std::rethrow_exception(AError);
  } catch (const EIdCouldNotBindSocket&) {
    return {what + SystemErrorText(EADDRINUSE), EADDRINUSE};
  } catch (const EIdSocketError& e) {
    if (e.ErrorNumber() > 0) return {what + SystemErrorText(e.ErrorNumber()), e.ErrorNumber()};
    return {what + e.what(), 0};
  } catch (const std::exception& e) {
    return {what + e.what(), 0};
  } catch (...) {
    return {what + "unknown error", 0};
  }
}

TServiceMonitor::TServiceMonitor(const TServiceManager& AManager) : Manager_(AManager) {
  if (Manager_.Notifying()) Thread_ = std::thread([this] { Watch(); });
}

TServiceMonitor::~TServiceMonitor() {
  {
    std::lock_guard<std::mutex> lock(Lock_);
    Ending_ = true;
  }
  Wake_.notify_all();
  if (Thread_.joinable()) Thread_.join();
}

void TServiceMonitor::Serving(int32_t APort, TIdTCPServer& ATcp, TIdUDPServer& AUdp) {
  std::lock_guard<std::mutex> lock(Lock_);
  // The servers already watched, opened again for nothing (a PORT command
  // whose number was invalid): nothing new to tell.
  if (Ready_ && Port_ == APort && Tcp_ == &ATcp && Udp_ == &AUdp) return;
  Port_ = APort;
  Tcp_ = &ATcp;
  Udp_ = &AUdp;
  LastStatus_ = StatusLocked();
  LastStatusAt_ = Clock::now();
  Manager_.Notify((Ready_ ? "" : "READY=1\n") + std::string("STATUS=") + LastStatus_);
  Ready_ = true;
}

void TServiceMonitor::Unwatch() {
  std::lock_guard<std::mutex> lock(Lock_);
  if (Tcp_ != nullptr) TcpTotal_ += Tcp_->Statistics();
  if (Udp_ != nullptr) UdpTotal_ += Udp_->Statistics();
  Tcp_ = nullptr;
  Udp_ = nullptr;
}

void TServiceMonitor::Failed(const std::string& AReason, int AError) {
  std::lock_guard<std::mutex> lock(Lock_);
  std::string state = "STATUS=" + AReason;
  if (AError != 0) state += "\nERRNO=" + std::to_string(AError);
  Manager_.Notify(state);
}

void TServiceMonitor::Stopping() {
  std::lock_guard<std::mutex> lock(Lock_);
  if (Stopping_) return;
  Stopping_ = true;
  Manager_.Notify("STOPPING=1");
}

std::string TServiceMonitor::StatusLocked() const {
  TIdTCPServerStatistics tcp = TcpTotal_;
  TIdUDPServerStatistics udp = UdpTotal_;
  if (Tcp_ != nullptr) tcp += Tcp_->Statistics();
  if (Udp_ != nullptr) udp += Udp_->Statistics();
  return ServingStatus(Port_, tcp, udp);
}

void TServiceMonitor::Watch() {
  // Pings twice per watchdog interval, as the manager advises; the status
  // is looked at once a second in any case.
  auto tick = std::chrono::duration_cast<Clock::duration>(kStatusEvery);
  if (auto interval = Manager_.WatchdogInterval()) {
    tick = std::min(tick, std::chrono::duration_cast<Clock::duration>(*interval / 2));
  }
  std::unique_lock<std::mutex> lock(Lock_);
  while (!Wake_.wait_for(lock, tick, [this] { return Ending_; })) TickLocked(Clock::now());
}

void TServiceMonitor::TickLocked(Clock::time_point ANow) {
  if (Stopping_ || Tcp_ == nullptr || Udp_ == nullptr) return;
  if (Manager_.WatchdogInterval() && Tcp_->ListenersAlive() && Udp_->ListenersAlive()) {
    Manager_.Notify("WATCHDOG=1");
  }
  if (ANow - LastStatusAt_ < kStatusEvery) return;
  std::string status = StatusLocked();
  if (status == LastStatus_) return;
  LastStatus_ = std::move(status);
  LastStatusAt_ = ANow;
  Manager_.Notify("STATUS=" + LastStatus_);
}

}  // namespace ostrevan
