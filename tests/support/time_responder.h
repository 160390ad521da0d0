// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace ostrevan::testing {

// A stand-in RFC 868 server on 127.0.0.1: every client gets the same four
// bytes (the count, most significant first) and the connection is closed.
// Serves on a thread of its own until destroyed; Served may be read from
// any thread.
class TTimeResponder {
 public:
  explicit TTimeResponder(uint32_t count);
  ~TTimeResponder();
  TTimeResponder(const TTimeResponder&) = delete;
  TTimeResponder& operator=(const TTimeResponder&) = delete;

  uint16_t Port() const { return Port_; }
  int Served() const { return Served_.load(); }

 private:
  void Serve();

  uint32_t Count_;
  int Listener_ = -1;
  uint16_t Port_ = 0;
  std::atomic<bool> Stop_{false};
  std::atomic<int> Served_{0};
  std::thread Thread_;
};

}  // namespace ostrevan::testing
