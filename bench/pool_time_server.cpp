// SPDX-License-Identifier: MIT
// rfc868-pool-server: the framework's time server with its peer threads
// from a TIdThreadMgrPool, for measuring the pooled manager. Listens on
// 127.0.0.1:PORT, prints the port and serves until SIGTERM, SIGINT or the
// end of standard input, like rfc868-reference.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "ostrevan/bench/responder_main.h"
#include "ostrevan/server/thread_mgr_pool.h"
#include "ostrevan/time/time_server.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-pool-server [PORT] [--pool-size N] [--ignore-stdin]\n"
    "  the framework's time server on a pooled thread manager (32 idle\n"
    "  threads unless --pool-size says otherwise), on 127.0.0.1:PORT\n";

int Main(int argc, char** argv) {
  int64_t poolSize = TIdThreadMgrPool::kDefaultPoolSize;
  ResponderArguments arguments;
  const OwnOption poolSizeOption = [&](ArgumentReader& reader) -> std::optional<bool> {
    if (reader.Name() != "--pool-size") return std::nullopt;
    return reader.Number(0, 100000, poolSize);
  };
  if (!ReadResponderArguments(argc, argv, kUsage, arguments, poolSizeOption)) return 2;
  // Blocked before the server's threads exist, so that they inherit it.
  const int stopFd = BlockStopSignals();
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
    binding->SetPort(static_cast<int32_t>(arguments.Port));
    server.SetActive(true);
    std::printf("%d\n", binding->Port());
    std::fflush(stdout);
    WaitForStop(stopFd, StopInput(arguments.WatchInput));
    server.SetActive(false);
  }
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  return ostrevan::bench::RunReporting("rfc868-pool-server", ostrevan::bench::Main, argc, argv);
}
