#include "tests/support/udp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

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

}  // namespace

TUdpClient::TUdpClient(const std::string& address, uint16_t port) {
  sockaddr_storage peer;
  const socklen_t length = AddressOf(address, port, peer);
  Fd = socket(peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Require(Fd >= 0, "socket");
  if (connect(Fd, reinterpret_cast<sockaddr*>(&peer), length) != 0) {
    const int error = errno;
    close(Fd);
    errno = error;
    Require(false, "connect");
  }
}

TUdpClient::~TUdpClient() {
  if (Fd >= 0) close(Fd);
}

void TUdpClient::Send(const std::string& bytes) {
  Require(send(Fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()), "send");
}

std::optional<std::string> TUdpClient::Receive(int timeoutMs) {
  pollfd entry{Fd, POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) != 1) return std::nullopt;
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
  sockaddr_storage local;
  socklen_t length = AddressOf(address, port, local);
  const int fd = socket(local.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Require(fd >= 0, "socket");
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    Require(false, "bind");
  }
  Require(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0, "getsockname");
  port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  return fd;
}

}  // namespace ostrevan::testing
