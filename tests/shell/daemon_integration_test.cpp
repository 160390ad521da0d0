// SPDX-License-Identifier: MIT
// Drives the real ostrevan binary through pipes, as an operator would.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/injected_fault.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::BuildDir;
using testing::FreeTcpPort;
using testing::IsListening;
using testing::ReadUntilClosed;
using testing::TChildProcess;
using testing::TInjectedFault;
using testing::TUdpClient;

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

  // Writes to the console's standard input; WaitFor or the Console
  // fixture's Answer waits for what follows.
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

  const testing::TStopwatch watch;
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_LT(watch.Elapsed(), 3s);
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

// Over TCP and UDP, to IPv4 and IPv6 on the one port.
TEST(Daemon, RdateAcceptsTheAnswer) {
  if (access("/usr/sbin/rdate", X_OK) != 0) GTEST_SKIP() << "rdate is not installed";
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"-u"}}) {
    for (const char* host : {"127.0.0.1", "::1"}) {
      std::vector<std::string> command{"/usr/sbin/rdate", "-p", "-o", std::to_string(port)};
      command.insert(command.end(), options.begin(), options.end());
      command.push_back(host);
      TChildProcess rdate(command);
      const std::string what = host + std::string(options.empty() ? " over TCP" : " over UDP");
      EXPECT_EQ(rdate.WaitForExit(10s), std::optional<int>(0)) << what << ": " << rdate.ErrorOutput();
      // rdate prints the time it read: "rdate: [127.0.0.1]\t<date>".
      std::time_t now = std::time(nullptr);
      char year[8];
      std::strftime(year, sizeof year, "%Y", std::localtime(&now));
      EXPECT_NE(rdate.Output().find(year), std::string::npos) << what << ": " << rdate.Output();
    }
  }
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
}

// What nmap's rfc868-time script read, as seconds since 1970, or -1.
int64_t NmapTime(const std::string& output) {
  const std::string key = "rfc868-time: ";
  const size_t at = output.find(key);
  std::tm utc{};
  if (at == std::string::npos || strptime(output.c_str() + at + key.size(), "%Y-%m-%dT%H:%M:%S", &utc) == nullptr) {
    return -1;
  }
  return static_cast<int64_t>(timegm(&utc));
}

// nmap's service detection and its rfc868-time script, over TCP to IPv4 and
// IPv6 and over UDP; on loopback only, without name look-ups, bounded. The
// daemon counts in UTC here, which is what the script reads.
TEST(Daemon, NmapReadsTheTimeOverTcpAndUdp) {
  if (access("/usr/bin/nmap", X_OK) != 0) GTEST_SKIP() << "nmap is not installed";
  const std::string port = std::to_string(FreeTcpPort());
  TChildProcess::TOptions utc;
  utc.Environment = {"TZ=UTC"};
  Daemon daemon({port}, utc);
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  // The UDP probes of service detection that can match the time service
  // are among the first three levels.
  const std::vector<std::vector<std::string>> scans{
      {"127.0.0.1"}, {"-6", "::1"}, {"-sU", "--version-intensity", "3", "127.0.0.1"}};
  for (const auto& scan : scans) {
    std::vector<std::string> command{"/usr/bin/nmap", "-n", "-Pn", "-sV", "-p", port,
                                     "--script", "rfc868-time", "--max-retries", "1",
                                     "--host-timeout", "60s"};
    command.insert(command.end(), scan.begin(), scan.end());
    const std::time_t before = std::time(nullptr);
    TChildProcess nmap(command);
    ASSERT_EQ(nmap.WaitForExit(90s), std::optional<int>(0)) << nmap.ErrorOutput();
    const std::string what = scan.back() + (scan.front() == "-sU" ? " over UDP" : " over TCP");
    EXPECT_NE(nmap.Output().find(" open  time"), std::string::npos) << what << ": " << nmap.Output();
    const int64_t read = NmapTime(nmap.Output());
    EXPECT_GE(read, before - 2) << what << ": " << nmap.Output();
    EXPECT_LE(read, std::time(nullptr) + 2) << what << ": " << nmap.Output();
  }
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

// A server that cannot be started at start-up is a failure: status 1.
TEST(Daemon, PortInUseAtStart) {
  int port = FreeTcpPort();
  Daemon first({std::to_string(port)});
  ASSERT_TRUE(first.WaitFor(kPrompt));
  Daemon second({std::to_string(port)});
  EXPECT_EQ(second.Exit(), std::optional<int>(1));
  EXPECT_EQ(second.AfterBanner(), kCouldNotStart);
  EXPECT_EQ(second.Process().ErrorOutput(), "");
  EXPECT_TRUE(ReadUntilClosed(port).has_value()) << "the first daemon still serves";
  first.Send("EXIT\n");
  EXPECT_EQ(first.Exit(), std::optional<int>(0));
}

TEST(Daemon, PortNotPermittedAtStart) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the daemon as nobody";
  REQUIRE_NETNS();
  TChildProcess daemon({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                        BuildDir() + "/shell/ostrevan", "37"},
                       OwnNetwork());
  EXPECT_EQ(daemon.WaitForExit(10s), std::optional<int>(1));
  EXPECT_EQ(daemon.Output(), kBanner + kCouldNotStart);
  EXPECT_EQ(daemon.ErrorOutput(), "");
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

TEST_F(Console, LongLines) {
  int port = FreeTcpPort();
  Start(std::to_string(port));
  const std::string filler(300000, 'x');
  EXPECT_EQ(Answer(filler + "HELP\n"), kHelp + kPrompt);
  const int moved = FreeTcpPort();
  EXPECT_EQ(Answer(filler + "PORT " + std::to_string(moved) + "\n"),
            "Port changed to " + std::to_string(moved) + ".\n" + kPrompt);
  const std::string limit(1 << 20, 'x');
  EXPECT_EQ(Answer(limit.substr(4) + "he\rlp\r\n"), kHelp + kPrompt) << "1 MiB without its CRs";
  EXPECT_EQ(Answer(limit.substr(3) + "help\n"), kPrompt) << "one byte more is ignored";
  EXPECT_EQ(Answer(limit + limit + limit + "EXIT\n"), kPrompt) << "and runs no command";
  EXPECT_EQ(Answer("HELP\n"), kHelp + kPrompt);
  EXPECT_EQ(ReadUntilClosed(moved).value_or("").size(), 4u);
  EXPECT_EQ(Answer("EXIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
}

// The count of a UDP answer on 127.0.0.1:port, or nothing.
std::optional<std::string> AskOverUdp(int port, int timeoutMs = 2000) {
  return TUdpClient("127.0.0.1", static_cast<uint16_t>(port)).Ask("", timeoutMs);
}

TEST_F(Console, PortChangesMoveTheServer) {
  int first = FreeTcpPort();
  Start(std::to_string(first));
  EXPECT_EQ(AskOverUdp(first).value_or("").size(), 4u);
  int second = FreeTcpPort();
  EXPECT_EQ(Answer("PORT " + std::to_string(second) + "\n"),
            "Port changed to " + std::to_string(second) + ".\n" + kPrompt);
  EXPECT_FALSE(IsListening(first));
  EXPECT_FALSE(AskOverUdp(first, 300).has_value()) << "UDP moved with TCP";
  EXPECT_EQ(ReadUntilClosed(second).value_or("").size(), 4u);
  EXPECT_EQ(AskOverUdp(second).value_or("").size(), 4u);

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

// A move whose first attempt fails at one step (each of these system calls
// made to fail once) and whose second attempt opens the port has moved the
// server, and says so.
TEST_F(Console, PortMovedAtTheSecondAttempt) {
  const TInjectedFault::TCall faults[] = {{"bind", "EADDRINUSE", 1, ""},  // TCP
                                          {"bind", "EADDRINUSE", 2, ""},  // UDP
                                          {"listen", "EADDRINUSE", 1, ""},
                                          {"clone3", "EAGAIN", 1, ""}};  // the listener thread
  int old = FreeTcpPort();
  Start(std::to_string(old));
  for (const TInjectedFault::TCall& call : faults) {
    const std::string what = call.Name + " " + std::to_string(call.Nth);
    TInjectedFault fault(daemon_->Process().Pid(), call);
    if (!fault.SkipReason().empty()) GTEST_SKIP() << fault.SkipReason();
    const int moved = FreeTcpPort();
    EXPECT_EQ(Answer("PORT " + std::to_string(moved) + "\n"),
              "Port changed to " + std::to_string(moved) + ".\n" + kPrompt) << what;
    EXPECT_TRUE(fault.Injected()) << what;
    EXPECT_EQ(ReadUntilClosed(moved).value_or("").size(), 4u) << what;
    EXPECT_EQ(AskOverUdp(moved).value_or("").size(), 4u) << what;
    EXPECT_FALSE(IsListening(old)) << what;
    old = moved;
  }
  EXPECT_EQ(Answer("EXIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
}

// A port whose UDP side another socket holds cannot be opened: at start
// (status 1) and by PORT, and TCP is not left open on it either.
TEST_F(Console, APortWhoseUdpSideIsTakenCannotBeOpened) {
  uint16_t held = static_cast<uint16_t>(FreeTcpPort());
  const int holder = testing::BindUdp("127.0.0.1", held);
  {
    Daemon daemon({std::to_string(held)});
    EXPECT_EQ(daemon.Exit(), std::optional<int>(1));
    EXPECT_EQ(daemon.AfterBanner(), kCouldNotStart);
  }
  Start(std::to_string(FreeTcpPort()));
  EXPECT_EQ(Answer("PORT " + std::to_string(held) + "\n"), kInvalidPort + kPrompt);
  EXPECT_FALSE(IsListening(held));
  close(holder);
  EXPECT_EQ(Answer("PORT " + std::to_string(held) + "\n"),
            "Port changed to " + std::to_string(held) + ".\n" + kPrompt);
  EXPECT_EQ(AskOverUdp(held).value_or("").size(), 4u);
  EXPECT_EQ(Answer("EXIT\n"), kStopped);
  EXPECT_EQ(daemon_->Exit(), std::optional<int>(0));
}

// In a network namespace whose IPv6 is disabled the daemon starts and
// serves IPv4 clients over TCP and UDP (the system still gives it the
// socket for both families, which then takes IPv4 alone).
TEST(Daemon, StartsAndServesIPv4WhereIPv6IsDisabled) {
  REQUIRE_NETNS();
  if (geteuid() != 0) GTEST_SKIP() << "disabling IPv6 in a namespace needs root";
  const std::string query = BuildDir() + "/client/query/ostrevan-query";
  const std::string script =
      "ip link set lo up && sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
      "net.ipv6.conf.default.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1 || exit 77\n"
      "\"$1\" 37 </dev/null >\"$3\" & daemon=$!\n"
      "for i in $(seq 100); do grep -q started \"$3\" && break; sleep 0.1; done\n"
      "\"$2\" 127.0.0.1 37 && \"$2\" --udp 127.0.0.1 37 && ! \"$2\" -t 1000 ::1 37; status=$?\n"
      "kill -TERM $daemon; wait $daemon; cat \"$3\"; exit $status\n";
  testing::TTempDir dir;
  TChildProcess run({"unshare", "-n", "sh", "-c", script, "sh", BuildDir() + "/shell/ostrevan", query,
                     dir.File("daemon.out")});
  const std::optional<int> status = run.WaitForExit(30s);
  if (status == std::optional<int>(77)) GTEST_SKIP() << "IPv6 cannot be disabled here: " << run.ErrorOutput();
  EXPECT_EQ(status, std::optional<int>(0)) << run.Output() << run.ErrorOutput();
  EXPECT_NE(run.Output().find("Time server started on port 37."), std::string::npos) << run.Output();
  EXPECT_NE(run.ErrorOutput().find("cannot connect to [::1]:37"), std::string::npos) << run.ErrorOutput();
}

// While strace, attached to the running daemon, fails every accept with
// EINTR, a client waits in the queue. Only a stop ends the listener: it
// keeps trying, a slice apart, and once the injection ends the waiting
// client is served, and so is the next one.
TEST(Daemon, InterruptedAcceptsDoNotEndTheTcpService) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  TInjectedFault fault(daemon.Process().Pid(), {"accept,accept4", "EINTR", 0, "", true});
  if (!fault.SkipReason().empty()) GTEST_SKIP() << fault.SkipReason();
  // The listener tries an accept each slice, a client or not: once one has
  // failed, strace holds the listener's thread as well.
  ASSERT_TRUE(fault.Injected());

  testing::TTestClient waiting(static_cast<uint16_t>(port));
  const size_t before = fault.InjectedCount();
  EXPECT_TRUE(fault.Injected(10s, before + 4)) << "the listener stopped accepting";
  fault.Detach();
  EXPECT_EQ(waiting.ReceiveAll().size(), 4u);
  EXPECT_EQ(ReadUntilClosed(port).value_or("").size(), 4u);
  daemon.Send("EXIT\n");
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_EQ(daemon.Process().ErrorOutput(), "");
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

// The main thread of the process is inside write(2) on standard output.
bool WritingToStandardOutput(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  std::string number, descriptor;
  file >> number >> descriptor;
  return number == "1" && descriptor == "0x1";
}

// Nobody reads the daemon's output: each signal still ends it within a
// second, with the status of an ordinary end.
TEST(Daemon, SignalsActWhileStandardOutputIsBlocked) {
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    int port = FreeTcpPort();
    Daemon daemon({std::to_string(port)});
    ASSERT_TRUE(daemon.WaitFor(kPrompt));
    std::string lines;
    for (int i = 0; i < 2000; ++i) lines += "?\n";  // far more help than a pipe holds
    daemon.Send(lines);
    ASSERT_TRUE(testing::PollUntil([&] { return WritingToStandardOutput(daemon.Process().Pid()); },
                                   10s, 20ms));
    const testing::TStopwatch watch;
    daemon.Process().Signal(signal);
    EXPECT_EQ(daemon.Process().WaitForExit(10s, false), std::optional<int>(0)) << signal;
    EXPECT_LT(watch.Elapsed(), 1s) << signal;
    EXPECT_EQ(daemon.Process().ErrorOutput(), "");
  }
}

TEST(Daemon, StopSignalComesBeforeQueuedLines) {
  int port = FreeTcpPort();
  Daemon daemon({std::to_string(port)});
  ASSERT_TRUE(daemon.WaitFor(kPrompt));
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += "PORT " + std::to_string(port) + "\n";  // 250 ms each
  daemon.Send(lines);
  ASSERT_TRUE(daemon.WaitFor("Port changed to"));
  const testing::TStopwatch watch;
  daemon.Process().Signal(SIGTERM);
  EXPECT_EQ(daemon.Exit(), std::optional<int>(0));
  EXPECT_LT(watch.Elapsed(), 1s);
  const std::string& out = daemon.Process().Output();
  EXPECT_EQ(out.substr(out.size() - std::min(out.size(), kStopped.size())), kStopped);
}

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A line without end from /dev/zero: the memory stays bounded, the daemon
// answers throughout, and SIGTERM still stops it within a second.
TEST(Daemon, EndlessInputLineKeepsMemoryBounded) {
  testing::TTempDir dir;
  auto start = [&](const std::string& input, int port) {
    testing::TSpawnedProcess::TOptions options;
    options.StdinFile = input;
    options.OutputFile = dir.File(std::to_string(port));
    auto daemon = std::make_unique<testing::TSpawnedProcess>(
        Daemon::Command({std::to_string(port)}), options);
    testing::PollUntil(
        [&] { return dir.ReadFile(std::to_string(port)).find(kPrompt) != std::string::npos; }, 10s, 20ms);
    EXPECT_EQ(ReadUntilClosed(port).value_or("").size(), 4u);
    return daemon;
  };
  // The idle daemon serves the same clients, so that both carry the same
  // cost of threads (large under the sanitizers) and only the input differs.
  const int idlePort = FreeTcpPort();
  const auto idle = start("/dev/null", idlePort);
  const int port = FreeTcpPort();
  const auto daemon = start("/dev/zero", port);
  long idleKiB = 0, mostKiB = 0;
  for (const testing::TDeadline end(10s); !end.Passed();) {
    idleKiB = std::max(idleKiB, ResidentKiB(idle->Pid()));
    mostKiB = std::max(mostKiB, ResidentKiB(daemon->Pid()));
    ASSERT_EQ(ReadUntilClosed(port).value_or("").size(), 4u);
    ASSERT_EQ(ReadUntilClosed(idlePort).value_or("").size(), 4u);
    std::this_thread::sleep_for(200ms);
  }
  std::printf("resident: %ld KiB idle, at most %ld KiB reading /dev/zero\n", idleKiB, mostKiB);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's own shadow of the line buffer's blocks counts as well.
  constexpr long kBoundKiB = 16 * 1024;
#else
  constexpr long kBoundKiB = 8 * 1024;
#endif
  EXPECT_LT(mostKiB - idleKiB, kBoundKiB);
  const testing::TStopwatch watch;
  kill(daemon->Pid(), SIGTERM);
  EXPECT_EQ(daemon->WaitForExit(10s), std::optional<int>(0));
  EXPECT_LT(watch.Elapsed(), 1s);
  const std::string out = dir.ReadFile(std::to_string(port));
  EXPECT_EQ(out.substr(out.size() - std::min(out.size(), kStopped.size())), kStopped);
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

// SIGTERM and SIGHUP stop as EXIT does; SIGINT and SIGQUIT end through the
// handler. Status 0 for all four, after a good start.
TEST(Daemon, OperatorSignalsWhileWaitingForInput) {
  const std::pair<int, std::string> cases[] = {
      {SIGTERM, kStopped}, {SIGHUP, kStopped}, {SIGINT, kCouldNotStart}, {SIGQUIT, kCouldNotStart}};
  for (const auto& [signal, ending] : cases) {
    for (bool inputOpen : {true, false}) {
      int port = FreeTcpPort();
      Daemon daemon({std::to_string(port)});
      ASSERT_TRUE(daemon.WaitFor(kPrompt));
      if (!inputOpen) daemon.Process().CloseInput();
      daemon.Process().Signal(signal);
      EXPECT_EQ(daemon.Exit(), std::optional<int>(0)) << signal;
      EXPECT_EQ(daemon.AfterBanner(), StartLines(std::to_string(port)) + kPrompt + ending) << signal;
      EXPECT_EQ(daemon.Process().ErrorOutput(), "");
      EXPECT_FALSE(IsListening(port));
    }
  }
}

// Before the start an output error ends the program, as ever. After it, a
// failed write (standard output closed) or read (EIO) ends the console
// alone: a later EXIT is not read, and the server serves until SIGTERM.
TEST(Daemon, ConsoleErrorsAfterTheStartEndOnlyTheConsole) {
  const testing::TRunResult full =
      testing::RunProgram({"sh", "-c", BuildDir() + "/shell/ostrevan 0 >/dev/full"}, "", 10s);
  EXPECT_EQ(full.Status, 0);
  EXPECT_EQ(full.Output, "");

  for (bool failedRead : {false, true}) {
    const int port = FreeTcpPort();
    Daemon daemon({std::to_string(port)});
    ASSERT_TRUE(daemon.WaitFor(kPrompt));
    const pid_t pid = daemon.Process().Pid();
    if (failedRead) {
      const auto input = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/0");
      TInjectedFault fault(pid, {"read", "EIO", 1, input.string()});
      if (!fault.SkipReason().empty()) GTEST_SKIP() << fault.SkipReason();
      daemon.Send("HELP\n");
      ASSERT_TRUE(fault.Injected());
    } else {
      daemon.Process().CloseOutput();
      daemon.Send("HELP\n");
    }
    daemon.Send("EXIT\n");
    EXPECT_FALSE(daemon.Exit(500ms).has_value()) << failedRead;
    EXPECT_EQ(ReadUntilClosed(port).value_or("").size(), 4u) << failedRead;
    EXPECT_EQ(AskOverUdp(port).value_or("").size(), 4u) << failedRead;
    daemon.Process().Signal(SIGTERM);
    EXPECT_EQ(daemon.Exit(), std::optional<int>(0)) << failedRead;
    EXPECT_EQ(daemon.Process().ErrorOutput(), "");
    if (failedRead) {
      EXPECT_EQ(daemon.AfterBanner(), StartLines(std::to_string(port)) + kPrompt + kStopped);
    }
    EXPECT_FALSE(IsListening(port));
  }
}

}  // namespace
}  // namespace ostrevan
