// SPDX-License-Identifier: MIT
#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/support/wait.h"

namespace ostrevan::testing {

namespace {

void Require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// An IPv4 or IPv6 socket address for the text and port.
socklen_t AddressOf(const std::string& text, uint16_t port, sockaddr_storage& address) {
  std::memset(&address, 0, sizeof(address));
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    return sizeof(sockaddr_in);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  Require(inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1, text.c_str());
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  return sizeof(sockaddr_in6);
}

uint16_t PortOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                   : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// A socket of the type on the address and port, bound (listening for a
// stream socket) or connected; closed again when that fails.
int OpenSocket(int type, const std::string& text, uint16_t& port, bool connecting) {
  sockaddr_storage address;
  socklen_t length = AddressOf(text, port, address);
  const int fd = socket(address.ss_family, type | SOCK_CLOEXEC, 0);
  Require(fd >= 0, "socket");
  const auto* raw = reinterpret_cast<sockaddr*>(&address);
  const char* failed = nullptr;
  if (connecting) {
    if (connect(fd, raw, length) != 0) failed = "connect";
  } else if (bind(fd, raw, length) != 0) {
    failed = "bind";
  } else if (type == SOCK_STREAM && listen(fd, 16) != 0) {
    failed = "listen";
  } else if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    failed = "getsockname";
  }
  if (failed != nullptr) {
    const int error = errno;
    close(fd);  // a refused connect must not cost the caller a descriptor
    errno = error;
    Require(false, failed);
  }
  if (!connecting) port = PortOf(address);
  return fd;
}

int Connect(const char* address, uint16_t port) { return OpenSocket(SOCK_STREAM, address, port, true); }

bool PollIn(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) == 1;
}

}  // namespace

int ListenOnLoopback(uint16_t& port) { return OpenSocket(SOCK_STREAM, "127.0.0.1", port = 0, false); }
int ListenOnLoopbackIPv6(uint16_t& port) { return OpenSocket(SOCK_STREAM, "::1", port = 0, false); }
int ConnectToLoopback(uint16_t port) { return Connect("127.0.0.1", port); }
int ConnectToLoopbackIPv6(uint16_t port) { return Connect("::1", port); }

uint16_t FreeLoopbackPort(bool ipv6) {
  uint16_t port = 0;
  close(ipv6 ? ListenOnLoopbackIPv6(port) : ListenOnLoopback(port));
  return port;
}

int FreeTcpPort() {
  for (;;) {
    uint16_t port = 0;
    const int tcp = OpenSocket(SOCK_STREAM, "0.0.0.0", port, false);
    // The daemon opens the UDP port of the same number too.
    int udp = -1;
    try {
      udp = BindUdp("0.0.0.0", port);
    } catch (const std::runtime_error&) {
    }
    if (udp >= 0) close(udp);
    close(tcp);
    if (udp >= 0) return port;
  }
}

bool IsListening(int port, bool ipv6) {
  try {
    close(Connect(ipv6 ? "::1" : "127.0.0.1", static_cast<uint16_t>(port)));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

std::optional<std::string> ReadUntilClosed(int port, std::chrono::milliseconds timeout) {
  try {
    TTestClient client(static_cast<uint16_t>(port));
    std::string data = client.ReceiveAll(static_cast<int>(timeout.count()));
    if (!client.Closed()) return std::nullopt;
    return data;
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

uint32_t BigEndian32(const std::string& bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  }
  return value;
}

TLoopbackPair::TLoopbackPair() {
  Listener = ListenOnLoopback(Port);
  Client = ConnectToLoopback(Port);
  Server = accept(Listener, nullptr, nullptr);
  Require(Server >= 0, "accept");
}

TLoopbackPair::~TLoopbackPair() {
  CloseFd(Server);
  CloseFd(Client);
  CloseFd(Listener);
}

void TLoopbackPair::CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

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
  if (Closed_ || Fd < 0 || !PollIn(Fd, timeoutMs)) return false;
  char buffer[4096];
  const ssize_t n = recv(Fd, buffer, sizeof buffer, 0);
  if (n < 0 && errno == EINTR) return true;
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
  const TDeadline deadline(std::chrono::milliseconds{timeoutMs});
  while (Pending_.find('\n') == std::string::npos && Fill(deadline.LeftMs())) {
  }
  const size_t end = Pending_.find('\n');
  return Take(end == std::string::npos ? Pending_.size() : end + 1);
}

std::string TTestClient::ReceiveAll(int timeoutMs) {
  const TDeadline deadline(std::chrono::milliseconds{timeoutMs});
  while (Fill(deadline.LeftMs())) {
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

TUdpClient::TUdpClient(const std::string& address, uint16_t port)
    : Fd(OpenSocket(SOCK_DGRAM, address, port, true)) {}

TUdpClient::~TUdpClient() {
  if (Fd >= 0) close(Fd);
}

void TUdpClient::Send(const std::string& bytes) {
  Require(send(Fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()), "send");
}

std::optional<std::string> TUdpClient::Receive(int timeoutMs) {
  if (!PollIn(Fd, timeoutMs)) return std::nullopt;
  char buffer[2048];
  const ssize_t n = recv(Fd, buffer, sizeof(buffer), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

std::optional<std::string> TUdpClient::Ask(const std::string& bytes, int timeoutMs) {
  Send(bytes);
  return Receive(timeoutMs);
}

int BindUdp(const std::string& address, uint16_t& port) {
  return OpenSocket(SOCK_DGRAM, address, port, false);
}

}  // namespace ostrevan::testing
