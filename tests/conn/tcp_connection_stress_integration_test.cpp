#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "conn/server_io_handler.h"
#include "conn/tcp_connection.h"
#include "runtime/exception.h"
#include "tests/support/loopback.h"

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
// closed twice, shows up.
TEST(TCPConnectionAcrossThreads, CloseTransportRacesSafelyWithReadsWritesAndDisconnect) {
  uint16_t port = 0;
  const int listener = testing::ListenOnLoopback(port);
  TIdTCPConnection connection(nullptr);
  connection.SetReadTimeout(2000);  // a bound, should a close be missed
  TIdServerIOHandlerSocket acceptor(nullptr);

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

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  int rounds = 0;
  int linesRead = 0;
  uint32_t seed = 54321;
  for (; rounds < 400 && std::chrono::steady_clock::now() < deadline; ++rounds) {
    const int peer = testing::ConnectToLoopback(port);
    ASSERT_EQ(send(peer, "one\ntwo\n", 8, MSG_NOSIGNAL), 8);
    connection.ResetReadState();
    connection.SetIOHandler(acceptor.AcceptConnection(listener, nullptr));
    connection.SetOwnsIOHandler(true);
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
      connection.Disconnect();
    } else {
      connection.SetIOHandler(nullptr);  // frees the owned handler too
    }
    close(peer);
  }
  done = true;
  closer.join();
  close(listener);
  EXPECT_GE(rounds, 20);
  EXPECT_GT(closes.load(), rounds);
  EXPECT_EQ(connection.IOHandler(), nullptr);
  RecordProperty("rounds", rounds);
  RecordProperty("lines_read", linesRead);
  RecordProperty("closes", closes.load());
}

}  // namespace
}  // namespace ostrevan
