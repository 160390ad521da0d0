// rfc868-pool-server: the framework's time server with its peer threads
// from a TIdThreadMgrPool, for measuring the pooled manager. Listens on
// 127.0.0.1:PORT, prints the port and serves until SIGTERM, SIGINT or the
// end of standard input, like rfc868-reference.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

#include "bench/command_line.h"
#include "server/thread_mgr_pool.h"
#include "time/time_server.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-pool-server [PORT] [--pool-size N] [--ignore-stdin]\n"
    "  the framework's time server on a pooled thread manager (32 idle\n"
    "  threads unless --pool-size says otherwise), on 127.0.0.1:PORT\n";

bool InputIsWatchable() {
  struct stat status {};
  if (fstat(STDIN_FILENO, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(STDIN_FILENO);
}

void WaitForStop(int stopFd, int inputFd) {
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {inputFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, inputFd >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    if (inputFd >= 0 && fds[1].revents != 0) {
      char buffer[256];
      if (read(inputFd, buffer, sizeof buffer) <= 0) return;
    }
  }
}

int Main(int argc, char** argv) {
  int64_t port = 0;
  int64_t poolSize = TIdThreadMgrPool::kDefaultPoolSize;
  bool watchInput = true;
  ArgumentReader reader(argc, argv);
  while (reader.Next()) {
    bool ok = true;
    if (reader.Name() == "--pool-size") {
      ok = reader.Number(0, 100000, poolSize);
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
  // Blocked before the server's threads exist, so that they inherit it.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::perror("rfc868-pool-server: signalfd");
    return 1;
  }
  {
    TIdThreadMgrPool pool(nullptr);
    pool.SetPoolSize(static_cast<int32_t>(poolSize));
    TIdTimeServer server(nullptr);
    server.SetThreadMgr(&pool);
    server.SetListenQueue(SOMAXCONN);
    TIdSocketHandle* binding = server.Bindings().Add();
    binding->SetIP("127.0.0.1");
    binding->SetPort(static_cast<int32_t>(port));
    server.SetActive(true);
    std::printf("%d\n", binding->Port());
    std::fflush(stdout);
    WaitForStop(stopFd, watchInput && InputIsWatchable() ? STDIN_FILENO : -1);
    server.SetActive(false);
  }
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  try {
    return ostrevan::bench::Main(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "rfc868-pool-server: %s\n", error.what());
    return 1;
  }
}
