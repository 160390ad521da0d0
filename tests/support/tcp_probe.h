#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrevan::testing {

// A TCP port on every local address that was free a moment ago, and its
// UDP namesake with it.
int FreeTcpPort();

// Connects to 127.0.0.1:port and reads until the peer closes; nothing when
// the connection is refused or the time is up.
std::optional<std::string> ReadUntilClosed(int port,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Whether something accepts connections on 127.0.0.1:port.
bool IsListening(int port);

// The four bytes as a big-endian number.
uint32_t BigEndian32(const std::string& bytes);

}  // namespace ostrevan::testing
