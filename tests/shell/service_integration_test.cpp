// SPDX-License-Identifier: MIT
// The daemon under a service manager, played by the test: the notification
// socket is a datagram socket of the test's own, and the passed sockets are
// real listening sockets handed over by systemd-socket-activate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ostrevan/server/listener_thread.h"
#include "ostrevan/shell/service_manager.h"
#include "ostrevan/shell/service_monitor.h"
#include "ostrevan/time/time_server.h"
#include "ostrevan/time/time_udp_server.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {
namespace {

using namespace std::chrono_literals;

// The notification socket: every datagram the daemon sends to it.
class TNotifySocket {
 public:
  TNotifySocket() : Path_(Dir_.File("notify")) {
    Fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    Path_.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(Fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~TNotifySocket() { close(Fd_); }

  std::string Variable() const { return "NOTIFY_SOCKET=" + Path_; }
  // The next message other than a watchdog ping, or "" when none came.
  std::string Next(std::chrono::milliseconds within = 10s) {
    for (;;) {
      std::optional<std::string> message = Receive(within);
      if (!message) return "";
      if (*message != "WATCHDOG=1") return *message;
      ++Pings;
    }
  }
  std::optional<std::string> Receive(std::chrono::milliseconds within) {
    timeval timeout{static_cast<time_t>(within.count() / 1000),
                    static_cast<suseconds_t>(within.count() % 1000 * 1000)};
    setsockopt(Fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char buffer[4096];
    const ssize_t length = recv(Fd_, buffer, sizeof buffer, 0);
    if (length < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
  }
  // Status lines until one equal to the text, or "" when none came in time.
  std::string NextStatusUntil(const std::string& expected) {
    for (;;) {
      const std::string message = Next();
      if (message.empty() || message == expected) return message;
      if (message.rfind("STATUS=Answering", 0) != 0) return message;
    }
  }

  int Pings = 0;

 private:
  TTempDir Dir_;
  std::string Path_;
  int Fd_ = -1;
};

std::string Daemon() { return BuildDir() + "/shell/ostrevan"; }

#if OSTREVAN_HAVE_SYSTEMD
#define REQUIRE_SYSTEMD()
#else
#define REQUIRE_SYSTEMD() GTEST_SKIP() << "built without libsystemd"
#endif

std::string Answering(int port, const std::string& counts) {
  return "STATUS=Answering on port " + std::to_string(port) + " (TCP and UDP): " + counts;
}

TChildProcess::TOptions Notifying(const TNotifySocket& notify) {
  TChildProcess::TOptions options;
  options.Environment = {notify.Variable()};
  return options;
}

TEST(ServiceManager, StatusGroupsDigitsAndSumsTheSides) {
  EXPECT_EQ(GroupedCount(0), "0");
  EXPECT_EQ(GroupedCount(999), "999");
  EXPECT_EQ(GroupedCount(12345), "12,345");
  EXPECT_EQ(GroupedCount(1000000), "1,000,000");
  TIdTCPServerStatistics tcp;
  tcp.Served = 12345;
  tcp.Refused = 2;
  tcp.Filtered = 1;
  tcp.Failed = 1;
  TIdUDPServerStatistics udp;
  udp.Answered = 678;
  udp.Failed = 1;
  EXPECT_EQ(ServingStatus(37, tcp, udp),
            "Answering on port 37 (TCP and UDP): 12,345 over TCP, 678 over UDP, 3 refused, 2 failed");
}

// Ready with the counts at zero; the counts after a load of exactly N
// connections and some datagrams; a port move, one that fails, and the
// stop, in that order.
TEST(ServiceManager, TellsReadinessCountsPortMovesAndStop) {
  REQUIRE_SYSTEMD();
  const std::string load = BuildDir() + "/bench/rfc868-load";
  if (access(load.c_str(), X_OK) != 0) GTEST_SKIP() << "rfc868-load is not built";
  TNotifySocket notify;
  const int port = FreeTcpPort();
  TChildProcess daemon({Daemon(), std::to_string(port)}, Notifying(notify));
  ASSERT_EQ(notify.Next(), "READY=1\n" + Answering(port, "0 over TCP, 0 over UDP, 0 refused, 0 failed"));

  TChildProcess generator({load, "--port", std::to_string(port), "--connections", "2000", "--clients", "8"});
  ASSERT_EQ(generator.WaitForExit(60s), std::optional<int>(0)) << generator.Output();
  TUdpClient udp("127.0.0.1", static_cast<uint16_t>(port));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(udp.Ask().has_value());
  const std::string counted = Answering(port, "2,000 over TCP, 3 over UDP, 0 refused, 0 failed");
  EXPECT_EQ(notify.NextStatusUntil(counted), counted);

  const int moved = FreeTcpPort();
  daemon.Write("PORT " + std::to_string(moved) + "\n");
  EXPECT_EQ(notify.Next(), Answering(moved, "2,000 over TCP, 3 over UDP, 0 refused, 0 failed"));
  uint16_t taken = 0;
  const int holder = ListenOnLoopback(taken);
  daemon.Write("PORT " + std::to_string(taken) + "\n");
  EXPECT_EQ(notify.Next(), "STATUS=Could not open TCP port " + std::to_string(taken) +
                               ": Address already in use\nERRNO=98");
  close(holder);
  daemon.Write("EXIT\n");
  EXPECT_EQ(notify.Next(), "STOPPING=1");
  EXPECT_EQ(daemon.WaitForExit(10s), std::optional<int>(0));
  EXPECT_EQ(notify.Pings, 0) << "no watchdog was asked for";
}

// A start that fails says which side, which call and why, with the error
// number, and the daemon's output and status are as without a manager.
TEST(ServiceManager, AFailedStartTellsTheReason) {
  REQUIRE_SYSTEMD();
  TNotifySocket notify;
  uint16_t tcpTaken = 0;
  const int tcpHolder = ListenOnLoopback(tcpTaken);
  TChildProcess tcp({Daemon(), std::to_string(tcpTaken)}, Notifying(notify));
  EXPECT_EQ(notify.Next(), "STATUS=Could not open TCP port " + std::to_string(tcpTaken) +
                               ": Address already in use\nERRNO=98");
  EXPECT_EQ(tcp.WaitForExit(10s), std::optional<int>(1));
  EXPECT_NE(tcp.Output().find("\n\n\nCould not start the server!\n"), std::string::npos);
  close(tcpHolder);

  uint16_t udpTaken = static_cast<uint16_t>(FreeTcpPort());
  const int udpHolder = BindUdp("127.0.0.1", udpTaken);
  TChildProcess udp({Daemon(), std::to_string(udpTaken)}, Notifying(notify));
  EXPECT_EQ(notify.Next(), "STATUS=Could not open UDP port " + std::to_string(udpTaken) +
                               ": Address already in use\nERRNO=98");
  EXPECT_EQ(udp.WaitForExit(10s), std::optional<int>(1));
  close(udpHolder);
}

// With a watchdog the pings come while both servers' listeners are alive
// and stop once one has ended, here the TCP listener told to end.
TEST(ServiceManager, WatchdogPingsOnlyWhileEveryListenerIsAlive) {
  REQUIRE_SYSTEMD();
  TNotifySocket notify;
  const std::string variable = notify.Variable();
  setenv("NOTIFY_SOCKET", variable.substr(variable.find('=') + 1).c_str(), 1);
  setenv("WATCHDOG_USEC", "100000", 1);
  // Read once; NOTIFY_SOCKET stays for the notifications themselves.
  const TServiceManager manager;
  unsetenv("WATCHDOG_USEC");
  ASSERT_EQ(manager.WatchdogInterval(), std::optional<std::chrono::microseconds>(100ms));

  TIdTimeServer tcp(nullptr);
  tcp.SetDefaultPort(0);
  tcp.SetActive(true);
  TIdTimeUDPServer udp(nullptr);
  const int32_t port = tcp.Bindings().Items(0)->Port();
  udp.SetDefaultPort(port);
  udp.SetActive(true);
  {
    TServiceMonitor monitor(manager);
    monitor.Serving(port, tcp, udp);
    EXPECT_EQ(notify.Next(), "READY=1\n" + Answering(port, "0 over TCP, 0 over UDP, 0 refused, 0 failed"));
    ASSERT_TRUE(PollUntil([&] { return notify.Receive(1s) == "WATCHDOG=1"; }, 5s));
    ASSERT_TRUE(PollUntil([&] { return notify.Receive(1s) == "WATCHDOG=1"; }, 5s));

    tcp.ListenerThreads()->Pin().Items().front()->Terminate();
    // A ping already on its way may still come; after that, none.
    for (int i = 0; i < 10 && notify.Receive(300ms); ++i) {
    }
    EXPECT_EQ(notify.Receive(1s), std::nullopt);
    monitor.Unwatch();
  }
  unsetenv("NOTIFY_SOCKET");
  udp.SetActive(false);
  tcp.SetActive(false);
}

// A listening TCP socket and a UDP socket on one loopback port, held by the
// test as a service manager holds them across restarts of its service, and
// the daemon started on them by systemd-socket-activate, which passes on
// the sockets it was given (LISTEN_FDS) once a client comes.
class TPassedSockets {
 public:
  TPassedSockets() {
    Tcp_ = ListenOnLoopback(Port_);
    Udp_ = BindUdp("127.0.0.1", Port_);
    // Inherited by the daemon from numbers no other descriptor has; bash
    // moves them to 3 and 4.
    TcpCopy_ = fcntl(Tcp_, F_DUPFD, 100);
    UdpCopy_ = fcntl(Udp_, F_DUPFD, 100);
  }
  ~TPassedSockets() {
    for (int fd : {Tcp_, Udp_, TcpCopy_, UdpCopy_}) close(fd);
  }
  bool Open() const { return Tcp_ >= 0 && Udp_ >= 0 && TcpCopy_ >= 0 && UdpCopy_ >= 0; }
  uint16_t Port() const { return Port_; }

  std::unique_ptr<TChildProcess> StartDaemon() const {
    return std::make_unique<TChildProcess>(std::vector<std::string>{
        "bash", "-c",
        "tcp=$1 udp=$2; exec 3<&$tcp 4<&$udp {tcp}<&- {udp}<&-; export LISTEN_PID=$$ LISTEN_FDS=2; "
        "exec systemd-socket-activate \"$3\" 37",
        "bash", std::to_string(TcpCopy_), std::to_string(UdpCopy_), Daemon()});
  }
  // The sockets of a process, by inode, and those the test holds.
  static std::set<ino_t> SocketsOf(pid_t pid) {
    std::set<ino_t> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
      struct stat status {};
      if (stat(entry.path().c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) sockets.insert(status.st_ino);
    }
    return sockets;
  }
  std::set<ino_t> Held() const {
    std::set<ino_t> sockets;
    for (int fd : {Tcp_, Udp_}) {
      struct stat status {};
      fstat(fd, &status);
      sockets.insert(status.st_ino);
    }
    return sockets;
  }

 private:
  uint16_t Port_ = 0;
  int Tcp_ = -1;
  int Udp_ = -1;
  int TcpCopy_ = -1;
  int UdpCopy_ = -1;
};

bool Rdate(uint16_t port, bool udp) {
  std::vector<std::string> command{"/usr/sbin/rdate", "-p", "-o", std::to_string(port)};
  if (udp) command.push_back("-u");
  command.push_back("127.0.0.1");
  TChildProcess rdate(command);
  return rdate.WaitForExit(10s) == std::optional<int>(0);
}

// The daemon serves rdate over TCP and UDP on the sockets it was passed,
// with no socket of its own; stopped, it leaves them open, and a second
// daemon answers the client that connected (and the datagram that came)
// while none ran.
TEST(ServiceManager, ServesOnPassedSocketsAcrossARestart) {
  REQUIRE_SYSTEMD();
  if (FindProgram("systemd-socket-activate").empty()) GTEST_SKIP() << "systemd-socket-activate is not installed";
  if (access("/usr/sbin/rdate", X_OK) != 0) GTEST_SKIP() << "rdate is not installed";
  const TPassedSockets passed;
  ASSERT_TRUE(passed.Open());
  std::unique_ptr<TChildProcess> first = passed.StartDaemon();
  // TCP first: the connection is what makes systemd-socket-activate start it.
  EXPECT_TRUE(Rdate(passed.Port(), false));
  EXPECT_TRUE(Rdate(passed.Port(), true));
  ASSERT_TRUE(first->WaitForOutput("Time server started on port " + std::to_string(passed.Port()) + ".", 10s))
      << first->Output();
  EXPECT_EQ(TPassedSockets::SocketsOf(first->Pid()), passed.Held());
  first->Write("EXIT\n");
  EXPECT_EQ(first->WaitForExit(10s), std::optional<int>(0));

  TTestClient waiting(passed.Port());
  TUdpClient asking("127.0.0.1", passed.Port());
  asking.Send("");
  std::unique_ptr<TChildProcess> second = passed.StartDaemon();
  EXPECT_EQ(waiting.ReceiveAll(10000).size(), 4u);
  EXPECT_EQ(asking.Receive().value_or("").size(), 4u);
  second->Write("EXIT\n");
  EXPECT_EQ(second->WaitForExit(10s), std::optional<int>(0));
}

}  // namespace
}  // namespace ostrevan::testing
