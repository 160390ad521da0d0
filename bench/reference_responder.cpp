// rfc868-reference: the single-threaded epoll Time protocol server that the
// daemon is measured against. Prints its port, serves until SIGTERM, SIGINT
// or the end of standard input.

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <exception>

#include "bench/command_line.h"
#include "bench/reference_server.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-reference [PORT] [--backlog N] [--ignore-stdin]\n"
    "  listens on 127.0.0.1:PORT (0, the default, lets the system choose),\n"
    "  prints the port on standard output and serves until SIGTERM, SIGINT\n"
    "  or the end of standard input (when that is a pipe, socket or terminal)\n";

// A regular file or /dev/null cannot be polled, and a script's background
// job gets /dev/null as its input: such an input does not end the server.
bool InputIsWatchable() {
  struct stat status {};
  if (fstat(STDIN_FILENO, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(STDIN_FILENO);
}

int Main(int argc, char** argv) {
  int64_t port = 0;
  int64_t backlog = 1024;
  bool watchInput = true;
  ArgumentReader reader(argc, argv);
  while (reader.Next()) {
    bool ok = true;
    if (reader.Name() == "--backlog") {
      ok = reader.Number(1, 65535, backlog);
    } else if (reader.Name() == "--ignore-stdin") {
      watchInput = false;
    } else {
      ok = ParseNumber(reader.Name(), 0, 65535, port);
    }
    if (!ok) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }

  // Blocked before anything else, so that a signal arriving early waits in
  // the signalfd instead of killing the process.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::perror("rfc868-reference: signalfd");
    return 1;
  }

  ReferenceServer server(static_cast<uint16_t>(port), static_cast<int>(backlog));
  std::printf("%u\n", server.Port());
  std::fflush(stdout);
  server.Run(stopFd, watchInput && InputIsWatchable() ? STDIN_FILENO : -1);
  std::fprintf(stderr, "rfc868-reference: served %" PRIu64 " connections\n", server.Served());
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  try {
    return ostrevan::bench::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rfc868-reference: %s\n", error.what());
    return 1;
  }
}
