#include "tests/support/program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ostrevan::testing {

namespace {

using Clock = std::chrono::steady_clock;

void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string BuildDir() { return OSTREVAN_BUILD_DIR; }

bool TChildProcess::CanUseNetworkNamespaces() {
  static const bool can = [] {
    TChildProcess probe({"/bin/true"}, TOptions{true, true, {}});
    auto status = probe.WaitForExit(std::chrono::seconds(10));
    return status && *status == 0;
  }();
  return can;
}

TChildProcess::TChildProcess(std::vector<std::string> argv, TOptions options) {
  if (options.OwnNetworkNamespace) {
    argv.insert(argv.begin(), {"unshare", "-n", "--"});
  }
  int in[2], out[2], err[2];
  MakePipe(in);
  MakePipe(out);
  MakePipe(err);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  Pid_ = fork();
  if (Pid_ < 0) throw std::runtime_error("fork failed");
  if (Pid_ == 0) {
    // In the child: only async-signal-safe calls until exec.
    if (options.CloseStdin) {
      close(0);
    } else {
      dup2(in[0], 0);
    }
    dup2(out[1], 1);
    dup2(err[1], 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    for (auto& e : options.Environment) putenv(e.data());
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  StdinFd_ = in[1];
  StdoutFd_ = out[0];
  StderrFd_ = err[0];
  if (options.CloseStdin) CloseInput();
}

TChildProcess::~TChildProcess() {
  if (!ExitStatus_ && Pid_ > 0) {
    kill(Pid_, SIGKILL);
    int status = 0;
    waitpid(Pid_, &status, 0);
  }
  for (int fd : {StdinFd_, StdoutFd_, StderrFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool TChildProcess::Write(const std::string& text) {
  if (StdinFd_ < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(StdinFd_, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void TChildProcess::CloseInput() {
  if (StdinFd_ >= 0) close(StdinFd_);
  StdinFd_ = -1;
}

void TChildProcess::CloseOutput() {
  if (StdoutFd_ >= 0) close(StdoutFd_);
  StdoutFd_ = -1;
}

bool TChildProcess::Pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{StdoutFd_, POLLIN, 0}, {StderrFd_, POLLIN, 0}};
  int open = (StdoutFd_ >= 0) + (StderrFd_ >= 0);
  if (open == 0) return false;
  int n = poll(fds, 2, static_cast<int>(timeout.count()));
  if (n <= 0) return true;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
    if (got > 0) {
      (i == 0 ? Stdout_ : Stderr_).append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(fds[i].fd);
      (i == 0 ? StdoutFd_ : StderrFd_) = -1;
    }
  }
  return true;
}

bool TChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                                  size_t from) {
  auto deadline = Clock::now() + timeout;
  auto found = [&] { return Stdout_.size() >= from && Stdout_.find(text, from) != std::string::npos; };
  while (!found()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (!Pump(left)) return found();
  }
  return true;
}

std::optional<int> TChildProcess::WaitForExit(std::chrono::milliseconds timeout, bool readOutput) {
  auto deadline = Clock::now() + timeout;
  auto pumping = [&] { return readOutput && (StdoutFd_ >= 0 || StderrFd_ >= 0); };
  while (!ExitStatus_) {
    if (pumping()) Pump(std::chrono::milliseconds(0));
    int status = 0;
    if (waitpid(Pid_, &status, WNOHANG) == Pid_) {
      ExitStatus_ = DecodeStatus(status);
      break;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    if (pumping()) {
      Pump(std::chrono::milliseconds(10));
    } else {
      poll(nullptr, 0, 10);
    }
  }
  // Drain what the program wrote just before it ended.
  while ((StdoutFd_ >= 0 || StderrFd_ >= 0)) {
    pollfd fds[2] = {{StdoutFd_, POLLIN, 0}, {StderrFd_, POLLIN, 0}};
    if (poll(fds, 2, 0) <= 0) break;
    Pump(std::chrono::milliseconds(0));
  }
  return ExitStatus_;
}

void TChildProcess::Signal(int signal) {
  if (!ExitStatus_ && Pid_ > 0) kill(Pid_, signal);
}

}  // namespace ostrevan::testing
