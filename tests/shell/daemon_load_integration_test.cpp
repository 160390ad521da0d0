// The daemon under load: every connection gets exactly four correct bytes,
// and afterwards the daemon holds no more descriptors or threads than
// before. Uses the load generator of bench/ where it is built, else a small
// client of its own (the sanitizer builds build no benchmarks).
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/program_runner.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::BuildDir;
using testing::TChildProcess;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kConnections = 10000;  // a sanitized daemon is several times slower
#else
constexpr int kConnections = 20000;
#endif
constexpr int kClients = 16;

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
  std::ifstream table(proc + "/net/tcp");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state != "0A") continue;  // not listening
    for (const auto& own : inodes) {
      if (own == inode) return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
    }
  }
  return -1;
}

// The count the daemon should send now, from the local clock.
uint32_t ExpectedCount() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return static_cast<uint32_t>(static_cast<int64_t>(now) + local.tm_gmtoff + 2208988800LL);
}

// One connection: exactly four bytes within two seconds of the clock, then
// the end of the stream. An empty text when all is well.
std::string CheckOneConnection(uint16_t port) {
  const int fd = testing::ConnectToLoopback(port);
  const uint32_t before = ExpectedCount();
  std::string bytes;
  bool ended = false;
  char buffer[16];
  while (!ended) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 10000) <= 0) break;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (!ended) return "no orderly end";
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

// The load generator of bench/ with its own soak check on the daemon.
std::string RunLoadGenerator(const std::string& tool, uint16_t port, pid_t daemon) {
  const std::string command = tool + " --port " + std::to_string(port) + " --clients " +
                              std::to_string(kClients) + " --connections " +
                              std::to_string(kConnections) + " --watch-pid " +
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

TEST(DaemonLoad, EveryConnectionGetsItsFourBytesAndNothingLeaks) {
  TChildProcess daemon({BuildDir() + "/shell/ostrevan", "0"});
  ASSERT_TRUE(daemon.WaitForOutput("Time server started on port 0.", 10s)) << daemon.Output();
  int port = -1;
  for (int attempt = 0; attempt < 100 && port < 0; ++attempt) {
    port = ListeningPortOf(daemon.Pid());
    if (port < 0) std::this_thread::sleep_for(20ms);
  }
  ASSERT_GT(port, 0) << "no listening socket found";
  const Counts before = CountsOf(daemon.Pid());
  ASSERT_GT(before.Descriptors, 0);

  const auto start = std::chrono::steady_clock::now();
  const std::string tool = BuildDir() + "/bench/rfc868-load";
  struct stat info {};
  const bool haveTool = stat(tool.c_str(), &info) == 0;
  const std::string failure = haveTool ? RunLoadGenerator(tool, static_cast<uint16_t>(port), daemon.Pid())
                                       : RunOwnClients(static_cast<uint16_t>(port));
  EXPECT_EQ(failure, "");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d connections from %d clients in %.2f s (%s)\n", kConnections, kClients, seconds,
              haveTool ? "rfc868-load" : "own clients");

  // The peer threads end and free themselves after their clients saw the
  // end of the stream: wait for that, within bounds.
  Counts after = CountsOf(daemon.Pid());
  for (int attempt = 0; attempt < 500 && (after.Descriptors > before.Descriptors ||
                                          after.Threads > before.Threads);
       ++attempt) {
    std::this_thread::sleep_for(20ms);
    after = CountsOf(daemon.Pid());
  }
  EXPECT_LE(after.Descriptors, before.Descriptors);
  EXPECT_LE(after.Threads, before.Threads);

  ASSERT_TRUE(daemon.Write("EXIT\n"));
  EXPECT_EQ(daemon.WaitForExit(30s), 0);
}

}  // namespace
}  // namespace ostrevan
