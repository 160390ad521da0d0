// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrevan::testing {

using TBytes = std::vector<uint8_t>;

// One step of what a scripted proxy does with the one connection it takes.
struct TProxyStep {
  enum TKind { kRead, kWrite, kClose, kReset } Kind;
  size_t Count = 0;   // kRead: how many bytes to read
  TBytes Bytes;       // kWrite: what to send
  size_t Piece = 0;   // kWrite: send in pieces of this size (0: at once)
};

TProxyStep Read(size_t count);
TProxyStep Write(TBytes bytes, size_t piece = 0);
TProxyStep Close();
// Closes with a reset (RST) instead of an orderly close.
TProxyStep Reset();

// A fake proxy on 127.0.0.1 that accepts one connection and plays a script:
// it reads exactly the counts asked for (recording the bytes) and writes the
// given bytes, pieces apart by a pause, so that they arrive in separate
// segments. After the script it ends its side of the stream and waits for
// the client to close. Every wait is bounded. Its thread is its own; Received and
// Failure may be read from the test's thread.
class TScriptedSocksProxy {
 public:
  explicit TScriptedSocksProxy(std::vector<TProxyStep> script);
  ~TScriptedSocksProxy();
  TScriptedSocksProxy(const TScriptedSocksProxy&) = delete;
  TScriptedSocksProxy& operator=(const TScriptedSocksProxy&) = delete;

  uint16_t Port() const { return Port_; }
  // Waits for the script to end (bounded) and returns every byte read.
  TBytes Received();
  // What went wrong on the proxy's side ("" when nothing did).
  std::string Failure();

 private:
  void Serve();
  void Play(int client);

  std::vector<TProxyStep> Script_;
  int Listener_ = -1;
  uint16_t Port_ = 0;
  std::mutex Lock_;  // guards Received_ and Failure_
  TBytes Received_;
  std::string Failure_;
  std::thread Thread_;
};

}  // namespace ostrevan::testing
