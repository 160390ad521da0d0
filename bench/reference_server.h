// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>

namespace ostrevan::bench {

// The smallest sound Time protocol server, as the yardstick for the daemon:
// one thread, one epoll set, non-blocking accept, four bytes, close. It
// listens on 127.0.0.1 only.
// Used only by the thread that calls Run; other threads may read Port and
// Served, and stop it by making the stop descriptor readable (a byte into a
// pipe, an eventfd, a signalfd).
class ReferenceServer {
 public:
  // Binds, listens and makes the epoll set; port 0 lets the system choose.
  // Raises std::system_error when either cannot be set up. Every descriptor
  // the server holds while it runs exists once this returns, so that a
  // count of them taken after the port is known is the count at rest.
  explicit ReferenceServer(uint16_t port, int backlog = 1024);
  ~ReferenceServer();
  ReferenceServer(const ReferenceServer&) = delete;
  ReferenceServer& operator=(const ReferenceServer&) = delete;

  uint16_t Port() const { return Port_; }
  uint64_t Served() const { return Served_.load(std::memory_order_relaxed); }

  // Serves until stopFd becomes readable or, when inputFd is not -1, until
  // that descriptor reaches its end (what arrives on it before is dropped).
  // Either descriptor must be pollable. Raises std::system_error when they
  // cannot be added to the epoll set.
  void Run(int stopFd, int inputFd = -1);

 private:
  void AcceptAll();
  void Answer(int client);
  bool RecoverFromDescriptorLimit();

  int Listener_ = -1;
  int Epoll_ = -1;
  uint16_t Port_ = 0;
  // Kept open so that, out of descriptors, the server can still accept and
  // close pending clients instead of spinning on a listener that stays
  // readable.
  int Spare_ = -1;
  std::atomic<uint64_t> Served_{0};
};

}  // namespace ostrevan::bench
