#include "tests/support/tcp_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TTestClient::TTestClient(uint16_t port, TIdIPVersion version)
    : Fd(version == Id_IPv6 ? ConnectToLoopbackIPv6(port) : ConnectToLoopback(port)) {}

TTestClient::~TTestClient() { Close(); }

void TTestClient::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(Fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += static_cast<size_t>(n);
  }
}

bool TTestClient::Fill(int timeoutMs) {
  if (Closed_ || Fd < 0) return false;
  pollfd fd{Fd, POLLIN, 0};
  if (poll(&fd, 1, timeoutMs) <= 0) return false;
  char buffer[4096];
  const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
  if (n <= 0) {
    Closed_ = true;  // end of stream or reset
    return false;
  }
  Pending_.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string TTestClient::Take(size_t count) {
  std::string result = Pending_.substr(0, count);
  Pending_.erase(0, result.size());
  return result;
}

std::string TTestClient::ReceiveLine(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Pending_.find('\n') == std::string::npos && Fill(RemainingMs(deadline))) {
  }
  const size_t end = Pending_.find('\n');
  return Take(end == std::string::npos ? Pending_.size() : end + 1);
}

std::string TTestClient::ReceiveAll(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Fill(RemainingMs(deadline))) {
  }
  return Take(Pending_.size());
}

bool TTestClient::AwaitClose(int timeoutMs) {
  ReceiveAll(timeoutMs);
  return Closed_;
}

void TTestClient::Reset() {
  const linger hard{1, 0};
  setsockopt(Fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  Close();
}

void TTestClient::Close() {
  if (Fd >= 0) close(Fd);
  Fd = -1;
}

}  // namespace ostrevan::testing
