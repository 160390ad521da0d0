// SPDX-License-Identifier: MIT
#include "tests/support/time_responder.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {
// How soon the serving thread notices that it is to stop.
constexpr int StopCheckMs = 50;
}  // namespace

TTimeResponder::TTimeResponder(uint32_t count) : Count_(count) {
  Listener_ = ListenOnLoopback(Port_);
  Thread_ = std::thread([this] { Serve(); });
}

TTimeResponder::~TTimeResponder() {
  Stop_ = true;
  Thread_.join();
  close(Listener_);
}

void TTimeResponder::Serve() {
  const uint8_t answer[4] = {static_cast<uint8_t>(Count_ >> 24), static_cast<uint8_t>(Count_ >> 16),
                             static_cast<uint8_t>(Count_ >> 8), static_cast<uint8_t>(Count_)};
  while (!Stop_) {
    pollfd entry{Listener_, POLLIN, 0};
    if (poll(&entry, 1, StopCheckMs) <= 0) continue;
    const int client = accept(Listener_, nullptr, nullptr);
    if (client < 0) continue;
    send(client, answer, sizeof(answer), MSG_NOSIGNAL);
    ++Served_;  // before the close, so that a client that saw the close sees the count
    close(client);
  }
}

}  // namespace ostrevan::testing
