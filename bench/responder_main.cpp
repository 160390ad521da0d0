// SPDX-License-Identifier: MIT
#include "ostrevan/bench/responder_main.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

namespace ostrevan::bench {

bool ReadResponderArguments(int argc, char** argv, const char* AUsage,
                            ResponderArguments& AArguments, const OwnOption& AOwn) {
  ArgumentReader reader(argc, argv);
  while (reader.Next()) {
    std::optional<bool> own = AOwn ? AOwn(reader) : std::nullopt;
    bool ok = true;
    if (own.has_value()) {
      ok = *own;
    } else if (reader.Name() == "--ignore-stdin") {
      AArguments.WatchInput = false;
    } else {
      ok = ParseNumber(reader.Name(), 0, 65535, AArguments.Port);
    }
    if (!ok) {
      std::fputs(AUsage, stderr);
      return false;
    }
  }
  return true;
}

int BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

int StopInput(bool AWatch) {
  struct stat status {};
  if (!AWatch || fstat(STDIN_FILENO, &status) != 0) return -1;
  const bool canEnd = S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(STDIN_FILENO);
  return canEnd ? STDIN_FILENO : -1;
}

void WaitForStop(int AStopFd, int AInputFd) {
  pollfd fds[2] = {{AStopFd, POLLIN, 0}, {AInputFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, AInputFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (AInputFd >= 0 && fds[1].revents != 0) {
      char buffer[256];
      if (read(AInputFd, buffer, sizeof buffer) <= 0) return;
    }
  }
}

int RunReporting(const char* AName, int (*AMain)(int, char**), int argc, char** argv,
                 int AFailure) {
  try {
    return AMain(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", AName, error.what());
    return AFailure;
  }
}

}  // namespace ostrevan::bench
