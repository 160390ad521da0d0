// SPDX-License-Identifier: MIT
#include "ostrevan/server/udp_server.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "ostrevan/net/errors.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/raises.h"
#include "tests/support/raw_udp.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using testing::MessageOf;
using testing::TStopwatch;
using testing::TUdpClient;
using Clock = std::chrono::steady_clock;

// Enough failed datagrams to hold the next one up for seconds, were each
// followed by a pause.
constexpr int kFailures = 30;

// Answers every datagram with "<peer address>:<data>".
struct TEchoServer {
  TIdUDPServer Server{nullptr};
  TEchoServer() {
    Server.SetDefaultPort(0);
    Server.OnUDPRead = [](TIdUDPServer& sender, const std::string& data, TIdSocketHandle& binding,
                          const std::string& ip, int32_t port) {
      const std::string answer = ip + ":" + data;
      sender.SendTo(binding, ip, port, answer.data(), static_cast<int32_t>(answer.size()));
    };
  }
  uint16_t Port() { return static_cast<uint16_t>(Server.Bindings().Items(0)->Port()); }
};

// The default binding takes IPv4 and IPv6 datagrams in one socket; each,
// empty or not, reaches the handler with its sender, and the answer goes
// back through the binding.
TEST(UdpServer, AnswersEveryDatagramOfEitherFamily) {
  TEchoServer echo;
  echo.Server.SetActive(true);
  echo.Server.SetActive(true);  // the current value: nothing happens
  ASSERT_EQ(echo.Server.Bindings().Count(), 1);
  const TIdSocketHandle& binding = *echo.Server.Bindings().Items(0);
  EXPECT_EQ(binding.IP(), "::");
  ASSERT_NE(binding.Port(), 0);

  TUdpClient v4("127.0.0.1", echo.Port());
  EXPECT_EQ(v4.Ask("abc"), "127.0.0.1:abc");
  EXPECT_EQ(v4.Ask(""), "127.0.0.1:");
  TUdpClient v6("::1", echo.Port());
  EXPECT_EQ(v6.Ask("x"), "::1:x");

  const auto start = Clock::now();
  echo.Server.SetActive(false);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "the shutdown ends the wait";
  EXPECT_FALSE(binding.Allocated());
  EXPECT_FALSE(v4.Ask("late", 200).has_value());
  echo.Server.BeginLoading();
  echo.Server.SetActive(true);  // only recorded
  EXPECT_FALSE(v4.Ask("loading", 200).has_value());
  echo.Server.Loaded();  // and applied: again, on the same port
  EXPECT_EQ(v4.Ask("again"), "127.0.0.1:again");
}

// A port held by another socket fails the activation as a TCP port does,
// and nothing stays open; with the port free it opens.
TEST(UdpServer, ATakenPortFailsTheActivationAndLeavesNothingOpen) {
  uint16_t port = 0;
  const int holder = testing::BindUdp("127.0.0.1", port);
  TEchoServer echo;
  echo.Server.SetDefaultPort(port);
  EXPECT_EQ(MessageOf<EIdCouldNotBindSocket>([&] { echo.Server.SetActive(true); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(echo.Server.Active());
  EXPECT_FALSE(echo.Server.Bindings().Items(0)->Allocated());
  close(holder);
  echo.Server.SetActive(true);
  EXPECT_EQ(TUdpClient("127.0.0.1", port).Ask("now"), "127.0.0.1:now");
}

// An error in the handling of a datagram is reported and costs that
// datagram alone: the next one is served at once, without the pause that
// follows a failed receive.
TEST(UdpServer, AFailedDatagramIsReportedAndTheNextServedAtOnce) {
  TEchoServer echo;
  std::mutex lock;
  std::vector<std::string> errors;
  auto answer = echo.Server.OnUDPRead;
  echo.Server.OnUDPRead = [&](TIdUDPServer& sender, const std::string& data,
                              TIdSocketHandle& binding, const std::string& ip, int32_t port) {
    if (data == "fail") throw EIdException("handler failed");
    answer(sender, data, binding, ip, port);
  };
  echo.Server.OnUDPException = [&](TIdUDPListenerThread&, const std::exception& e) {
    std::lock_guard<std::mutex> guard(lock);
    errors.push_back(e.what());
  };
  echo.Server.SetActive(true);
  TUdpClient client("127.0.0.1", echo.Port());
  for (int i = 0; i < kFailures; ++i) client.Send("fail");
  const TStopwatch watch;
  EXPECT_EQ(client.Ask("ok"), "127.0.0.1:ok");
  EXPECT_LT(watch.Seconds(), 1.0) << "the failures held up the next datagram";
  echo.Server.SetActive(false);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(errors, std::vector<std::string>(kFailures, "handler failed"));
}

// A datagram from port 0 (forged: no system sends from it) cannot be
// answered, the send failing with EINVAL; a server without LoopGuard
// reports each one and answers the next peer at once all the same.
TEST(UdpServer, AnAnswerThatCannotBeSentCostsThatPeerAlone) {
  auto outcome = testing::RunInChild({.OwnLoopbackAsRoot = true}, []() -> std::string {
    TEchoServer echo;
    std::atomic<int> invalid{0};
    std::atomic<int> others{0};
    echo.Server.OnUDPException = [&](TIdUDPListenerThread&, const std::exception& e) {
      auto* socketError = dynamic_cast<const EIdSocketError*>(&e);
      ++(socketError != nullptr && socketError->ErrorNumber() == EINVAL ? invalid : others);
    };
    echo.Server.SetActive(true);
    for (int i = 0; i < kFailures; ++i) testing::SendForgedDatagram("127.0.0.1", 0, "127.0.0.1", echo.Port());
    const TStopwatch watch;
    const std::string answer = TUdpClient("127.0.0.1", echo.Port()).Ask("ok").value_or("none");
    const double seconds = watch.Seconds();
    echo.Server.SetActive(false);
    return answer + (seconds < 1.0 ? " at once" : " after " + std::to_string(seconds) + " s") +
           ", EINVAL " + std::to_string(invalid) + ", others " + std::to_string(others);
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  EXPECT_EQ(outcome.Text, "127.0.0.1:ok at once, EINVAL " + std::to_string(kFailures) + ", others 0");
}

}  // namespace
}  // namespace ostrevan

namespace ostrevan {
namespace {

// Every datagram is counted once: answered, or failed when its handling
// raised; the listener is alive while the server is active.
TEST(UdpServer, StatisticsCountEveryDatagramOnce) {
  TEchoServer echo;
  auto answer = std::move(echo.Server.OnUDPRead);
  echo.Server.OnUDPRead = [&answer](TIdUDPServer& sender, const std::string& data,
                                    TIdSocketHandle& binding, const std::string& ip, int32_t port) {
    if (data == "fail") throw EIdSocketError(EHOSTUNREACH, "unreachable");
    answer(sender, data, binding, ip, port);
  };
  echo.Server.SetActive(true);
  EXPECT_TRUE(echo.Server.ListenersAlive());
  TUdpClient client("127.0.0.1", echo.Port());
  constexpr uint64_t kDatagrams = 200;
  for (uint64_t i = 0; i < kDatagrams; ++i) ASSERT_TRUE(client.Ask(std::to_string(i)).has_value());
  client.Send("fail");
  ASSERT_TRUE(testing::PollUntil([&] { return echo.Server.Statistics().Failed == 1; }));
  const TIdUDPServerStatistics counts = echo.Server.Statistics();
  EXPECT_EQ(counts.Received, kDatagrams + 1);
  EXPECT_EQ(counts.Answered, kDatagrams);
  EXPECT_EQ(counts.Dropped, 0u);
  echo.Server.SetActive(false);
  EXPECT_FALSE(echo.Server.ListenersAlive());
}

}  // namespace
}  // namespace ostrevan
