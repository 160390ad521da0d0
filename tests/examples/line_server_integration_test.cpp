// SPDX-License-Identifier: MIT
// The example line server, talked to over loopback. OSTREVAN_LINE_SERVER in
// the environment names another build of it (CI's, made outside this tree
// against an installed copy of the framework).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/process.h"
#include "tests/support/loopback.h"

namespace ostrevan::testing {
namespace {

using namespace std::chrono_literals;

std::string LineServerProgram() {
  const char* given = std::getenv("OSTREVAN_LINE_SERVER");
  return given != nullptr && *given != '\0' ? given : OSTREVAN_LINE_SERVER;
}

TEST(LineServerExample, GreetsAnswersBothCommandsAndStopsOnSigterm) {
  TChildProcess server({LineServerProgram()});
  const std::string listening = "Listening on 127.0.0.1 port ";
  ASSERT_TRUE(server.WaitForOutput(listening, 10s));
  ASSERT_TRUE(server.WaitForOutput("\n", 10s, server.Output().find(listening)));
  const int port = std::stoi(server.Output().substr(server.Output().find(listening) + listening.size()));

  // A listening socket's backlog is what ss shows as its send queue: more
  // than the framework's 15, for bursts of clients.
  if (!FindProgram("ss").empty()) {
    const std::string filter = "sport = :" + std::to_string(port);
    std::istringstream socketLine(RunProgram({"ss", "-ltnH", filter}).Output);
    std::string state, received;
    int backlog = 0;
    socketLine >> state >> received >> backlog;
    EXPECT_GT(backlog, 15) << socketLine.str();
  }

  TTestClient client(static_cast<uint16_t>(port));
  EXPECT_EQ(client.ReceiveLine(), "200 Ostrevan line server ready\r\n");
  client.Send("upper Hello, world\r\n");
  EXPECT_EQ(client.ReceiveLine(), "200 HELLO, WORLD\r\n");
  client.Send("TIME\r\n");
  EXPECT_EQ(client.ReceiveLine(), "500 Unknown command\r\n");
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReceiveLine(), "221 Goodbye\r\n");
  EXPECT_TRUE(client.AwaitClose());

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitForExit(10s), 0);
}

}  // namespace
}  // namespace ostrevan::testing
