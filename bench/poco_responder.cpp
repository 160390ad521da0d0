// SPDX-License-Identifier: MIT
// rfc868-poco: the Time protocol on POCO's TCPServer, the thread-pooled
// server a C++ developer would most likely reach for instead of this
// framework. Listens on 127.0.0.1:PORT, prints the port and serves until
// SIGTERM, SIGINT or the end of standard input, like rfc868-reference.
// Each connection gets the four bytes, a shutdown of the sending side and a
// close, as from the other responders.

#include <sys/socket.h>
#include <unistd.h>

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServer.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerParams.h>
#include <Poco/ThreadPool.h>

#include <cstdio>
#include <optional>

#include "ostrevan/bench/responder_main.h"
#include "ostrevan/bench/rfc868_clock.h"

namespace ostrevan::bench {
namespace {

const char kUsage[] =
    "usage: rfc868-poco [PORT] [--threads N] [--ignore-stdin]\n"
    "  the Time protocol on POCO's TCPServer with a pool of N threads (32,\n"
    "  as many as the pooled time server keeps), on 127.0.0.1:PORT\n";

class TimeConnection : public Poco::Net::TCPServerConnection {
 public:
  using Poco::Net::TCPServerConnection::TCPServerConnection;

  void run() override {
    unsigned char bytes[4];
    EncodeCount(CurrentRfc868Count(), bytes);
    // The peer may be gone already; the close follows all the same.
    try {
      socket().sendBytes(bytes, sizeof bytes);
      socket().shutdownSend();
    } catch (const Poco::Exception&) {
    }
  }
};

int Main(int argc, char** argv) {
  int64_t threads = 32;
  ResponderArguments arguments;
  const OwnOption threadsOption = [&](ArgumentReader& reader) -> std::optional<bool> {
    if (reader.Name() != "--threads") return std::nullopt;
    return reader.Number(1, 4096, threads);
  };
  if (!ReadResponderArguments(argc, argv, kUsage, arguments, threadsOption)) return 2;
  // Blocked before POCO starts a thread, so that every one inherits it.
  const int stopFd = BlockStopSignals();
  if (stopFd < 0) {
    std::perror("rfc868-poco: signalfd");
    return 1;
  }
  {
    const int count = static_cast<int>(threads);
    Poco::ThreadPool pool(count, count);
    Poco::Net::ServerSocket listener(
        Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(arguments.Port)), SOMAXCONN);
    auto* params = new Poco::Net::TCPServerParams;
    params->setMaxThreads(count);
    // Its default queue of 64 would refuse connections at 64 clients that
    // the others accept.
    params->setMaxQueued(SOMAXCONN);
    Poco::Net::TCPServer server(new Poco::Net::TCPServerConnectionFactoryImpl<TimeConnection>(),
                                pool, listener, params);
    server.start();
    std::printf("%u\n", static_cast<unsigned>(listener.address().port()));
    std::fflush(stdout);
    WaitForStop(stopFd, StopInput(arguments.WatchInput));
    server.stop();
    pool.joinAll();
  }
  close(stopFd);
  return 0;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  return ostrevan::bench::RunReporting("rfc868-poco", ostrevan::bench::Main, argc, argv);
}
