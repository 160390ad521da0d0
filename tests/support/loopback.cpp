#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace ostrevan::testing {

namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void Require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

int ListenOnLoopback(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  Require(fd >= 0, "socket");
  sockaddr_in address = LoopbackAddress(0);
  Require(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "bind");
  Require(listen(fd, 16) == 0, "listen");
  socklen_t length = sizeof(address);
  Require(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
  port = ntohs(address.sin_port);
  return fd;
}

int ListenOnLoopbackIPv6(uint16_t& port) {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  Require(fd >= 0, "socket");
  sockaddr_in6 address;
  std::memset(&address, 0, sizeof(address));
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  Require(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0, "bind");
  Require(listen(fd, 16) == 0, "listen");
  socklen_t length = sizeof(address);
  Require(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0, "getsockname");
  port = ntohs(address.sin6_port);
  return fd;
}

namespace {

int ConnectTo(int family, const sockaddr* address, socklen_t length) {
  const int fd = socket(family, SOCK_STREAM, 0);
  Require(fd >= 0, "socket");
  if (connect(fd, address, length) != 0) {
    const int error = errno;
    close(fd);  // a refused connect must not cost the caller a descriptor
    errno = error;
    Require(false, "connect");
  }
  return fd;
}

}  // namespace

int ConnectToLoopback(uint16_t port) {
  sockaddr_in address = LoopbackAddress(port);
  return ConnectTo(AF_INET, reinterpret_cast<sockaddr*>(&address), sizeof(address));
}

int ConnectToLoopbackIPv6(uint16_t port) {
  sockaddr_in6 address;
  std::memset(&address, 0, sizeof(address));
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr = in6addr_loopback;
  return ConnectTo(AF_INET6, reinterpret_cast<sockaddr*>(&address), sizeof(address));
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

}  // namespace ostrevan::testing
