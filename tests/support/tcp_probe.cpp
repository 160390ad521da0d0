#include "tests/support/tcp_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace ostrevan::testing {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

int FreeTcpPort() {
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    // The daemon opens the UDP port of the same number too.
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool udpFree = bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(udp);
    close(fd);
    if (udpFree) return ntohs(address.sin_port);
  }
}

std::optional<std::string> ReadUntilClosed(int port, std::chrono::milliseconds timeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return std::nullopt;
  }
  std::string data;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      close(fd);
      return std::nullopt;
    }
    char chunk[256];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}

bool IsListening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

uint32_t BigEndian32(const std::string& bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  }
  return value;
}

}  // namespace ostrevan::testing
