// SPDX-License-Identifier: MIT
// The daemon's UDP service against forged datagrams, in a network of the
// test's own where a raw socket can forge them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/raw_udp.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::TChildProcess;
using testing::TUdpClient;

// Thirty datagrams from port 0 leave the next query unhurt; a datagram
// forged to one daemon from the time port, where a second daemon listens,
// is the only datagram the two exchange.
TEST(DaemonUdp, ForgedDatagramsNeitherStallTheServiceNorStartALoop) {
  auto outcome = testing::RunInChild({.OwnLoopbackAsRoot = true}, []() -> std::string {
    const uint16_t port = static_cast<uint16_t>(testing::FreeTcpPort());
    const std::string program = testing::BuildDir() + "/shell/ostrevan";
    TChildProcess first({program, std::to_string(port)});
    TChildProcess second({program});  // on the time port, 37
    for (TChildProcess* daemon : {&first, &second}) {
      if (!daemon->WaitForOutput("Enter ? for list of commands.", 10s)) return "a daemon did not start";
    }
    testing::TDatagramWatch watch;
    for (int i = 0; i < 30; ++i) testing::SendForgedDatagram("127.0.0.1", 0, "127.0.0.1", port);
    const testing::TStopwatch stopwatch;
    if (!TUdpClient("127.0.0.1", port).Ask().has_value()) return "no answer";
    const double seconds = stopwatch.Seconds();
    testing::SendForgedDatagram("127.0.0.1", 37, "127.0.0.1", port);
    // Each daemon takes its datagrams in order: once both have answered an
    // ordinary query, whatever they sent each other before has arrived.
    if (!TUdpClient("127.0.0.1", port).Ask().has_value() || !TUdpClient("127.0.0.1", 37).Ask().has_value()) {
      return "no answer";
    }
    int between = 0;
    for (const auto& seen : watch.Take()) {
      between += (seen.FromPort == 37 && seen.ToPort == port) || (seen.FromPort == port && seen.ToPort == 37);
    }
    return (seconds < 1.0 ? "answered at once" : "answered after " + std::to_string(seconds) + " s") +
           std::string(", datagrams between the daemons: ") + std::to_string(between);
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  EXPECT_EQ(outcome.Text, "answered at once, datagrams between the daemons: 1");
}

}  // namespace
}  // namespace ostrevan
