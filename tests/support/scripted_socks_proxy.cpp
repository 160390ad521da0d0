// SPDX-License-Identifier: MIT
#include "tests/support/scripted_socks_proxy.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {

constexpr int StepTimeoutMs = 5000;
// Long enough for the client to take a piece in a receive of its own.
constexpr auto PiecePause = std::chrono::milliseconds(20);

bool WaitReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, StepTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool SendAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TProxyStep Read(size_t count) { return TProxyStep{TProxyStep::kRead, count, {}, 0}; }
TProxyStep Write(TBytes bytes, size_t piece) {
  return TProxyStep{TProxyStep::kWrite, 0, std::move(bytes), piece};
}
TProxyStep Close() { return TProxyStep{TProxyStep::kClose, 0, {}, 0}; }
TProxyStep Reset() { return TProxyStep{TProxyStep::kReset, 0, {}, 0}; }

TScriptedSocksProxy::TScriptedSocksProxy(std::vector<TProxyStep> script)
    : Script_(std::move(script)) {
  Listener_ = ListenOnLoopback(Port_);
  Thread_ = std::thread([this] { Serve(); });
}

TScriptedSocksProxy::~TScriptedSocksProxy() {
  // Wakes a wait for a client that never came.
  shutdown(Listener_, SHUT_RDWR);
  if (Thread_.joinable()) Thread_.join();
  if (Listener_ >= 0) close(Listener_);
}

TBytes TScriptedSocksProxy::Received() {
  if (Thread_.joinable()) Thread_.join();
  std::lock_guard<std::mutex> guard(Lock_);
  return Received_;
}

std::string TScriptedSocksProxy::Failure() {
  if (Thread_.joinable()) Thread_.join();
  std::lock_guard<std::mutex> guard(Lock_);
  return Failure_;
}

void TScriptedSocksProxy::Serve() {
  if (!WaitReadable(Listener_)) {
    std::lock_guard<std::mutex> guard(Lock_);
    Failure_ = "no client came";
    return;
  }
  const int client = accept(Listener_, nullptr, nullptr);
  if (client < 0) {
    std::lock_guard<std::mutex> guard(Lock_);
    Failure_ = std::string("accept: ") + std::strerror(errno);
    return;
  }
  const int one = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));  // each piece its own segment
  Play(client);
  close(client);
}

void TScriptedSocksProxy::Play(int client) {
  auto fail = [this](const std::string& why) {
    std::lock_guard<std::mutex> guard(Lock_);
    Failure_ = why;
  };
  for (const TProxyStep& step : Script_) {
    switch (step.Kind) {
      case TProxyStep::kRead: {
        TBytes got(step.Count);
        size_t have = 0;
        while (have < step.Count) {
          if (!WaitReadable(client)) return fail("timed out reading the client's bytes");
          const ssize_t n = recv(client, got.data() + have, step.Count - have, 0);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) {
            got.resize(have);
            std::lock_guard<std::mutex> guard(Lock_);
            Received_.insert(Received_.end(), got.begin(), got.end());
            Failure_ = "client closed after " + std::to_string(have) + " of " +
                       std::to_string(step.Count) + " bytes";
            return;
          }
          have += static_cast<size_t>(n);
        }
        std::lock_guard<std::mutex> guard(Lock_);
        Received_.insert(Received_.end(), got.begin(), got.end());
        break;
      }
      case TProxyStep::kWrite: {
        const size_t piece = step.Piece == 0 ? step.Bytes.size() : step.Piece;
        for (size_t at = 0; at < step.Bytes.size(); at += piece) {
          if (at > 0) std::this_thread::sleep_for(PiecePause);
          const size_t count = std::min(piece, step.Bytes.size() - at);
          if (!SendAll(client, step.Bytes.data() + at, count)) return fail("send failed");
        }
        break;
      }
      case TProxyStep::kClose:
        return;
      case TProxyStep::kReset: {
        const linger abort{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        return;
      }
    }
  }
  // The end of the script is the end of the stream for the client; what it
  // still sends is taken until it closes, so that the close is no reset.
  shutdown(client, SHUT_WR);
  char sink[256];
  while (WaitReadable(client)) {
    const ssize_t n = recv(client, sink, sizeof(sink), 0);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
}

}  // namespace ostrevan::testing
