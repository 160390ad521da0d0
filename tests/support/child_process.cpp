#include "tests/support/child_process.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace ostrevan::testing {

namespace {

constexpr int ChildTimeoutMs = 30000;

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<size_t>(n);
  }
}

// The child's side: "S" and a reason when setting up failed, else "T" and
// the body's text.
[[noreturn]] void RunChild(int fd, const TChildSetup& setup,
                           const std::function<std::string()>& body) {
  if (setup.OwnNetworkNamespace && unshare(CLONE_NEWNET) != 0) {
    WriteAll(fd, std::string("Scannot make a network namespace: ") + std::strerror(errno));
    _exit(0);
  }
  if (setup.DropToNobody && (setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0)) {
    WriteAll(fd, std::string("Scannot change to uid 65534: ") + std::strerror(errno));
    _exit(0);
  }
  std::string text;
  try {
    text = body();
  } catch (const std::exception& e) {
    text = std::string("exception: ") + e.what();
  } catch (...) {
    text = "exception of unknown type";
  }
  WriteAll(fd, "T" + text);
  _exit(0);
}

}  // namespace

TChildOutcome RunInChild(const TChildSetup& setup, const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    close(fds[0]);
    RunChild(fds[1], setup, body);
  }
  close(fds[1]);
  std::string report;
  char buffer[512];
  for (;;) {
    pollfd entry{fds[0], POLLIN, 0};
    if (poll(&entry, 1, ChildTimeoutMs) <= 0) {
      kill(pid, SIGKILL);
      report = "Tchild timed out";
      break;
    }
    const ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    report.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (report.empty()) return {false, "child ended without a report"};
  return {report[0] == 'S', report.substr(1)};
}

}  // namespace ostrevan::testing
