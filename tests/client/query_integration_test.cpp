// SPDX-License-Identifier: MIT
// ostrevan-query end to end: the program run against a time server on
// loopback, directly and through each real proxy, and its failures.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/scripted_socks_proxy.h"
#include "tests/support/socks_proxies.h"
#include "tests/support/process.h"
#include "tests/support/time_responder.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {
namespace {

// 1995-01-25 05:20:00 UTC.
constexpr uint32_t Count = 3000000000u;
const std::string CountLine = "1995-01-25 05:20:00 UTC (count 3000000000)\n";

std::string BuildDirectory() {
#ifdef OSTREVAN_BUILD_DIR
  return OSTREVAN_BUILD_DIR;
#else
  // The test binary lives in <build>/tests.
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
#endif
}

std::string QueryProgram() { return BuildDirectory() + "/client/query/ostrevan-query"; }

TRunResult Query(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), QueryProgram());
  return RunProgram(arguments, "", std::chrono::seconds(20));
}

std::string Port(uint16_t port) { return std::to_string(port); }
std::string Proxy(uint16_t port) { return "127.0.0.1:" + Port(port); }

// A failure is one line on standard error, and status 1.
void ExpectFailure(const TRunResult& result, const std::string& line) {
  EXPECT_EQ(result.Status, 1);
  EXPECT_EQ(result.Output, "ostrevan-query: " + line + "\n");
}

// The daemon itself on 127.0.0.1, as an operator would run it: its console
// reads /dev/null, so it serves until it is stopped with SIGTERM. Its clock
// is read in UTC so that the count can be checked against time().
class TDaemon {
 public:
  TDaemon() {
    const std::string program = BuildDirectory() + "/shell/ostrevan";
    if (access(program.c_str(), X_OK) != 0) {
      SkipReason_ = program + " is not built";
      return;
    }
    Port_ = FreeLoopbackPort();
    TSpawnedProcess::TOptions options;
    options.OutputFile = Dir_.File("out");
    options.Environment = {"TZ=UTC"};
    Process_ = std::make_unique<TSpawnedProcess>(
        std::vector<std::string>{program, std::to_string(Port_)}, options);
    const std::string started = "Time server started on port " + std::to_string(Port_) + ".";
    const bool up = testing::PollUntil(
        [&] { return Dir_.ReadFile("out").find(started) != std::string::npos || !Process_->Running(); },
        std::chrono::seconds(10), std::chrono::milliseconds(10));
    if (!up || Dir_.ReadFile("out").find(started) == std::string::npos) {
      throw std::runtime_error("the daemon did not start: " + Dir_.ReadFile("out"));
    }
  }
  uint16_t Port() const { return Port_; }
  const std::string& SkipReason() const { return SkipReason_; }

 private:
  TTempDir Dir_;
  std::unique_ptr<TSpawnedProcess> Process_;  // stopped with SIGTERM, then reaped
  uint16_t Port_ = 0;
  std::string SkipReason_;
};

// The count printed on a successful line must be the time of the moment.
void ExpectCurrentTime(const TRunResult& result, const std::string& what) {
  EXPECT_EQ(result.Status, 0) << what << ": " << result.Output;
  const size_t at = result.Output.find("(count ");
  ASSERT_NE(at, std::string::npos) << what << ": " << result.Output;
  const int64_t count = std::stoll(result.Output.substr(at + 7));
  const int64_t now = static_cast<int64_t>(std::time(nullptr)) + 2208988800;
  EXPECT_LE(std::llabs(now % (int64_t{1} << 32) - count), 3) << what << ": " << result.Output;
}

TEST(QueryProgram, HelpAndCommandLineErrors) {
  const TRunResult help = Query({"--help"});
  EXPECT_EQ(help.Status, 0);
  EXPECT_EQ(help.Output.rfind("Usage: ostrevan-query [OPTIONS] HOST [PORT]\n", 0), 0u) << help.Output;
  for (const char* option : {"--socks", "--proxy", "--user", "--password", "--ipv4", "--ipv6",
                             "--udp", "--timeout", "--version"}) {
    EXPECT_NE(help.Output.find(option), std::string::npos) << option;
  }
  const TRunResult version = Query({"--version"});
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Output, "ostrevan-query 2.1\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> wrong{
      {{}, "no HOST given"},
      {{"localhost", "0"}, "PORT must be a number from 1 to 65535, not \"0\""},
      {{"localhost", "37", "38"}, "too many arguments: 38"},
      {{"--socks", "6", "localhost"}, "--socks takes 4, 4a or 5, not \"6\""},
      {{"--socks=5", "localhost"}, "--socks needs --proxy HOST[:PORT]"},
      {{"--proxy", "localhost", "localhost"}, "--proxy needs --socks 4, 4a or 5"},
      {{"-s", "5", "-x", "localhost:99999", "localhost"},
       "the proxy's port must be a number from 1 to 65535"},
      {{"-s", "4", "-x", "localhost", "-p", "secret", "localhost"}, "--password is for SOCKS 5 only"},
      {{"-s", "5", "-x", "localhost", "-u", std::string(256, 'u'), "localhost"},
       "--user is longer than 255 bytes"},
      {{"--timeout", "-1", "localhost"},
       "--timeout takes milliseconds, a number from 1 to 2147483647"},
      {{"--verbose", "localhost"}, "unknown option --verbose"},
      {{"localhost", "--verbose"}, "unknown option --verbose"},
      {{"localhost", "--version=2"}, "--version takes no value"},
      {{"127.0.0.1", "-5"}, "PORT must be a number from 1 to 65535, not \"-5\""},
      {{"-4", "::1"}, "-4 asks for IPv4, but HOST ::1 is an IPv6 address"},
      {{"-6", "127.0.0.1"}, "-6 asks for IPv6, but HOST 127.0.0.1 is an IPv4 address"},
      {{"-6", "-s", "5", "-x", "127.0.0.1", "::1"},
       "-6 asks for IPv6, but the proxy 127.0.0.1 is an IPv4 address"},
      {{"-4", "-6", "localhost"}, "-4 and -6 exclude each other"},
      {{"1:2"}, "HOST 1:2 is neither a name nor an address"},
      {{"-s", "5", "-x", "[::1]x", "localhost"},
       "--proxy [::1]x is not HOST[:PORT] (an IPv6 address with a port as [ADDRESS]:PORT)"},
      {{"-s", "4a", "-x", "[::1]:1080", "::1"},
       "SOCKS 4 and 4a cannot reach an IPv6 HOST; --socks 5 can"},
      {{"--udp", "-s", "5", "-x", "localhost", "localhost"}, "--udp cannot go through a SOCKS proxy"},
      {{"localhost", "--timeout"}, "--timeout needs a value"}};
  for (const auto& [arguments, error] : wrong) {
    const TRunResult result = Query(arguments);
    EXPECT_EQ(result.Status, 2) << error;
    EXPECT_EQ(result.Output, "ostrevan-query: " + error + " (see ostrevan-query --help)\n");
  }
}

TEST(QueryProgram, DirectAndAcrossTheWrap) {
  TTimeResponder server(Count);
  TRunResult result = Query({"127.0.0.1", Port(server.Port())});
  EXPECT_EQ(result.Status, 0);
  EXPECT_EQ(result.Output, CountLine);

  // Past the 32-bit wrap of 2036 the count starts again from 0.
  TTimeResponder wrapped(100);
  result = Query({"localhost", Port(wrapped.Port())});
  EXPECT_EQ(result.Output, "2036-02-07 06:29:56 UTC (count 100)\n");
  TTimeResponder lastBeforeWrap(0xFFFFFFFFu);
  result = Query({"localhost", Port(lastBeforeWrap.Port())});
  EXPECT_EQ(result.Output, "2036-02-07 06:28:15 UTC (count 4294967295)\n");
}

// The daemon, asked directly and through every real proxy in every version
// it speaks.
TEST(QueryProgram, DaemonThroughEveryProxy) {
  TDaemon server;
  if (!server.SkipReason().empty()) GTEST_SKIP() << server.SkipReason();
  const std::string port = Port(server.Port());
  ExpectCurrentTime(Query({"localhost", port}), "direct");

  TDantedProxy danted({.RequireUsername = false, .BlockedPort = 0});
  if (danted.SkipReason().empty()) {
    ExpectCurrentTime(Query({"-s", "4", "-x", Proxy(danted.Port()), "127.0.0.1", port}), "danted 4");
    ExpectCurrentTime(Query({"-s", "5", "-x", Proxy(danted.Port()), "localhost", port}), "danted 5");
  }
  const TSocksTestUser user;
  TDantedProxy login({.RequireUsername = true, .BlockedPort = 0});
  if (!user.Name().empty() && login.SkipReason().empty()) {
    ExpectCurrentTime(Query({"-s", "5", "-x", Proxy(login.Port()), "-u", user.Name(), "-p",
                             user.Password(), "localhost", port}),
                      "danted 5 with login");
  }
  const std::string longUser(255, 'u'), longPassword(255, 'p');
  TMicrosocksProxy microsocks(longUser, longPassword);
  if (microsocks.SkipReason().empty()) {
    ExpectCurrentTime(Query({"--socks=5", "--proxy=" + Proxy(microsocks.Port()),
                             "--user=" + longUser, "--password=" + longPassword, "127.0.0.1", port}),
                      "microsocks with a 255-byte login");
  }
  TSshDynamicProxy ssh;
  if (ssh.SkipReason().empty()) {
    // A user name would make SOCKS 5 log in, which this proxy does not offer.
    ExpectCurrentTime(Query({"-s", "4a", "-u", "abc", "-x", Proxy(ssh.Port()), "localhost", port}),
                      "ssh 4a");
    ExpectCurrentTime(Query({"-s", "4", "-x", Proxy(ssh.Port()), "localhost", port}), "ssh 4");
    ExpectCurrentTime(Query({"-s", "5", "-x", Proxy(ssh.Port()), "localhost", port}), "ssh 5");
  }
}

// The daemon over IPv6 and over UDP, and through real proxies that listen
// on ::1 only, to its IPv6 address.
TEST(QueryProgram, DaemonOverIPv6AndUdp) {
  TDaemon server;
  if (!server.SkipReason().empty()) GTEST_SKIP() << server.SkipReason();
  const std::string port = Port(server.Port());
  ExpectCurrentTime(Query({"::1", port}), "IPv6");
  ExpectCurrentTime(Query({"[::1]", port}), "IPv6 in brackets");
  ExpectCurrentTime(Query({"-6", "localhost", port}), "IPv6 by name");
  ExpectCurrentTime(Query({"--udp", "127.0.0.1", port}), "UDP");
  ExpectCurrentTime(Query({"--udp", "-6", "localhost", port}), "UDP over IPv6");

  TDantedProxy danted({.RequireUsername = false, .BlockedPort = 0, .IPv6 = true});
  if (danted.SkipReason().empty()) {
    ExpectCurrentTime(Query({"-s", "5", "-x", "[::1]:" + Port(danted.Port()), "::1", port}),
                      "danted on ::1");
  }
  TSshDynamicProxy ssh(true);
  if (ssh.SkipReason().empty()) {
    ExpectCurrentTime(Query({"-s", "5", "-x", "[::1]:" + Port(ssh.Port()), "::1", port}),
                      "ssh -D on ::1");
  }
}

// A UDP query fails on a closed port, on a server that does not answer in
// time, and on an answer that is not four bytes long.
TEST(QueryProgram, UdpFailures) {
  uint16_t port = 0;
  close(BindUdp("127.0.0.1", port));
  ExpectFailure(Query({"--udp", "127.0.0.1", Port(port)}),
                "asking 127.0.0.1:" + Port(port) +
                    " over UDP failed: Socket Error # 111: Connection refused.");

  port = 0;
  const int silent = BindUdp("::1", port);
  ExpectFailure(Query({"--udp", "-t", "300", "::1", Port(port)}),
                "timed out after 300 ms waiting for the time from [::1]:" + Port(port) + " over UDP");
  close(silent);

  port = 0;
  const int talkative = BindUdp("::1", port);
  std::thread answerLong([talkative] {
    pollfd entry{talkative, POLLIN, 0};
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    char buffer[16];
    if (poll(&entry, 1, 10000) == 1 &&
        recvfrom(talkative, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length) >= 0) {
      sendto(talkative, "12345", 5, 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  });
  ExpectFailure(Query({"--udp", "::1", Port(port)}),
                "[::1]:" + Port(port) + " answered with 5 bytes over UDP instead of the 4 of a time answer");
  answerLong.join();
  close(talkative);
}

// Refusals by real proxies, each reported with the proxy's own message.
TEST(QueryProgram, ProxyRefusals) {
  TTimeResponder blocked(Count);
  TDantedProxy danted({.RequireUsername = false, .BlockedPort = blocked.Port()});
  if (danted.SkipReason().empty()) {
    for (const auto& [version, message] :
         {std::pair<std::string, std::string>{"4", "Request rejected or failed."},
          {"5", "Connection not allowed by ruleset."}}) {
      ExpectFailure(
          Query({"-s", version, "-x", Proxy(danted.Port()), "127.0.0.1", Port(blocked.Port())}),
          "SOCKS " + version + " proxy " + Proxy(danted.Port()) + " did not connect to 127.0.0.1:" +
              Port(blocked.Port()) + ": " + message);
    }
  }
  TMicrosocksProxy microsocks("user", "password");
  if (microsocks.SkipReason().empty()) {
    ExpectFailure(Query({"-s", "5", "-x", Proxy(microsocks.Port()), "-u", "user", "-p", "wrong",
                         "localhost", Port(blocked.Port())}),
                  "SOCKS 5 proxy " + Proxy(microsocks.Port()) + " did not connect to localhost:" +
                      Port(blocked.Port()) + ": Authentication error to socks server.");
  }
  TSshDynamicProxy ssh;
  if (ssh.SkipReason().empty()) {
    const uint16_t closed = FreeLoopbackPort();
    ExpectFailure(Query({"-s", "4a", "-x", Proxy(ssh.Port()), "localhost", Port(closed)}),
                  "SOCKS 4a proxy " + Proxy(ssh.Port()) + " did not connect to localhost:" +
                      Port(closed) + ": Socks server did not respond.");
  }
  EXPECT_EQ(blocked.Served(), 0);
}

// Failures outside the exchange itself still say what failed.
TEST(QueryProgram, OutputAndSystemFailures) {
  TTimeResponder server(Count);
  const TRunResult full =
      RunProgram({"sh", "-c", QueryProgram() + " 127.0.0.1 " + Port(server.Port()) + " >/dev/full"});
  ExpectFailure(full, "cannot write the time to standard output: No space left on device");

  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
  // One process for the user, so that the time-out's thread cannot start.
  std::vector<std::string> command{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                   "prlimit", "--nproc=1", QueryProgram(), "127.0.0.1",
                                   Port(server.Port())};
#ifdef __SANITIZE_ADDRESS__
  // The leak check at exit needs a thread of its own, which it cannot have.
  const char* asan = std::getenv("ASAN_OPTIONS");
  command.insert(command.begin(), {"env", std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"});
#endif
  ExpectFailure(RunProgram(command),
                "cannot start the thread that enforces the time-out: Resource temporarily unavailable");
}

// Over TCP an answer is four bytes and then the end of the stream: a server
// that sends without end, or one byte too many a moment after the four, has
// not answered. One that closes only once the client has ended its side, as
// RFC 868 lets it, has.
TEST(QueryProgram, TcpAnswerIsFourBytesThenTheEnd) {
  const TBytes answer{0xB2, 0xD0, 0x5E, 0x00};  // Count
  for (const TProxyStep& send : {Write(TBytes(1 << 20, 0xA5)), Write({0xB2, 0xD0, 0x5E, 0x00, 0x00}, 4)}) {
    TScriptedSocksProxy server({send});
    ExpectFailure(Query({"127.0.0.1", Port(server.Port())}),
                  "127.0.0.1:" + Port(server.Port()) + " sent more than the 4 bytes of a time answer");
  }
  TScriptedSocksProxy patient({Write(answer), Read(1)});
  const TRunResult result = Query({"-t", "3000", "127.0.0.1", Port(patient.Port())});
  EXPECT_EQ(result.Status, 0);
  EXPECT_EQ(result.Output, CountLine);
}

TEST(QueryProgram, Failures) {
  const uint16_t closed = FreeLoopbackPort();
  ExpectFailure(Query({"127.0.0.1", Port(closed)}),
                "cannot connect to 127.0.0.1:" + Port(closed) +
                    ": Socket Error # 111: Connection refused.");
  ExpectFailure(Query({"-s", "5", "-x", Proxy(closed), "127.0.0.1", "37"}),
                "cannot connect to 127.0.0.1:37 through the SOCKS 5 proxy " + Proxy(closed) +
                    ": Socket Error # 111: Connection refused.");

  {  // A server that takes the connection and never answers.
    uint16_t port = 0;
    const int silent = ListenOnLoopback(port);
    ExpectFailure(Query({"--timeout", "300", "127.0.0.1", Port(port)}),
                  "timed out after 300 ms waiting for the time from 127.0.0.1:" + Port(port));
    // A proxy that does the same.
    ExpectFailure(Query({"-t", "300", "-s", "5", "-x", Proxy(port), "localhost", "37"}),
                  "timed out after 300 ms connecting to localhost:37 through the SOCKS 5 proxy " +
                      Proxy(port));
    close(silent);
  }
  {
    TScriptedSocksProxy shortServer({Write({0xB3, 0x2D}), Close()});
    ExpectFailure(Query({"127.0.0.1", Port(shortServer.Port())}),
                  "127.0.0.1:" + Port(shortServer.Port()) +
                      " closed the connection after 2 of the 4 bytes of a time answer");
  }
  {
    TScriptedSocksProxy proxy({Read(3), Write({5, 0}), Read(16), Write({5, 2, 0, 1, 0, 0, 0, 0, 0, 0})});
    ExpectFailure(Query({"-s", "5", "-x", Proxy(proxy.Port()), "127.0.0.1", "37"}),
                  "SOCKS 5 proxy " + Proxy(proxy.Port()) +
                      " did not connect to 127.0.0.1:37: Connection not allowed by ruleset.");
  }
}

}  // namespace
}  // namespace ostrevan::testing
