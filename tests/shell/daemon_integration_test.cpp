// Drives the real ostrevan binary through pipes, as an operator would.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "tests/support/program_runner.h"
#include "tests/support/tcp_probe.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::BuildDir;
using testing::FreeTcpPort;
using testing::IsListening;
using testing::ReadUntilClosed;
using testing::TChildProcess;

const std::string kBanner =
    "\nOstrevan v2.1\nCopyright (c) 2026 the Ostrevan developers\n\n"
    "Contact: ostrevan@example.org\nWeb: https://ostrevan.example.org/\n\n\n";
const std::string kHelp =
    "\nCommands:\nHELP = This help screen\nPORT = Change port. Parameters = port.\n"
    "EXIT = Terminate the program\n";
const std::string kPrompt = "\n> ";
const std::string kStopped = "Server stopped by user.\n\n";
const std::string kInvalidPort = "Invalid port, or port could not be opened.\n";
const std::string kCouldNotStart = "Could not start the server!\n";

std::string StartLines(const std::string& port) {
  return "Time server started on port " + port + ".\nEnter ? for list of commands.\n";
}

// The daemon as one test runs it: started with the given argument, and
// stopped (or killed by the process helper) when the test ends.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> arguments, TChildProcess::TOptions options = {})
      : Process_(Command(std::move(arguments)), options) {}

  static std::vector<std::string> Command(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BuildDir() + "/shell/ostrevan");
    return arguments;
  }

  // Sends one line and waits for the prompt (or the end) that follows.
  void Send(const std::string& line) { ASSERT_TRUE(Process_.Write(line)); }
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    return Process_.WaitForOutput(text, timeout);
  }
  // The output after the banner.
  std::string AfterBanner() const {
    const std::string& out = Process_.Output();
    return out.compare(0, kBanner.size(), kBanner) == 0 ? out.substr(kBanner.size()) : "<no banner>" + out;
  }
  std::optional<int> Exit(std::chrono::milliseconds timeout = 10s) { return Process_.WaitForExit(timeout); }
  TChildProcess& Process() { return Process_; }

 private:
  TChildProcess Process_;
};

TChildProcess::TOptions OwnNetwork() {
  TChildProcess::TOptions options;
  options.OwnNetworkNamespace = true;
  return options;
}

#define REQUIRE_NETNS()                                                               \
  if (!TChildProcess::CanUseNetworkNamespaces())                                      \
  GTEST_SKIP() << "needs a network namespace of its own (unshare -n) for fixed ports"

// Runs the daemon with one argument in a namespace of its own, reads the
// start lines and stops it with EXIT; returns what followed the banner.
std::string StartAndExit(const std::vector<std::string>& arguments) {
  Daemon daemon(arguments, OwnNetwork());
  daemon.WaitFor(kPrompt);
  daemon.Send("EXIT\n");
  auto status = daemon.Exit();
  EXPECT_EQ(status, std::optional<int>(0));
  EXPECT_EQ(daemon.Process().ErrorOutput(), "");
  return daemon.AfterBanner();
}

TEST(Daemon, PrintsBannerStartLinesAndStopsOnExit) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  EXPECT_EQ(daemon.Process().Output(), kBanner + StartLines(std::to_string(port)) + kPrompt);
  auto answer = ReadUntilClosed(port);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->size(), 4u);

  auto started = std::chrono::steady_clock::now();
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(daemon.AfterBanner(), StartLines(std::to_string(port)) + kPrompt + kStopped);
  EXPECT_EQ(daemon.Process().ErrorOutput(), "");
  EXPECT_FALSE(IsListening(port));
}

TEST(Daemon, AnswersWithTheLocalTimeCount) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  auto answer = ReadUntilClosed(port);
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(answer->size(), 4u);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  uint32_t expected = static_cast<uint32_t>(int64_t{now} + local.tm_gmtoff + 2208988800LL);
  uint32_t got = testing::BigEndian32(*answer);
  EXPECT_LE(static_cast<uint32_t>(expected - got), 2u) << "got " << got << ", expected about " << expected;
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
}

TEST(Daemon, RdateAcceptsTheAnswer) {
  if (access("/usr/sbin/rdate", X_OK) != 0) GTEST_SKIP() << "rdate is not installed";
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  TChildProcess rdate({"/usr/sbin/rdate", "-p", "-o", std::to_string(port), "127.0.0.1"});
  EXPECT_EQ(rdate.WaitForExit(10s), std::optional<int>(0)) << rdate.ErrorOutput();
  // rdate prints the time it read: "rdate: [127.0.0.1]\t<date>".
  std::time_t now = std::time(nullptr);
  char year[8];
  std::strftime(year, sizeof year, "%Y", std::localtime(&now));
  EXPECT_NE(rdate.Output().find(year), std::string::npos) << rdate.Output();
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
}

TEST(Daemon, HelpSwitchPrintsUsageAndStartsNoServer) {
  const std::string usage =
      "Command line parameters for Ostrevan daemon: \r\n\r\n[port] = Port to use\r\n"
      "-? = This help screen\r\n\r\nTime Synchronization (NTP) server.\n\n";
  for (std::string argument : {"-?", "-H", "-Hxyz", "a-?b"}) {
    Daemon daemon({argument, "ignored"});
    EXPECT_EQ(daemon.Exit(), std::optional<int>(0)) << argument;
    EXPECT_EQ(daemon.AfterBanner(), usage) << argument;
    EXPECT_EQ(daemon.Process().ErrorOutput(), "");
  }
}

TEST(Daemon, CommandLinePortConversion) {
  REQUIRE_NETNS();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "37"},         {{"-h"}, "37"},   {{" 40"}, "40"},      {{"40 "}, "37"},
      {{"abc"}, "37"},    {{"$1F"}, "31"},  {{"0x1F"}, "31"},     {{"-5"}, "-5"},
      {{"40", "-?"}, "40"}, {{"8037"}, "8037"},
  };
  for (const auto& [arguments, port] : cases) {
    EXPECT_EQ(StartAndExit(arguments), StartLines(port) + kPrompt + kStopped)
        << "argument: '" << (arguments.empty() ? "" : arguments[0]) << "'";
  }
}

TEST(Daemon, PortInUseAtStart) {
  int port = FreeTcpPort();
  Daemon first({std::to_string(port)});
  ASSERT_TRUE(first.WaitFor(kPrompt));
  Daemon second({std::to_string(port)});
  EXPECT_EQ(second.Exit(), std::optional<int>(0));
  EXPECT_EQ(second.AfterBanner(), kCouldNotStart);
  EXPECT_EQ(second.Process().ErrorOutput(), "");
  EXPECT_TRUE(ReadUntilClosed(port).has_value()) << "the first daemon still serves";
  first.Send("EXIT\n");
  EXPECT_EQ(first.Exit(), std::optional<int>(0));
}

// Sends each line and returns the console's answer to it: everything up to
// and including the next prompt (or the end of output when it stops).
class Console : public ::testing::Test {
 protected:
  void Start(const std::string& port, TChildProcess::TOptions options = {}) {
    daemon_ = std::make_unique<Daemon>(std::vector<std::string>{port}, options);
    ASSERT_TRUE(daemon_->WaitFor(StartLines(port) + kPrompt));
    seen_ = daemon_->Process().Output().size();
  }
  std::string Answer(const std::string& line) {
    daemon_->Send(line);
    TChildProcess& process = daemon_->Process();
    for (int slice = 0; slice < 100; ++slice) {
      if (process.WaitForOutput(kPrompt, 100ms, seen_)) {
        auto end = process.Output().find(kPrompt, seen_) + kPrompt.size();
        std::string answer = process.Output().substr(seen_, end - seen_);
        seen_ = end;
        return answer;
      }
      if (process.WaitForExit(0ms)) break;
    }
    std::string rest = process.Output().substr(seen_);
    seen_ = process.Output().size();
    return rest;
  }
  std::unique_ptr<Daemon> daemon_;
  size_t seen_ = 0;
};

TEST_F(Console, HelpRules) {
  Start(std::to_string(FreeTcpPort()));
  EXPECT_EQ(Answer("?\n"), kHelp + kPrompt);
  EXPECT_EQ(Answer(" ?\n"), kPrompt) << "\"?\" only as the whole line";
  EXPECT_EQ(Answer("? \n"), kPrompt);
  EXPECT_EQ(Answer("help\n"), kHelp + kPrompt);
  EXPECT_EQ(Answer("xxHeLpyy\n"), kHelp + kPrompt);
  EXPECT_EQ(Answer("\n"), kPrompt) << "an empty line prints only the blank line and prompt";
  EXPECT_EQ(Answer("hello there\n"), kPrompt) << "unrecognised text is ignored";
  EXPECT_EQ(Answer("HE\rLP\r\n"), kHelp + kPrompt) << "carriage returns are dropped";
  EXPECT_EQ(Answer("QUIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
  EXPECT_EQ(daemon_->Process().ErrorOutput(), "");
}

TEST_F(Console, ExitAndQuitInsideLongerWords) {
  for (std::string line : {"EXITED\n", "quitter\r\n", "help exit\n"}) {
    Start(std::to_string(FreeTcpPort()));
    std::string expected = (line == "help exit\n" ? kHelp : "") + kStopped;
    EXPECT_EQ(Answer(line), expected) << line;
    EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
  }
}

TEST_F(Console, PortArgumentRules) {
  REQUIRE_NETNS();
  Start("50", OwnNetwork());
  const std::string changed = "Port changed to ";
  EXPECT_EQ(Answer("REPORT 40\n"), changed + "40.\n" + kPrompt) << "PORT inside a word";
  EXPECT_EQ(Answer("PORT\n"), kInvalidPort + kPrompt) << "no blank: the whole line is the argument";
  EXPECT_EQ(Answer("PORT  41\n"), changed + "41.\n" + kPrompt) << "an extra blank is a leading blank";
  EXPECT_EQ(Answer("PORT 42 \n"), kInvalidPort + kPrompt) << "a trailing blank is invalid";
  EXPECT_EQ(Answer("port 0x1f\n"), changed + "31.\n" + kPrompt);
  EXPECT_EQ(Answer("HELP PORT 40\n"), kHelp + kInvalidPort + kPrompt);
  EXPECT_EQ(Answer("PORT 31\n"), changed + "31.\n" + kPrompt) << "the same port again";
  EXPECT_EQ(Answer("EXIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
}

TEST_F(Console, PortChangesMoveTheServer) {
  int first = FreeTcpPort();
  Start(std::to_string(first));
  int second = FreeTcpPort();
  EXPECT_EQ(Answer("PORT " + std::to_string(second) + "\n"),
            "Port changed to " + std::to_string(second) + ".\n" + kPrompt);
  EXPECT_FALSE(IsListening(first));
  EXPECT_EQ(ReadUntilClosed(second).value_or("").size(), 4u);

  // An invalid number leaves the running server alone.
  EXPECT_EQ(Answer("PORT x\n"), kInvalidPort + kPrompt);
  EXPECT_EQ(ReadUntilClosed(second).value_or("").size(), 4u);

  // A port held by someone else: the old server is gone and nothing listens.
  Daemon other({std::to_string(first)});
  ASSERT_TRUE(other.WaitFor(kPrompt));
  EXPECT_EQ(Answer("PORT " + std::to_string(first) + "\n"), kInvalidPort + kPrompt);
  EXPECT_FALSE(IsListening(second));
  other.Send("EXIT\n");
  EXPECT_EQ(other.Exit(), std::optional<int>(0));

  // A later PORT to a free port serves again.
  int third = FreeTcpPort();
  EXPECT_EQ(Answer("PORT " + std::to_string(third) + "\n"),
            "Port changed to " + std::to_string(third) + ".\n" + kPrompt);
  EXPECT_EQ(ReadUntilClosed(third).value_or("").size(), 4u);
  EXPECT_EQ(Answer("EXIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
  EXPECT_EQ(daemon_->Process().ErrorOutput(), "");
}

long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(content.substr(content.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

TEST(Daemon, KeepsServingAfterEndOfInputUntilSigterm) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  daemon.Process().CloseInput();
  long before = CpuTicks(daemon.Process().Pid());
  // Serve a few clients over about a second; the console must not spin.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ReadUntilClosed(port).value_or("").size(), 4u);
    daemon.WaitFor("never printed", 200ms);
  }
  EXPECT_LE(CpuTicks(daemon.Process().Pid()) - before, 20) << "ticks of CPU while idle";
  EXPECT_EQ(daemon.Process().Output().size(), (kBanner + StartLines(std::to_string(port)) + kPrompt).size())
      << "no endless prompts";
  daemon.Process().Signal(SIGTERM);
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_EQ(daemon.AfterBanner(), StartLines(std::to_string(port)) + kPrompt + kStopped);
  EXPECT_FALSE(IsListening(port));
}

TEST(Daemon, StartsWithStandardInputClosedOrEmpty) {
  for (bool closed : {true, false}) {
    int port = FreeTcpPort();
    TChildProcess::TOptions options;
    options.CloseStdin = closed;
    Daemon daemon({std::to_string(port)}, options);
    if (!closed) daemon.Process().CloseInput();
    ASSERT_TRUE(daemon.WaitFor(kPrompt));
    EXPECT_EQ(ReadUntilClosed(port).value_or("").size(), 4u);
    daemon.Process().Signal(SIGTERM);
    EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  }
}

TEST(Daemon, InterruptAndQuitSignalsEndThroughTheHandler) {
  for (int signal : {SIGINT, SIGQUIT}) {
    for (bool inputOpen : {true, false}) {
      int port = FreeTcpPort();
      Daemon daemon({std::to_string(port)});
      ASSERT_TRUE(daemon.WaitFor(kPrompt));
      if (!inputOpen) daemon.Process().CloseInput();
      daemon.Process().Signal(signal);
      EXPECT_EQ(daemon.Exit(), std::optional<int>(0)) << signal;
      EXPECT_EQ(daemon.AfterBanner(), StartLines(std::to_string(port)) + kPrompt + kCouldNotStart);
      EXPECT_EQ(daemon.Process().ErrorOutput(), "");
      EXPECT_FALSE(IsListening(port));
    }
  }
}

TEST(Daemon, ClosedStandardOutputEndsQuietly) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  daemon.Process().CloseOutput();
  daemon.Send("HELP\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_EQ(daemon.Process().ErrorOutput(), "");
  EXPECT_FALSE(IsListening(port));
}

}  // namespace
}  // namespace ostrevan
