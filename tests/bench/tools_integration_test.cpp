// SPDX-License-Identifier: MIT
// Runs the built tools as a script would: their output, their exit status
// and how they end.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/wait.h"

namespace ostrevan::bench {
namespace {

const std::string kTools = OSTREVAN_BENCH_TOOLS;

// The exit status of a shell command line, or -1 when it did not exit.
int ExitStatusOf(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The reference responder as a child process with its standard input and
// output on pipes.
class ReferenceProcess {
 public:
  ReferenceProcess() {
    int input[2];
    int output[2];
    EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(output, O_CLOEXEC), 0);
    Pid_ = fork();
    if (Pid_ == 0) {
      dup2(input[0], STDIN_FILENO);
      dup2(output[1], STDOUT_FILENO);
      const std::string path = kTools + "/rfc868-reference";
      execl(path.c_str(), path.c_str(), "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    Input_ = input[1];
    Output_ = output[0];
  }
  ~ReferenceProcess() {
    if (Pid_ > 0 && !Reaped_) {
      kill(Pid_, SIGKILL);
      waitpid(Pid_, nullptr, 0);
    }
    CloseInput();
    close(Output_);
  }

  pid_t Pid() const { return Pid_; }

  // The first line of its output, read within the time given.
  std::string ReadLine(std::chrono::milliseconds within) {
    std::string line;
    const testing::TDeadline deadline(within);
    while (!deadline.Passed()) {
      pollfd fd{Output_, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      char c;
      if (read(Output_, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    return line;
  }

  void CloseInput() {
    if (Input_ >= 0) close(Input_);
    Input_ = -1;
  }

  // Polls for the child's end; its exit status, or -1 when it is still
  // running at the end of the time given or did not exit normally.
  int WaitForExit(std::chrono::milliseconds within) {
    const testing::TDeadline deadline(within);
    for (;;) {
      int status = 0;
      if (waitpid(Pid_, &status, WNOHANG) == Pid_) {
        Reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (deadline.Passed()) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  pid_t Pid_ = -1;
  int Input_ = -1;
  int Output_ = -1;
  bool Reaped_ = false;
};

TEST(Tools, ReferenceAndLoadGeneratorFromTheCommandLine) {
  ReferenceProcess reference;
  const std::string port = reference.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  ASSERT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << port;

  const std::string load = kTools + "/rfc868-load --port " + port;
  EXPECT_EQ(ExitStatusOf(load + " --clients 3 --connections 300 --watch-pid " +
                         std::to_string(reference.Pid())),
            0);
  EXPECT_EQ(ExitStatusOf(load + " --connections 0"), 2) << "no bound";
  EXPECT_EQ(ExitStatusOf(load + " --clients x"), 2);
  EXPECT_EQ(ExitStatusOf(kTools + "/rfc868-load"), 2) << "no port";
  EXPECT_EQ(ExitStatusOf(load + " --watch-pid 999999999 --connections 10"), 4)
      << "no such process to watch";

  reference.CloseInput();
  EXPECT_EQ(reference.WaitForExit(std::chrono::seconds(5)), 0) << "ends at end of input";
  EXPECT_EQ(ExitStatusOf(load + " --connections 10"), 1) << "nobody listens any more";
}

// The responders read their shared arguments and their own options alike:
// anything they do not know, or an own option's bad value, is a usage error.
TEST(Tools, RespondersRefuseBadArguments) {
  for (const std::string tool : {"rfc868-reference", "rfc868-bare", "rfc868-pool-server"}) {
    EXPECT_EQ(ExitStatusOf(kTools + "/" + tool + " 70000"), 2) << tool;
    EXPECT_EQ(ExitStatusOf(kTools + "/" + tool + " --ignore-stdin --unknown"), 2) << tool;
  }
  EXPECT_EQ(ExitStatusOf(kTools + "/rfc868-reference --backlog 0"), 2);
  EXPECT_EQ(ExitStatusOf(kTools + "/rfc868-pool-server --pool-size=x"), 2);
}

TEST(Tools, ReferenceEndsOnSigterm) {
  ReferenceProcess reference;
  ASSERT_FALSE(reference.ReadLine(std::chrono::seconds(5)).empty());
  kill(reference.Pid(), SIGTERM);
  EXPECT_EQ(reference.WaitForExit(std::chrono::seconds(5)), 0);
}

// The comparison script end to end, with a second reference responder in
// the daemon's place; short runs, so only its working is tested, not the
// figures.
TEST(Tools, CompareScriptPrintsTheTable) {
  const std::string output = ::testing::TempDir() + "compare_output.txt";
  const std::string command = std::string("bash ") + OSTREVAN_SOURCE_DIR +
                              "/bench/compare.sh --build " + OSTREVAN_BUILD_DIR +
                              " --reference-as-daemon --connections 300 --warmup 30 --repeat 1"
                              " --clients '2 16' --time-limit-ms 20000 > " +
                              output + " 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  // 3 would be a missed ratio, which two equal responders under a noisy
  // machine can in principle produce; anything else is a fault.
  EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3) << WEXITSTATUS(status);
  std::string text;
  if (FILE* file = std::fopen(output.c_str(), "r")) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
  }
  EXPECT_NE(text.find("reference"), std::string::npos) << text;
  EXPECT_NE(text.find("daemon*"), std::string::npos) << text;
  EXPECT_NE(text.find("     16  daemon/bare"), std::string::npos) << text;
  EXPECT_NE(text.find("     16  daemon/bare6"), std::string::npos) << text;
  EXPECT_NE(text.find("target: daemon/bare >= 0.90 at 16 clients"), std::string::npos) << text;
  EXPECT_NE(text.find("target: pool/reference >= 0.75 at 16 clients"), std::string::npos)
      << text;
  // Each peer is measured against the pool, or said to be skipped where it
  // cannot be had (no download, no namespace, no POCO).
  for (const std::string peer : {"inetd", "poco"}) {
    const bool measured = text.find("     16  pool/" + peer) != std::string::npos &&
                          text.find("target: pool/" + peer + " >= ") != std::string::npos;
    EXPECT_TRUE(measured || text.find(peer + ": skipped (") != std::string::npos) << text;
  }
  std::remove(output.c_str());
}

}  // namespace
}  // namespace ostrevan::bench
