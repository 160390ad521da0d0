// SPDX-License-Identifier: MIT
#include "ostrevan/bench/reference_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "ostrevan/bench/rfc868_clock.h"

namespace ostrevan::bench {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Closes the descriptor when the guard goes, unless released.
struct DescriptorGuard {
  int Fd;
  ~DescriptorGuard() {
    if (Fd >= 0) close(Fd);
  }
  int Release() {
    const int fd = Fd;
    Fd = -1;
    return fd;
  }
};

}  // namespace

ReferenceServer::ReferenceServer(uint16_t port, int backlog) {
  DescriptorGuard listener{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
  if (listener.Fd < 0) ThrowErrno("socket");
  const int on = 1;
  setsockopt(listener.Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener.Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ThrowErrno("bind");
  }
  if (listen(listener.Fd, backlog) != 0) ThrowErrno("listen");
  socklen_t length = sizeof address;
  if (getsockname(listener.Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ThrowErrno("getsockname");
  }
  DescriptorGuard epoll{epoll_create1(EPOLL_CLOEXEC)};
  if (epoll.Fd < 0) ThrowErrno("epoll_create1");
  Spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  Port_ = ntohs(address.sin_port);
  Listener_ = listener.Release();
  Epoll_ = epoll.Release();
}

ReferenceServer::~ReferenceServer() {
  close(Listener_);
  close(Epoll_);
  if (Spare_ >= 0) close(Spare_);
}

void ReferenceServer::Run(int stopFd, int inputFd) {
  for (int fd : {Listener_, stopFd, inputFd}) {
    if (fd < 0) continue;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, fd, &event) != 0) ThrowErrno("epoll_ctl");
  }
  for (;;) {
    epoll_event events[4];
    const int ready = epoll_wait(Epoll_, events, 4, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("epoll_wait");
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      if (fd == Listener_) {
        AcceptAll();
      } else if (fd == stopFd) {
        return;
      } else {
        char discard[256];
        const ssize_t got = read(fd, discard, sizeof discard);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
      }
    }
  }
}

void ReferenceServer::AcceptAll() {
  for (;;) {
    const int client = accept4(Listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) {
      Answer(client);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if ((errno == EMFILE || errno == ENFILE) && RecoverFromDescriptorLimit()) continue;
    // EAGAIN: the backlog is empty. Anything else is left for the next
    // readiness report rather than retried in a loop.
    return;
  }
}

// The count is read per connection, like the daemon does, so that both
// sides pay for the clock.
void ReferenceServer::Answer(int client) {
  unsigned char bytes[4];
  EncodeCount(CurrentRfc868Count(), bytes);
  // A fresh socket's send buffer always takes four bytes; a failure means
  // the client is gone, and there is nobody left to tell. The client's own
  // data, if any, is deliberately never read, as the protocol allows; the
  // close then resets instead of ending with a FIN.
  if (send(client, bytes, sizeof bytes, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof bytes) {
    Served_.fetch_add(1, std::memory_order_relaxed);
  }
  close(client);
}

bool ReferenceServer::RecoverFromDescriptorLimit() {
  if (Spare_ < 0) return false;
  close(Spare_);
  const int client = accept4(Listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client >= 0) Answer(client);
  Spare_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return client >= 0;
}

}  // namespace ostrevan::bench
