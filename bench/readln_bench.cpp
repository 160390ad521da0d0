// SPDX-License-Identifier: MIT
// ReadLn over a real loopback connection: many short lines, and one long
// line cut with maSplit, each at two sizes, so that doubling the input
// shows whether the time doubles too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "ostrevan/conn/io_handler.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/conn/tcp_connection.h"

namespace ostrevan {
namespace {

constexpr size_t kBlock = 32 * 1024;  // the writer's send size
constexpr size_t kLineLength = 40;    // with its LF

// A connection on the accepted end of a loopback connection, and the
// descriptor of the other end.
struct TLoopbackConnection {
  std::unique_ptr<TIdTCPConnection> Connection = std::make_unique<TIdTCPConnection>(nullptr);
  int Peer = -1;

  TLoopbackConnection() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("listen failed");
    }
    Peer = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(Peer, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      throw std::runtime_error("connect failed");
    }
    TIdServerIOHandlerSocket acceptor(nullptr);
    Connection->SetIOHandler(acceptor.AcceptConnection(listener, nullptr));
    close(listener);
  }
  ~TLoopbackConnection() {
    Connection.reset();
    close(Peer);
  }

  // Sends the bytes in blocks of kBlock from a thread of its own.
  std::thread SendInBlocks(const std::string& bytes) {
    return std::thread([this, &bytes] {
      for (size_t done = 0; done < bytes.size();) {
        const size_t size = std::min(kBlock, bytes.size() - done);
        const ssize_t sent = send(Peer, bytes.data() + done, size, MSG_NOSIGNAL);
        if (sent <= 0) return;
        done += static_cast<size_t>(sent);
      }
    });
  }
};

std::string ShortLines(size_t total) {
  std::string line(kLineLength - 1, 'x');
  line += '\n';
  std::string bytes;
  bytes.reserve(total);
  while (bytes.size() + kLineLength <= total) bytes += line;
  return bytes;
}

void BM_ReadLnShortLines(benchmark::State& state) {
  const std::string bytes = ShortLines(static_cast<size_t>(state.range(0)));
  const size_t lines = bytes.size() / kLineLength;
  for (auto _ : state) {
    TLoopbackConnection pair;
    std::thread writer = pair.SendInBlocks(bytes);
    for (size_t i = 0; i < lines; ++i) benchmark::DoNotOptimize(pair.Connection->ReadLn());
    writer.join();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_ReadLnOneLongLine(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  const std::string bytes = std::string(length, 'y') + "\n";
  for (auto _ : state) {
    TLoopbackConnection pair;
    pair.Connection->SetMaxLineAction(maSplit);
    std::thread writer = pair.SendInBlocks(bytes);
    const std::string line =
        pair.Connection->ReadLn("\n", -1, static_cast<int32_t>(length) * 2);
    writer.join();
    if (line.size() != length) state.SkipWithError("short line");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK(BM_ReadLnShortLines)->Arg(4 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLnOneLongLine)->Arg(4 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ostrevan

BENCHMARK_MAIN();
