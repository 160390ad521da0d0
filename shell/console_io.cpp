#include "shell/console_io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "runtime/exception.h"
#include "runtime/format.h"
#include "runtime/sysutils.h"

namespace ostrevan {

namespace {

sigset_t TerminatingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  return set;
}

[[noreturn]] void RaiseIoError(const char* what) {
  throw EInOutError(Format("%s: %s", what, SysErrorMessage(errno).c_str()));
}

}  // namespace

TConsole::TConsole() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = TerminatingSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) RaiseIoError("signal mask");
  SignalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
  if (SignalFd_ < 0) RaiseIoError("signalfd");
}

TConsole::~TConsole() {
  if (SignalFd_ >= 0) ::close(SignalFd_);
}

void TConsole::EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

bool TConsole::WaitReadable(bool watch_input, TConsoleEvent& signal_event) {
  for (;;) {
    pollfd fds[2] = {{SignalFd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int count = poll(fds, watch_input ? 2 : 1, -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      RaiseIoError("poll");
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(SignalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        continue;  // nothing to read after all
      }
      if (info.ssi_signo == SIGINT) throw EControlC();
      if (info.ssi_signo == SIGQUIT) throw EQuit();
      signal_event = TConsoleEvent::StopRequested;
      return false;
    }
    if (watch_input && fds[1].revents != 0) return true;
  }
}

bool TConsole::TakeBufferedLine(std::string& line) {
  auto end = Pending_.find('\n');
  if (end == std::string::npos) return false;
  line.assign(Pending_, 0, end);
  Pending_.erase(0, end + 1);
  line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
  return true;
}

TConsoleEvent TConsole::ReadLine(std::string& line) {
  for (;;) {
    if (TakeBufferedLine(line)) return TConsoleEvent::Line;
    if (InputEnded_) {
      if (Pending_.empty()) return TConsoleEvent::EndOfInput;
      // A last line without a line end still counts as a line.
      Pending_ += '\n';
      continue;
    }
    TConsoleEvent signal_event = TConsoleEvent::Line;
    if (!WaitReadable(true, signal_event)) return signal_event;
    char chunk[4096];
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      RaiseIoError("read");
    }
    if (n == 0) {
      InputEnded_ = true;
    } else {
      Pending_.append(chunk, static_cast<size_t>(n));
    }
  }
}

TConsoleEvent TConsole::WaitForSignal() {
  TConsoleEvent signal_event = TConsoleEvent::StopRequested;
  WaitReadable(false, signal_event);
  return signal_event;
}

void TConsole::Write(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseIoError("write");
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

void TConsole::Print(std::string_view text) {
  std::string line(text);
  line += '\n';
  Write(line);
}

}  // namespace ostrevan
