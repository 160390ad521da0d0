// SPDX-License-Identifier: MIT
// rfc868-reference: the single-threaded epoll Time protocol server that the
// daemon is measured against. Prints its port, serves until SIGTERM, SIGINT
// or the end of standard input.

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <optional>

#include "ostrevan/bench/reference_server.h"
#include "ostrevan/bench/responder_main.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-reference [PORT] [--backlog N] [--ignore-stdin]\n"
    "  listens on 127.0.0.1:PORT (0, the default, lets the system choose),\n"
    "  prints the port on standard output and serves until SIGTERM, SIGINT\n"
    "  or the end of standard input (when that is a pipe, socket or terminal)\n";

int Main(int argc, char** argv) {
  int64_t backlog = 1024;
  ResponderArguments arguments;
  const OwnOption backlogOption = [&](ArgumentReader& reader) -> std::optional<bool> {
    if (reader.Name() != "--backlog") return std::nullopt;
    return reader.Number(1, 65535, backlog);
  };
  if (!ReadResponderArguments(argc, argv, kUsage, arguments, backlogOption)) return 2;
  // Blocked before anything else, so that a signal arriving early waits in
  // the signalfd instead of killing the process.
  const int stopFd = BlockStopSignals();
  if (stopFd < 0) {
    std::perror("rfc868-reference: signalfd");
    return 1;
  }

  ReferenceServer server(static_cast<uint16_t>(arguments.Port), static_cast<int>(backlog));
  std::printf("%u\n", server.Port());
  std::fflush(stdout);
  server.Run(stopFd, StopInput(arguments.WatchInput));
  std::fprintf(stderr, "rfc868-reference: served %" PRIu64 " connections\n", server.Served());
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  return ostrevan::bench::RunReporting("rfc868-reference", ostrevan::bench::Main, argc, argv);
}
