#include "time/time_server.h"

#include <gtest/gtest.h>

#include <string>

#include "server/peer_thread.h"
#include "tests/server/server_test_support.h"
#include "tests/support/fixed_clock.h"
#include "tests/support/tcp_client.h"
#include "tests/threads/probe_thread.h"

namespace ostrevan {
namespace {

using testing::ActivateOnLoopback;
using testing::PollUntil;
using testing::TTestClient;

constexpr int64_t kWrap2036 = 2085978496;      // 2036-02-07 06:28:16 UTC
constexpr int64_t kDec8th2026 = 1796688000;    // 2026-12-08 00:00:00 UTC

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

}  // namespace
}  // namespace ostrevan
