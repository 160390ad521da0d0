// SPDX-License-Identifier: MIT
// rfc868-bare: the thread-per-connection floor. One accept loop; each
// accepted socket goes to a new detached thread with a 256 KiB stack, which
// sends the four bytes, shuts down and closes. No framework, no allocation,
// no lock. Prints its port, serves until SIGTERM, SIGINT or the end of
// standard input, like rfc868-reference. With --dual-stack it listens as the
// daemon's default binding does, on the IPv6 wildcard taking both families,
// so that the cost of that kind of socket can be told from the framework's.

#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <thread>

#include "ostrevan/bench/responder_main.h"
#include "ostrevan/bench/rfc868_clock.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-bare [PORT] [--ignore-stdin] [--dual-stack]\n"
    "  listens on 127.0.0.1:PORT, or with --dual-stack on [::]:PORT for both\n"
    "  families (0, the default, lets the system choose),\n"
    "  prints the port on standard output and serves a thread per connection\n"
    "  until SIGTERM, SIGINT or the end of standard input\n";

constexpr size_t kStackSize = 256 * 1024;

std::atomic<uint64_t> served{0};

void* Answer(void* arg) {
  const int client = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  unsigned char bytes[4];
  EncodeCount(CurrentRfc868Count(), bytes);
  if (send(client, bytes, sizeof bytes, MSG_NOSIGNAL) == sizeof bytes) {
    served.fetch_add(1, std::memory_order_relaxed);
  }
  shutdown(client, SHUT_WR);
  close(client);
  return nullptr;
}

int Listen(uint16_t port, bool dualStack) {
  const int fd = socket(dualStack ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Without IPv6 the daemon's default binding is an IPv4 one, and so is this.
  if (fd < 0 && dualStack && errno == EAFNOSUPPORT) return Listen(port, false);
  if (fd < 0) return -1;
  const int one = 1;
  const int zero = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_port = htons(port);
  any.sin6_addr = in6addr_any;
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_port = htons(port);
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (dualStack) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  const int bound = dualStack ? bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any)
                              : bind(fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback);
  if (bound != 0 || listen(fd, 1024) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Both address kinds keep the port at the same offset.
uint16_t PortOf(int fd) {
  sockaddr_in6 address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin6_port);
}

// Waits for a stop signal or the end of the input, then shuts the listener
// down, which ends the blocking accept.
void WatchForStop(int stopFd, int inputFd, int listener) {
  WaitForStop(stopFd, inputFd);
  shutdown(listener, SHUT_RDWR);
}

void AcceptLoop(int listener) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  for (;;) {
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        poll(nullptr, 0, 10);
        continue;
      }
      break;  // the listener was shut down
    }
    pthread_t thread;
    if (pthread_create(&thread, &attr, &Answer, reinterpret_cast<void*>(static_cast<intptr_t>(client))) != 0) {
      close(client);
    }
  }
  pthread_attr_destroy(&attr);
}

int Main(int argc, char** argv) {
  ResponderArguments arguments;
  bool dualStack = false;
  const OwnOption dualStackOption = [&](ArgumentReader& reader) -> std::optional<bool> {
    if (reader.Name() != "--dual-stack") return std::nullopt;
    dualStack = true;
    return true;
  };
  if (!ReadResponderArguments(argc, argv, kUsage, arguments, dualStackOption)) return 2;
  // Blocked before any thread starts, so that every thread inherits it.
  const int stopFd = BlockStopSignals();
  const int listener = Listen(static_cast<uint16_t>(arguments.Port), dualStack);
  if (stopFd < 0 || listener < 0) {
    std::perror("rfc868-bare: setup");
    return 1;
  }
  std::printf("%u\n", PortOf(listener));
  std::fflush(stdout);
  std::thread watcher(WatchForStop, stopFd, StopInput(arguments.WatchInput), listener);
  AcceptLoop(listener);
  // Ends the watcher when the accept loop ended for a reason of its own.
  kill(getpid(), SIGTERM);
  watcher.join();
  close(listener);
  close(stopFd);
  std::fprintf(stderr, "rfc868-bare: served %" PRIu64 " connections\n", served.load());
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) { return ostrevan::bench::Main(argc, argv); }
