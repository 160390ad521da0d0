#pragma once

#include <cstdint>
#include <string>

#include "net/stack.h"

namespace ostrevan::testing {

// The client end of a TCP connection to 127.0.0.1 (or ::1), made with plain system
// calls, for tests that play a server's client. Every wait is bounded by
// the time given (ms); the descriptor is closed on destruction.
class TTestClient {
 public:
  // Connects; raises std::runtime_error.
  explicit TTestClient(uint16_t port, TIdIPVersion version = Id_IPv4);
  ~TTestClient();
  TTestClient(const TTestClient&) = delete;
  TTestClient& operator=(const TTestClient&) = delete;

  void Send(const std::string& bytes);
  // One line with its terminator (up to and including LF); what came when
  // the server closes or the time runs out first.
  std::string ReceiveLine(int timeoutMs = 5000);
  // Everything up to the server's close; Closed() tells whether it came.
  std::string ReceiveAll(int timeoutMs = 5000);
  // Whether the server closed (end of stream or reset) within the time,
  // ignoring any data before.
  bool AwaitClose(int timeoutMs = 5000);
  bool Closed() const { return Closed_; }

  // Closes with a reset (RST) instead of the orderly close.
  void Reset();
  // The orderly close.
  void Close();

  int Fd = -1;

 private:
  // One receive into Pending_; false when the time ran out.
  bool Fill(int timeoutMs);
  std::string Take(size_t count);

  std::string Pending_;
  bool Closed_ = false;
};

}  // namespace ostrevan::testing
