// SPDX-License-Identifier: MIT
#include "tests/support/raw_udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ostrevan::testing {

namespace {

int RawUdpSocket() {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) throw std::runtime_error(std::string("raw socket: ") + std::strerror(errno));
  return fd;
}

sockaddr_in AddressOf(const std::string& ip) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + ip);
  }
  return address;
}

}  // namespace

void SendForgedDatagram(const std::string& fromIP, uint16_t fromPort, const std::string& toIP,
                        uint16_t toPort, const std::string& payload) {
  const int fd = RawUdpSocket();
  // The kernel writes the IP header, with the bound address as its source;
  // the UDP header is ours, its checksum 0 (none, as IPv4 allows).
  const sockaddr_in from = AddressOf(fromIP);
  const sockaddr_in to = AddressOf(toIP);
  udphdr header{};
  header.source = htons(fromPort);
  header.dest = htons(toPort);
  header.len = htons(static_cast<uint16_t>(sizeof(header) + payload.size()));
  std::string packet(reinterpret_cast<const char*>(&header), sizeof(header));
  packet += payload;
  const bool sent =
      bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof(from)) == 0 &&
      sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
          static_cast<ssize_t>(packet.size());
  const int error = errno;
  close(fd);
  if (!sent) throw std::runtime_error(std::string("forged datagram: ") + std::strerror(error));
}

TDatagramWatch::TDatagramWatch() : Fd_(RawUdpSocket()) {}

TDatagramWatch::~TDatagramWatch() { close(Fd_); }

std::vector<TDatagramWatch::TSeen> TDatagramWatch::Take() {
  std::vector<TSeen> seen;
  char packet[2048];
  for (;;) {
    const ssize_t length = recv(Fd_, packet, sizeof(packet), MSG_DONTWAIT);
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) break;
    if (static_cast<size_t>(length) < sizeof(ip)) continue;
    // What a raw socket receives starts with the IP header.
    ip header{};
    std::memcpy(&header, packet, sizeof(header));
    const size_t headerLength = static_cast<size_t>(header.ip_hl) * 4;
    if (static_cast<size_t>(length) < headerLength + sizeof(udphdr)) continue;
    udphdr udp{};
    std::memcpy(&udp, packet + headerLength, sizeof(udp));
    seen.push_back({ntohs(udp.source), ntohs(udp.dest)});
  }
  return seen;
}

}  // namespace ostrevan::testing
