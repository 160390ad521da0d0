// SPDX-License-Identifier: MIT
#include "tests/support/connection_pair.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/conn/server_io_handler.h"
#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool PollIn(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) == 1;
}

}  // namespace

TConnectionPair::TConnectionPair() : Conn_(std::make_unique<TIdTCPConnection>(nullptr)) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  Peer = ConnectToLoopback(port);
  TIdServerIOHandlerSocket acceptor(nullptr);
  std::unique_ptr<TIdIOHandler> handler = acceptor.AcceptConnection(listener, nullptr);
  close(listener);
  if (handler == nullptr) throw std::runtime_error("accept failed");
  Conn_->SetIOHandler(std::move(handler));
}

TConnectionPair::~TConnectionPair() {
  Conn_.reset();
  if (Peer >= 0) close(Peer);
}

void TConnectionPair::PeerSend(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(Peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("peer send failed");
    done += static_cast<size_t>(n);
  }
}

std::string TConnectionPair::PeerReceive(size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string result;
  char block[4096];
  while (result.size() < count && PollIn(Peer, RemainingMs(deadline))) {
    const size_t wanted = std::min(sizeof(block), count - result.size());
    const ssize_t n = recv(Peer, block, wanted, 0);
    if (n <= 0) break;
    result.append(block, static_cast<size_t>(n));
  }
  return result;
}

std::string TConnectionPair::PeerReceiveAll(int timeoutMs) {
  return PeerReceive(static_cast<size_t>(-1), timeoutMs);
}

void TConnectionPair::PeerClose() {
  close(Peer);
  Peer = -1;
}

void TConnectionPair::PeerReset() {
  const linger option{1, 0};
  setsockopt(Peer, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
  PeerClose();
  // The reset makes the connection's socket readable (an error pending).
  if (!PollIn(DescriptorOf(*Conn_), 2000)) throw std::runtime_error("reset not seen");
}

void TConnectionPair::AwaitBuffered(int64_t count) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (Conn_->InBuffer().Size() < count) {
    if (Clock::now() > deadline) throw std::runtime_error("bytes did not arrive");
    Conn_->FillInputBuffer(true, 50, false);
  }
}

int DescriptorOf(TIdTCPConnection& connection) {
  return connection.SocketHandler()->Binding()->Descriptor();
}

}  // namespace ostrevan::testing
