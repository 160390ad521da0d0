// SPDX-License-Identifier: MIT
#include "ostrevan/bench/load_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "ostrevan/bench/process_counts.h"
#include "ostrevan/bench/reference_server.h"
#include "ostrevan/bench/rfc868_clock.h"

#include "tests/support/wait.h"

namespace ostrevan::bench {
namespace {

// A pipe whose write end stops a server loop.
struct StopPipe {
  int Fds[2] = {-1, -1};
  StopPipe() { EXPECT_EQ(pipe(Fds), 0); }
  ~StopPipe() {
    close(Fds[0]);
    close(Fds[1]);
  }
  void Signal() { EXPECT_EQ(write(Fds[1], "x", 1), 1); }
};

// The reference server on its own thread for the length of a test.
class RunningReference {
 public:
  RunningReference() : Server_(0), Thread_([this] { Server_.Run(Stop_.Fds[0]); }) {}
  ~RunningReference() {
    Stop_.Signal();
    Thread_.join();
  }
  uint16_t Port() const { return Server_.Port(); }
  uint64_t Served() const { return Server_.Served(); }

 private:
  ReferenceServer Server_;
  StopPipe Stop_;
  std::thread Thread_;
};

// A server that does something wrong with every connection it accepts;
// the behaviour gets the accepted socket and may keep it open by moving
// it into Held.
class FaultyServer {
 public:
  using Behaviour = std::function<void(int client, std::vector<int>& held)>;

  explicit FaultyServer(Behaviour behaviour) : Behaviour_(std::move(behaviour)) {
    Listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(Listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(Listener_, 64), 0);
    socklen_t length = sizeof address;
    getsockname(Listener_, reinterpret_cast<sockaddr*>(&address), &length);
    Port_ = ntohs(address.sin_port);
    Thread_ = std::thread([this] { Serve(); });
  }
  ~FaultyServer() {
    Stop_.Signal();
    Thread_.join();
    for (int fd : Held_) close(fd);
    close(Listener_);
  }
  uint16_t Port() const { return Port_; }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{Listener_, POLLIN, 0}, {Stop_.Fds[0], POLLIN, 0}};
      if (poll(fds, 2, 5000) <= 0 || fds[1].revents != 0) return;
      const int client = accept4(Listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) Behaviour_(client, Held_);
    }
  }

  Behaviour Behaviour_;
  int Listener_ = -1;
  uint16_t Port_ = 0;
  std::vector<int> Held_;
  StopPipe Stop_;
  std::thread Thread_;
};

void SendAndClose(int client, const unsigned char* bytes, size_t count) {
  EXPECT_EQ(send(client, bytes, count, MSG_NOSIGNAL), static_cast<ssize_t>(count));
  close(client);
}

LoadOptions SmallRun(uint16_t port, uint64_t connections, int clients) {
  LoadOptions options;
  options.Port = port;
  options.Connections = connections;
  options.Clients = clients;
  options.TimeLimitMs = 20000;
  return options;
}

TEST(LoadRun, AgainstTheReferenceEveryConnectionSucceeds) {
  RunningReference reference;
  LoadOptions options = SmallRun(reference.Port(), 400, 4);
  options.Threads = 1;
  LoadResult result = RunLoad(options);
  EXPECT_EQ(result.Attempted, 400u);
  EXPECT_EQ(result.Succeeded, 400u);
  EXPECT_EQ(result.FailureCount(), 0u) << result.FirstOtherError;
  EXPECT_EQ(result.LatenciesNs.size(), 400u);
  EXPECT_GT(result.ElapsedSeconds, 0);
  EXPECT_GT(result.ConnectionsPerSecond(), 0);
  EXPECT_FALSE(result.HitTimeLimit);

  // Two loops, spread source addresses, resets on close: still no failure,
  // and the count bound is exact across loops.
  options.Threads = 2;
  options.Clients = 5;
  options.Sources = 8;
  options.ResetOnClose = true;
  options.Connections = 301;
  result = RunLoad(options);
  EXPECT_EQ(result.Attempted, 301u);
  EXPECT_EQ(result.Succeeded, 301u);
  EXPECT_EQ(result.FailureCount(), 0u) << result.FirstOtherError;
}

// Every misbehaviour is counted under its own kind and never as a success.
TEST(LoadRun, ClassifiesEachKindOfFailure) {
  struct Case {
    const char* Name;
    FailureKind Kind;
    FaultyServer::Behaviour Behaviour;
  };
  const unsigned char five[5] = {1, 2, 3, 4, 5};
  const std::vector<Case> cases = {
      {"three bytes", FailureKind::ShortRead,
       [](int client, std::vector<int>&) {
         unsigned char bytes[4];
         EncodeCount(CurrentRfc868Count(), bytes);
         SendAndClose(client, bytes, 3);
       }},
      {"nothing", FailureKind::ShortRead, [](int client, std::vector<int>&) { close(client); }},
      {"five bytes", FailureKind::ExtraBytes,
       [&five](int client, std::vector<int>&) { SendAndClose(client, five, 5); }},
      {"five bytes, kept open", FailureKind::ExtraBytes,
       [&five](int client, std::vector<int>& held) {
         EXPECT_EQ(send(client, five, 5, MSG_NOSIGNAL), 5);
         held.push_back(client);
       }},
      {"an hour ahead", FailureKind::WrongValue,
       [](int client, std::vector<int>&) {
         unsigned char bytes[4];
         EncodeCount(CurrentRfc868Count() + 3600, bytes);
         SendAndClose(client, bytes, 4);
       }},
      {"Unix time", FailureKind::WrongValue,
       [](int client, std::vector<int>&) {
         unsigned char bytes[4];
         EncodeCount(static_cast<uint32_t>(time(nullptr)), bytes);
         SendAndClose(client, bytes, 4);
       }},
      {"silence", FailureKind::Timeout,
       [](int client, std::vector<int>& held) { held.push_back(client); }},
      {"four bytes, no close", FailureKind::Timeout,
       [](int client, std::vector<int>& held) {
         unsigned char bytes[4];
         EncodeCount(CurrentRfc868Count(), bytes);
         EXPECT_EQ(send(client, bytes, 4, MSG_NOSIGNAL), 4);
         held.push_back(client);
       }},
      {"reset", FailureKind::Reset,
       [](int client, std::vector<int>&) {
         const linger abortive{1, 0};
         setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
         close(client);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    FaultyServer server(c.Behaviour);
    LoadOptions options = SmallRun(server.Port(), 6, 2);
    options.ConnectionTimeoutMs = 200;
    const LoadResult result = RunLoad(options);
    EXPECT_EQ(result.Succeeded, 0u);
    EXPECT_EQ(result.Attempted, 6u);
    EXPECT_EQ(result.Failures[static_cast<size_t>(c.Kind)], 6u);
    EXPECT_EQ(result.FailureCount(), 6u);
    EXPECT_FALSE(result.HitTimeLimit);
  }
}

TEST(LoadRun, NobodyListeningIsRefused) {
  uint16_t port = 0;
  {
    ReferenceServer closed(0);
    port = closed.Port();
  }
  const LoadResult result = RunLoad(SmallRun(port, 5, 2));
  EXPECT_EQ(result.Failures[static_cast<size_t>(FailureKind::Refused)], 5u);
  EXPECT_EQ(result.Succeeded, 0u);
}

TEST(LoadRun, BoundedInTimeWhateverTheServerDoes) {
  FaultyServer silent([](int client, std::vector<int>& held) { held.push_back(client); });
  LoadOptions options = SmallRun(silent.Port(), 1000, 3);
  options.ConnectionTimeoutMs = 60000;
  options.TimeLimitMs = 300;
  const testing::TStopwatch watch;
  const LoadResult result = RunLoad(options);
  EXPECT_LT(watch.Elapsed(), std::chrono::seconds(3));
  EXPECT_TRUE(result.HitTimeLimit);
  EXPECT_EQ(result.Attempted, 3u);
  EXPECT_EQ(result.Failures[static_cast<size_t>(FailureKind::Timeout)], 3u);
}

TEST(LoadRun, DurationBoundWithoutCount) {
  RunningReference reference;
  LoadOptions options = SmallRun(reference.Port(), 0, 2);
  options.DurationMs = 200;
  const testing::TStopwatch watch;
  const LoadResult result = RunLoad(options);
  EXPECT_LT(watch.Elapsed(), std::chrono::seconds(5));
  EXPECT_GT(result.Succeeded, 0u);
  EXPECT_TRUE(result.AllSucceeded());
  EXPECT_EQ(reference.Served(), result.Succeeded);

  // A time limit shorter than the duration cuts the run short, and that is
  // not a success, whether or not a connection was in flight at the time.
  options.DurationMs = 10000;
  options.TimeLimitMs = 150;
  const LoadResult cut = RunLoad(options);
  EXPECT_TRUE(cut.HitTimeLimit);
  EXPECT_FALSE(cut.AllSucceeded());
}

TEST(LoadRun, RejectsUnboundedOrForeignTargets) {
  LoadOptions options = SmallRun(1234, 0, 2);
  EXPECT_NE(ValidateLoadOptions(options), "") << "neither a count nor a duration";
  options.Connections = 10;
  EXPECT_EQ(ValidateLoadOptions(options), "");
  options.Address = "10.0.0.1";
  EXPECT_NE(ValidateLoadOptions(options), "");
  options.Address = "127.1.2.3";
  EXPECT_EQ(ValidateLoadOptions(options), "");
  options.Threads = 3;
  EXPECT_NE(ValidateLoadOptions(options), "") << "more loops than clients";
  EXPECT_THROW(RunLoad(options), std::invalid_argument);
}

TEST(ProcessCounts, SeesThreadsAndDescriptorsComeAndGo) {
  // A sanitizer runtime starts a helper thread with the first thread the
  // program creates; let that happen before counting.
  std::thread([] {}).join();
  const ProcessCounts before = CountProcess(getpid());
  ASSERT_TRUE(before.Readable());
  StopPipe stop;
  std::thread waiter([&stop] {
    pollfd fd{stop.Fds[0], POLLIN, 0};
    poll(&fd, 1, 10000);
  });
  const ProcessCounts during = CountProcess(getpid());
  EXPECT_EQ(during.Descriptors, before.Descriptors + 2);
  EXPECT_GE(during.Threads, before.Threads + 1);
  EXPECT_FALSE(during.AtMost(before));
  stop.Signal();
  waiter.join();
  // The thread is joined, but its /proc entry may linger for a moment; the
  // pipe is still open.
  const ProcessCounts limit{before.Descriptors + 2, before.Threads};
  const ProcessCounts after = WaitForCountsAtMost(getpid(), limit, 2000);
  EXPECT_TRUE(after.AtMost(limit)) << after.Descriptors << " " << after.Threads;

  EXPECT_FALSE(CountProcess(-5).Readable());
  const ProcessCounts gone = WaitForCountsAtMost(-5, before, 60000);
  EXPECT_FALSE(gone.Readable()) << "a process that is gone ends the wait at once";
}

}  // namespace
}  // namespace ostrevan::bench
