// SPDX-License-Identifier: MIT
#include "ostrevan/shell/console_io.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/operator_signals.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

[[noreturn]] void RaiseIoError(const char* what) {
  throw EInOutError(Format("%s: %s", what, SysErrorMessage(errno).c_str()));
}

}  // namespace

TConsole::TConsole() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = OperatorSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) RaiseIoError("signal mask");
  SignalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
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

bool TConsole::TakeSignal() {
  if (SignalTaken_ == 0) {
    signalfd_siginfo info{};
    if (::read(SignalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      SignalTaken_ = static_cast<int>(info.ssi_signo);
    }
  }
  return SignalTaken_ != 0;
}

TConsoleEvent TConsole::ActOnSignal() const {
  if (SignalTaken_ == SIGINT) throw EControlC();
  if (SignalTaken_ == SIGQUIT) throw EQuit();
  return TConsoleEvent::StopRequested;
}

bool TConsole::WaitReadable(bool AWatchInput) {
  pollfd fds[2] = {{SignalFd_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  if (poll(fds, AWatchInput ? 2 : 1, -1) < 0) {
    if (errno == EINTR) return false;
    RaiseIoError("poll");
  }
  return AWatchInput && fds[1].revents != 0;
}

void TConsole::WaitWritable() {
  // Once a signal is taken, further ones in the descriptor must not end
  // every wait at once: the tick alone bounds it then.
  pollfd fds[2] = {{STDOUT_FILENO, POLLOUT, 0}, {SignalFd_, POLLIN, 0}};
  if (poll(fds, SignalTaken_ == 0 ? 2 : 1, -1) < 0 && errno != EINTR) RaiseIoError("poll");
}

void TConsole::Append(std::string_view data) {
  while (!data.empty()) {
    const size_t end = data.find('\n');
    const std::string_view part = data.substr(0, end);
    if (!Discarding_) {
      // Carriage returns are never part of a line, wherever they stand.
      std::remove_copy(part.begin(), part.end(), std::back_inserter(Partial_), '\r');
      if (Partial_.size() > kMaxLineLength) {
        Discarding_ = true;
        std::string().swap(Partial_);  // gives the memory back
      }
    }
    if (end == std::string_view::npos) return;
    Lines_.push_back(std::move(Partial_));  // empty for a line that was too long
    Partial_.clear();
    Discarding_ = false;
    data.remove_prefix(end + 1);
  }
}

void TConsole::ReadInput() {
  char chunk[65536];
  const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    InputFailed();
    return;
  }
  if (n > 0) {
    Append(std::string_view(chunk, static_cast<size_t>(n)));
    return;
  }
  InputEnded_ = true;
  // A last line without a line end still counts as a line.
  if (Discarding_ || !Partial_.empty()) Append("\n");
}

void TConsole::InputFailed() {
  if (!EndOnStreamErrors_) RaiseIoError("read");
  InputEnded_ = true;
  Partial_.clear();
  Discarding_ = false;
}

void TConsole::OutputFailed() {
  if (!EndOnStreamErrors_) RaiseIoError("write");
  OutputDropped_ = true;
  InputEnded_ = true;
  Lines_.clear();
  Partial_.clear();
  Discarding_ = false;
}

TConsoleEvent TConsole::ReadLine(std::string& line) {
  for (;;) {
    if (TakeSignal()) return ActOnSignal();
    if (!Lines_.empty()) {
      line = std::move(Lines_.front());
      Lines_.pop_front();
      return TConsoleEvent::Line;
    }
    if (InputEnded_) return TConsoleEvent::EndOfInput;
    if (WaitReadable(true)) ReadInput();
  }
}

TConsoleEvent TConsole::WaitForSignal() {
  while (!TakeSignal()) WaitReadable(false);
  return ActOnSignal();
}

void TConsole::Write(std::string_view text) {
  if (OutputDropped_) return;
  TArmedInterrupter armed(Interrupter_);
  const uint64_t ticksAtStart = Interrupter_.Ticks();
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(static_cast<size_t>(n));
      if (text.empty()) return;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitWritable();
    } else if (n < 0 && errno != EINTR) {
      OutputFailed();
      return;
    }
    // The write was broken off, or standard output is full: time to look
    // for a signal. Once one is taken, a tick's wait is all output gets.
    if (TakeSignal() && Interrupter_.Ticks() != ticksAtStart) {
      OutputDropped_ = true;
      return;
    }
  }
}

void TConsole::Print(std::string_view text) {
  std::string line(text);
  line += '\n';
  Write(line);
}

}  // namespace ostrevan
