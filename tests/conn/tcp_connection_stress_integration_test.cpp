// SPDX-License-Identifier: MIT
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/client/connection_intercept.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/runtime/exception.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

// Busy-waits a pseudo-random while (up to some microseconds), or now and
// then yields, so that two threads meet at varying points of their work
// also when they share one processor.
void SpinAWhile(uint32_t& seed, uint32_t most) {
  seed = seed * 1103515245u + 12345u;
  if ((seed >> 8) % 4 == 0) {
    std::this_thread::yield();
    return;
  }
  for (uint32_t spin = (seed >> 16) % most; spin > 0; --spin) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
}

// The server's shutdown closes every peer connection's transport from its
// own thread while the peer threads read, write and disconnect, and a
// disconnect frees the handler. Here one thread plays the peer thread,
// round after round on a new accepted handler, while another calls
// CloseTransport without pause. Run under ThreadSanitizer and
// AddressSanitizer, a handler used after it was freed, or a descriptor
// closed twice, shows up. The intercept's disconnect hook runs once for
// each close of a transport, never on both threads at once.
TEST(TCPConnectionAcrossThreads, CloseTransportRacesSafelyWithReadsWritesAndDisconnect) {
  uint16_t port = 0;
  const int listener = testing::ListenOnLoopback(port);
  TIdTCPConnection connection(nullptr);
  connection.SetReadTimeout(2000);  // a bound, should a close be missed
  TIdServerIOHandlerSocket acceptor(nullptr);
  TIdConnectionIntercept intercept(nullptr);
  std::atomic<int> hooks{0};
  std::atomic<int> inHook{0};
  std::atomic<int> overlaps{0};
  intercept.OnDisconnect = [&](TIdConnectionIntercept*) {
    if (inHook.fetch_add(1) != 0) ++overlaps;
    uint32_t seed = static_cast<uint32_t>(hooks.load());
    SpinAWhile(seed, 5000);
    ++hooks;
    inHook.fetch_sub(1);
  };
  connection.SetIntercept(&intercept);
  int hooksMissedOrDoubled = 0;

  std::atomic<bool> done{false};
  std::atomic<int> closes{0};
  std::thread closer([&] {
    // Pauses of varying length on both sides, so that the closes land at
    // every point of a round: before the reads, inside them, during the
    // disconnect.
    uint32_t seed = 12345;
    while (!done) {
      connection.CloseTransport();
      ++closes;
      SpinAWhile(seed, 20000);
    }
  });

  const testing::TDeadline deadline(std::chrono::seconds(4));
  int rounds = 0;
  int linesRead = 0;
  uint32_t seed = 54321;
  for (; rounds < 400 && !deadline.Passed(); ++rounds) {
    const int peer = testing::ConnectToLoopback(port);
    ASSERT_EQ(send(peer, "one\ntwo\n", 8, MSG_NOSIGNAL), 8);
    connection.ResetReadState();
    const int hooksBefore = hooks;  // before the closer can reach the new handler
    connection.SetIOHandler(acceptor.AcceptConnection(listener, nullptr));
    try {
      SpinAWhile(seed, 5000);
      connection.WriteLn("hello");
      SpinAWhile(seed, 5000);
      connection.ReadLn();
      ++linesRead;
      SpinAWhile(seed, 5000);
      connection.WriteUInt32(7);
      connection.ReadLn();
      ++linesRead;
      connection.ReadLn();  // only the close ends this one
    } catch (const EIdException&) {
      // Every way of meeting the close is fine here.
    }
    if (rounds % 2 == 0) {
      connection.Disconnect();  // after it the transport has been closed once
      if (hooks - hooksBefore != 1) ++hooksMissedOrDoubled;
    } else {
      connection.SetIOHandler(nullptr);  // frees the owned handler, closed or not
      if (hooks - hooksBefore > 1) ++hooksMissedOrDoubled;
    }
    close(peer);
  }
  done = true;
  closer.join();
  close(listener);
  EXPECT_GE(rounds, 20);
  EXPECT_GT(closes.load(), rounds);
  EXPECT_EQ(connection.IOHandler(), nullptr);
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(hooksMissedOrDoubled, 0);
  RecordProperty("rounds", rounds);
  RecordProperty("lines_read", linesRead);
  RecordProperty("closes", closes.load());
}

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// ostrevan-query's watchdog closes the handler from its own thread when the
// time runs out, whatever point the connect has reached. Here one thread
// connects again and again, with and without a time-out, while another
// closes at random moments. No step of the connect may then work on a
// closed descriptor (EBADF, ENOTSOCK) or on one the system has meanwhile
// given to another socket, and no descriptor may be left open.
TEST(IOHandlerAcrossThreads, CloseAtAnyPointOfAConnectEndsItCleanly) {
  const int descriptorsBefore = OpenDescriptors();
  uint16_t port = 0;
  const int listener = testing::ListenOnLoopback(port);
  std::atomic<bool> done{false};
  std::thread acceptor([&] {
    while (!done) {
      pollfd entry{listener, POLLIN, 0};
      if (poll(&entry, 1, 10) != 1) continue;
      const int accepted = accept(listener, nullptr, nullptr);
      if (accepted >= 0) close(accepted);
    }
  });
  TIdIOHandlerSocket handler(nullptr);
  std::thread closer([&] {
    uint32_t seed = 777;
    while (!done) {
      handler.Close();
      SpinAWhile(seed, 200000);
    }
  });

  const testing::TDeadline deadline(std::chrono::seconds(4));
  int rounds = 0;
  int connected = 0;
  std::vector<std::string> misuses;
  for (; rounds < 300 && !deadline.Passed(); ++rounds) {
    try {
      handler.ConnectTo("127.0.0.1", port, "", 0, 0, 0, rounds % 2 == 0 ? -1 : 5000);
      ++connected;
    } catch (const EIdSocketError& e) {
      if (e.ErrorNumber() == EBADF || e.ErrorNumber() == ENOTSOCK) misuses.push_back(e.what());
    } catch (const EIdException& e) {
      const std::string text = e.what();  // a timed connect's failure carries the thread's text
      if (text.find("# 9\r") != std::string::npos || text.find("# 88\r") != std::string::npos) {
        misuses.push_back(text);
      }
    }
  }
  done = true;
  closer.join();
  acceptor.join();
  handler.Close();
  close(listener);
  EXPECT_EQ(misuses, std::vector<std::string>{});
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  EXPECT_GE(rounds, 20);
  RecordProperty("rounds", rounds);
  RecordProperty("connected", connected);
}

}  // namespace
}  // namespace ostrevan
