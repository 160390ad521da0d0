// SPDX-License-Identifier: MIT
// The daemon under load: every connection gets exactly four correct bytes
// in good time, and afterwards the daemon holds no more descriptors or
// threads than before. Uses the load generator of bench/ where it is
// built, else a small client of its own (the sanitizer builds build no
// benchmarks). A burst of simultaneous connects, which overflows a short
// accept queue, is answered in full and at once.
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::BuildDir;
using testing::TChildProcess;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitized daemon is several times slower, above all in starting a
// thread per connection; 128 at once still overflow a short accept queue.
constexpr int kConnections = 10000;
constexpr int kBurst = 128;
#else
constexpr int kConnections = 100000;
constexpr int kBurst = 1024;
#endif
constexpr int kClients = 64;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kDatagrams = 10000;
#else
constexpr int kDatagrams = 100000;
#endif
constexpr int kUdpClients = 16;
// A datagram not answered within this is counted as lost.
constexpr int kDatagramTimeoutMs = 1000;
// A connect whose SYN the kernel dropped is resent after 1 s and again
// after 3 s: a connection that takes this long met a full accept queue.
constexpr int kConnectionTimeoutMs = 3000;
constexpr auto kBurstBound = std::chrono::milliseconds(1000);

int CountEntries(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

struct Counts {
  int Descriptors = -1;
  int Threads = -1;
};

Counts CountsOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return {CountEntries(proc + "/fd"), CountEntries(proc + "/task")};
}

// One line of a kernel socket table (/proc/PID/net/tcp, udp6...).
struct TSocketLine {
  int LocalPort = -1;
  std::string State;
  std::string Inode;
  long Drops = 0;  // UDP tables only
};

std::vector<TSocketLine> SocketLines(const std::string& path) {
  std::vector<TSocketLine> lines;
  std::ifstream table(path);
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, queues, timer, retransmits, uid, timeout, references, pointer;
    TSocketLine socket;
    fields >> slot >> local >> remote >> socket.State >> queues >> timer >> retransmits >> uid >>
        timeout >> socket.Inode >> references >> pointer >> socket.Drops;
    socket.LocalPort = std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
    lines.push_back(socket);
  }
  return lines;
}

// The port of the process's listening TCP socket: its socket inodes matched
// against the kernel's table of listening sockets.
int ListeningPortOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::vector<std::string> inodes;
  if (DIR* dir = opendir((proc + "/fd").c_str())) {
    while (dirent* entry = readdir(dir)) {
      char target[64] = {};
      const std::string link = proc + "/fd/" + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          std::string(target).rfind("socket:[", 0) == 0) {
        inodes.push_back(std::string(target).substr(8, std::string(target).size() - 9));
      }
    }
    closedir(dir);
  }
  // The socket of every local address is IPv6 (and takes IPv4 as well)
  // where the system has IPv6.
  for (const char* table : {"/net/tcp6", "/net/tcp"}) {
    for (const TSocketLine& socket : SocketLines(proc + table)) {
      if (socket.State != "0A") continue;  // not listening
      for (const auto& own : inodes) {
        if (own == socket.Inode) return socket.LocalPort;
      }
    }
  }
  return -1;
}

// The datagrams the kernel dropped at the UDP sockets of the process's
// network on the port, because their receive buffer was full.
long UdpDropsOn(pid_t pid, int port) {
  const std::string proc = "/proc/" + std::to_string(pid);
  long drops = 0;
  for (const char* table : {"/net/udp6", "/net/udp"}) {
    for (const TSocketLine& socket : SocketLines(proc + table)) {
      if (socket.LocalPort == port) drops += socket.Drops;
    }
  }
  return drops;
}

// The count the daemon should send now, from the local clock.
uint32_t ExpectedCount() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return static_cast<uint32_t>(static_cast<int64_t>(now) + local.tm_gmtoff + 2208988800LL);
}

// One connection: exactly four bytes within two seconds of the clock, then
// the end of the stream, all within kConnectionTimeoutMs. An empty text
// when all is well.
std::string CheckOneConnection(uint16_t port) {
  const testing::TDeadline deadline{std::chrono::milliseconds(kConnectionTimeoutMs)};
  const uint32_t before = ExpectedCount();
  const int fd = testing::ConnectToLoopback(port);
  std::string bytes;
  bool ended = false;
  char buffer[16];
  while (!ended) {
    pollfd entry{fd, POLLIN, 0};
    if (deadline.Passed() || poll(&entry, 1, deadline.LeftMs()) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (!ended) return "time-out, or no orderly end";
  if (bytes.size() != 4) return std::to_string(bytes.size()) + " bytes";
  uint32_t value = 0;
  for (char c : bytes) value = value << 8 | static_cast<unsigned char>(c);
  const uint32_t after = ExpectedCount();
  if (value + 2 < before || value > after + 2) return "wrong value " + std::to_string(value);
  return "";
}

// kConnections from kClients threads; the first failure, or empty.
std::string RunOwnClients(uint16_t port) {
  std::atomic<int> remaining{kConnections};
  std::atomic<int> failures{0};
  std::string firstFailure;
  std::mutex failureLock;
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&] {
      while (remaining.fetch_sub(1) > 0) {
        std::string failure;
        try {
          failure = CheckOneConnection(port);
        } catch (const std::exception& e) {
          failure = e.what();
        }
        if (failure.empty()) continue;
        ++failures;
        std::lock_guard<std::mutex> lock(failureLock);
        if (firstFailure.empty()) firstFailure = failure;
      }
    });
  }
  for (auto& client : clients) client.join();
  return failures == 0 ? "" : std::to_string(failures.load()) + " failed, first: " + firstFailure;
}

// What kDatagrams queries from kUdpClients clients met.
struct TDatagramCounts {
  int Answered = 0;
  int Wrong = 0;  // not exactly four bytes of the right count
  int Lost = 0;   // no answer within kDatagramTimeoutMs
  std::string FirstWrong;
};

// Each client, half of them over IPv6, asks with one datagram at a time.
TDatagramCounts RunUdpClients(uint16_t port) {
  std::atomic<int> remaining{kDatagrams};
  std::mutex lock;  // guards counts
  TDatagramCounts counts;
  std::vector<std::thread> clients;
  for (int i = 0; i < kUdpClients; ++i) {
    clients.emplace_back([&, i] {
      testing::TUdpClient client(i % 2 == 0 ? "127.0.0.1" : "::1", port);
      TDatagramCounts own;
      while (remaining.fetch_sub(1) > 0) {
        const uint32_t before = ExpectedCount();
        const std::optional<std::string> answer = client.Ask("", kDatagramTimeoutMs);
        if (!answer) {
          ++own.Lost;
          continue;
        }
        uint32_t value = 0;
        for (char c : *answer) value = value << 8 | static_cast<unsigned char>(c);
        if (answer->size() == 4 && value + 2 >= before && value <= ExpectedCount() + 2) {
          ++own.Answered;
        } else if (++own.Wrong == 1) {
          own.FirstWrong = std::to_string(answer->size()) + " bytes, value " + std::to_string(value);
        }
      }
      std::lock_guard<std::mutex> guard(lock);
      counts.Answered += own.Answered;
      counts.Wrong += own.Wrong;
      counts.Lost += own.Lost;
      if (counts.FirstWrong.empty()) counts.FirstWrong = own.FirstWrong;
    });
  }
  for (auto& client : clients) client.join();
  return counts;
}

// The load generator of bench/ with its own soak check on the daemon.
std::string RunLoadGenerator(const std::string& tool, uint16_t port, pid_t daemon) {
  const std::string command = tool + " --port " + std::to_string(port) + " --clients " +
                              std::to_string(kClients) + " --connections " +
                              std::to_string(kConnections) + " --timeout-ms " +
                              std::to_string(kConnectionTimeoutMs) + " --watch-pid " +
                              std::to_string(daemon) + " --time-limit-ms 120000 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "cannot run " + tool;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = pclose(pipe);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "load generator status " + std::to_string(status) + ":\n" + output;
}

// kBurst connects started at once, each to get its four bytes and the end
// of the stream within kBurstBound of the first; the failures, or empty.
std::string RunBurst(uint16_t port) {
  std::vector<pollfd> clients;
  std::vector<std::string> received(kBurst);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const testing::TDeadline deadline(kBurstBound);
  for (int i = 0; i < kBurst; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return "socket: " + std::string(strerror(errno));
    clients.push_back({fd, POLLIN, 0});
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
      return "connect: " + std::string(strerror(errno));
    }
  }
  int open = kBurst;
  int failed = 0;
  while (open > 0) {
    if (deadline.Passed() || poll(clients.data(), clients.size(), deadline.LeftMs()) <= 0) break;
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i].fd < 0 || clients[i].revents == 0) continue;
      char buffer[16];
      const ssize_t n = recv(clients[i].fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EAGAIN) continue;
      if (n > 0) {
        received[i].append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 || received[i].size() != 4) ++failed;
      close(clients[i].fd);
      clients[i].fd = -1;
      --open;
    }
  }
  for (const pollfd& client : clients) {
    if (client.fd >= 0) close(client.fd);
  }
  if (open == 0 && failed == 0) return "";
  return std::to_string(open) + " not answered in time, " + std::to_string(failed) + " answered wrongly";
}

// The daemon on a port the system chooses, and that port.
class DaemonLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    // A burst needs a descriptor per client here, and the daemon, which
    // inherits the limit, may hold as many at once.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kBurst + 256 && files.rlim_max > files.rlim_cur) {
      files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * kBurst);
      setrlimit(RLIMIT_NOFILE, &files);
    }
    daemon_ = std::make_unique<TChildProcess>(std::vector<std::string>{BuildDir() + "/shell/ostrevan", "0"});
    ASSERT_TRUE(daemon_->WaitForOutput("Time server started on port 0.", 10s)) << daemon_->Output();
    testing::PollUntil([&] { return (port_ = ListeningPortOf(daemon_->Pid())) > 0; }, 2s, 20ms);
    ASSERT_GT(port_, 0) << "no listening socket found";
  }
  void TearDown() override {
    if (!daemon_) return;
    ASSERT_TRUE(daemon_->Write("EXIT\n"));
    EXPECT_EQ(daemon_->WaitForExit(30s), 0);
  }
  std::unique_ptr<TChildProcess> daemon_;
  int port_ = -1;
};

TEST_F(DaemonLoad, BurstOfSimultaneousConnectsIsAnsweredAtOnce) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < kBurst + 64) GTEST_SKIP() << "needs more than " << kBurst << " descriptors";
  const testing::TStopwatch watch;
  EXPECT_EQ(RunBurst(static_cast<uint16_t>(port_)), "");
  std::printf("%d simultaneous connects answered in %.1f ms\n", kBurst, watch.Seconds() * 1000);
}

TEST_F(DaemonLoad, EveryConnectionGetsItsFourBytesAndNothingLeaks) {
  TChildProcess& daemon = *daemon_;
  const int port = port_;
  const Counts before = CountsOf(daemon.Pid());
  ASSERT_GT(before.Descriptors, 0);

  const testing::TStopwatch watch;
  const std::string tool = BuildDir() + "/bench/rfc868-load";
  struct stat info {};
  const bool haveTool = stat(tool.c_str(), &info) == 0;
  const std::string failure = haveTool ? RunLoadGenerator(tool, static_cast<uint16_t>(port), daemon.Pid())
                                       : RunOwnClients(static_cast<uint16_t>(port));
  EXPECT_EQ(failure, "");
  const double seconds = watch.Seconds();
  std::printf("%d connections from %d clients in %.2f s (%s)\n", kConnections, kClients, seconds,
              haveTool ? "rfc868-load" : "own clients");

  // The peer threads end and free themselves after their clients saw the
  // end of the stream: wait for that, within bounds.
  Counts after;
  testing::PollUntil([&] {
    after = CountsOf(daemon.Pid());
    return after.Descriptors <= before.Descriptors && after.Threads <= before.Threads;
  }, 10s, 20ms);
  EXPECT_LE(after.Descriptors, before.Descriptors);
  EXPECT_LE(after.Threads, before.Threads);
}

// Every datagram gets one datagram of four correct bytes; on loopback none
// is lost but what a full receive buffer drops, which the kernel counts.
TEST_F(DaemonLoad, EveryDatagramGetsItsFourBytesAndNothingLeaks) {
  const pid_t daemon = daemon_->Pid();
  const Counts before = CountsOf(daemon);
  const long dropsBefore = UdpDropsOn(daemon, port_);
  const testing::TStopwatch watch;
  const TDatagramCounts counts = RunUdpClients(static_cast<uint16_t>(port_));
  const double seconds = watch.Seconds();
  const long drops = UdpDropsOn(daemon, port_) - dropsBefore;
  std::printf("%d datagrams from %d clients in %.2f s: %d answered, %d wrong, %d lost, %ld dropped "
              "by the daemon's receive buffer\n",
              kDatagrams, kUdpClients, seconds, counts.Answered, counts.Wrong, counts.Lost, drops);
  EXPECT_EQ(counts.Wrong, 0) << counts.FirstWrong;
  EXPECT_LE(counts.Lost, drops) << "lost beyond what the receive buffer dropped";
  EXPECT_EQ(counts.Answered + counts.Wrong + counts.Lost, kDatagrams);
  const Counts after = CountsOf(daemon);
  EXPECT_EQ(after.Descriptors, before.Descriptors);
  EXPECT_EQ(after.Threads, before.Threads);
}

}  // namespace
}  // namespace ostrevan
