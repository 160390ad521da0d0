// SPDX-License-Identifier: MIT
#include "ostrevan/time/time_server.h"

#include <gtest/gtest.h>

#include <string>

#include "ostrevan/server/peer_thread.h"
#include "tests/server/server_test_support.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/raw_udp.h"
#include "tests/support/wait.h"
#include "ostrevan/time/time_udp_server.h"

namespace ostrevan {
namespace {

using testing::ActivateOnLoopback;
using testing::PollUntil;
using testing::TTestClient;

constexpr int64_t kWrap2036 = 2085978496;      // 2036-02-07 06:28:16 UTC
constexpr int64_t kDec8th2026 = 1796688000;    // 2026-12-08 00:00:00 UTC

// Activates a UDP server on one address and port (0: the system chooses)
// and returns the port.
uint16_t ActivateUDPOn(TIdUDPServer& server, const std::string& ip, uint16_t port) {
  TIdSocketHandle* binding = server.Bindings().Add();
  binding->SetIP(ip);
  binding->SetPort(port);
  server.SetActive(true);
  return static_cast<uint16_t>(binding->Port());
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

TEST(TimeServer, KnownAnswersOverLoopback) {
  TScopedTimeZone utc("UTC0");
  TFixedClock clock(0, 500000);
  TIdTimeServer server(nullptr);
  EXPECT_EQ(server.DefaultPort(), 37);
  EXPECT_EQ(server.BaseDate(), 2.0);
  EXPECT_TRUE(server.CorkConnections());  // the answer leaves with the close
  const uint16_t port = ActivateOnLoopback(server);
  auto answerAt = [&](int64_t seconds, int64_t microseconds, const std::string& send = "") {
    clock.Set(seconds, microseconds);
    TTestClient client(port);
    if (!send.empty()) client.Send(send);
    std::string answer = client.ReceiveAll();
    EXPECT_TRUE(client.Closed());
    return answer;
  };
  EXPECT_EQ(answerAt(0, 500000), Bytes({0x83, 0xAA, 0x7E, 0x80}));
  EXPECT_EQ(answerAt(946684800, 500000), Bytes({0xBC, 0x17, 0xC2, 0x00}));  // 2000-01-01
  EXPECT_EQ(answerAt(kWrap2036, 500000), Bytes({0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(answerAt(kWrap2036 - 1, 500000), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  // Deliberately one less at this exact second (exact count EE C1 C7 02).
  EXPECT_EQ(answerAt(kDec8th2026 + 2, 0), Bytes({0xEE, 0xC1, 0xC7, 0x01}));
  EXPECT_EQ(answerAt(kDec8th2026 + 2, 1000), Bytes({0xEE, 0xC1, 0xC7, 0x02}));
  // Data from the client changes nothing.
  EXPECT_EQ(answerAt(0, 500000, "hello\r\n"), Bytes({0x83, 0xAA, 0x7E, 0x80}));
  EXPECT_TRUE(PollUntil([&] { return server.PeerThreads().Empty(); }));
  server.SetActive(false);
}

TEST(TimeServer, BaseDateCountsWholeDaysOnly) {
  TScopedTimeZone utc("UTC0");
  TFixedClock clock(1000000000, 500000);
  TIdTimeServer server(nullptr);
  server.SetBaseDate(25569.75);  // 1970-01-01, with a fraction that is ignored
  TTestClient client(ActivateOnLoopback(server));
  EXPECT_EQ(client.ReceiveAll(), Bytes({0x3B, 0x9A, 0xCA, 0x00}));  // 1000000000
  server.SetActive(false);
}

// Every datagram, empty or not, gets one datagram: the four bytes a TCP
// client gets at the same instant, and nothing more.
TEST(TimeUDPServer, AnswersEveryDatagramWithTheBytesOfTheTCPService) {
  TScopedTimeZone utc("UTC0");
  TFixedClock clock(0, 500000);
  TIdTimeServer tcp(nullptr);
  const uint16_t tcpPort = ActivateOnLoopback(tcp);
  TIdTimeUDPServer udp(nullptr);
  EXPECT_EQ(udp.DefaultPort(), 37);
  EXPECT_EQ(udp.BaseDate(), 2.0);
  testing::TUdpClient client("127.0.0.1", ActivateUDPOn(udp, "127.0.0.1", 0));
  const std::pair<int64_t, int64_t> instants[] = {
      {0, 500000}, {kDec8th2026 + 2, 0}, {kDec8th2026 + 2, 1000}, {kWrap2036 - 1, 500000}};
  for (const auto& [seconds, microseconds] : instants) {
    clock.Set(seconds, microseconds);
    const std::string overTcp = TTestClient(tcpPort).ReceiveAll();
    ASSERT_EQ(overTcp.size(), 4u);
    EXPECT_EQ(client.Ask(""), overTcp) << seconds;
    EXPECT_EQ(client.Ask("any text at all"), overTcp) << seconds;
  }
  EXPECT_EQ(client.Ask(), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_FALSE(client.Receive(200).has_value()) << "one answer per datagram";
  udp.SetActive(false);
  udp.SetBaseDate(25569.75);
  udp.SetActive(true);
  EXPECT_EQ(client.Ask(), Bytes({0x7C, 0x55, 0x81, 0x7F}));  // the Unix time, 2085978495
  EXPECT_TRUE(PollUntil([&] { return tcp.PeerThreads().Empty(); }));
  tcp.SetActive(false);
}

// Two time servers on one port at two addresses, as two hosts run them. A
// datagram forged to the first from the second is dropped unanswered, as
// are those from port 0 and from the small services that answer every
// datagram: so the two exchange no more than the one forged datagram.
TEST(TimeUDPServer, DropsDatagramsThatCouldSetTwoServicesAnsweringEachOther) {
  auto outcome = testing::RunInChild({.OwnLoopbackAsRoot = true}, []() -> std::string {
    TIdTimeUDPServer first(nullptr);
    TIdTimeUDPServer second(nullptr);
    const uint16_t port = ActivateUDPOn(first, "127.0.0.1", 0);
    ActivateUDPOn(second, "127.0.0.2", port);
    for (const int from : {0, 7, 9, 13, 19, 37}) {
      testing::SendForgedDatagram("127.0.0.1", static_cast<uint16_t>(from), "127.0.0.1", port);
    }
    testing::SendForgedDatagram("127.0.0.2", port, "127.0.0.1", port);
    // A server takes its datagrams in order: once it has answered an
    // ordinary query, it has dealt with every datagram that came before.
    const bool answered = testing::TUdpClient("127.0.0.1", port).Ask().has_value() &&
                          testing::TUdpClient("127.0.0.2", port).Ask().has_value();
    return std::string(answered ? "answered" : "no answer") + ", dropped " +
           std::to_string(first.DroppedCount()) + " and " + std::to_string(second.DroppedCount());
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  // The second would have dropped an answer from the first: it came from
  // its own port.
  EXPECT_EQ(outcome.Text, "answered, dropped 7 and 0");
}

}  // namespace
}  // namespace ostrevan
