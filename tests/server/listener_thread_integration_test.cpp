// SPDX-License-Identifier: MIT
#include "ostrevan/server/listener_thread.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/server/thread_mgr_pool.h"
#include "ostrevan/server/udp_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/process.h"
#include "tests/support/platform_stack.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::ActivateOnLoopback;
using testing::PollUntil;
using testing::TTestClient;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(ListenerThread, WithoutAServerItAcceptsNothingAndStopsWhenTold) {
  TIdTCPServer stackKeeper(nullptr);  // a component keeps the socket stack
  TIdSocketHandle binding(nullptr);
  binding.Allocate(SOCK_STREAM, 0);
  binding.SetIP("127.0.0.1");
  binding.BindLocal();
  binding.StartListening(5);
  TIdListenerThread listener(nullptr, &binding);
  EXPECT_TRUE(listener.Stopped());
  listener.Start();
  TTestClient client(static_cast<uint16_t>(binding.Port()));
  // An observation window, not a wait for a condition: nothing may take
  // the connection waiting in the backlog, and the passes must not spin.
  const double cpuBefore = CpuSeconds();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.15);
  EXPECT_TRUE(TIdSocketHandle::WaitHandleReadable(binding.Descriptor(), 0));

  const testing::TStopwatch watch;
  listener.Terminate();
  listener.WaitFor();
  EXPECT_LT(watch.Elapsed(), 1s);
  EXPECT_FALSE(binding.Allocated());  // closed when its run steps ended
}

// Deactivation terminates the listener, then shuts its socket down and
// closes it. An accept woken by the shutdown fails (EINVAL) before the close
// would make it end quietly: that is the end of listening, not an error.
TEST(ListenerThread, AcceptFailingAfterTheStopRequestIsNoListenError) {
  TIdTCPServer server(nullptr);
  std::atomic<int> reports{0};
  server.OnListenException = [&](TIdListenerThread&, const std::exception&) { ++reports; };
  server.OnExecute = [](TIdPeerThread& thread) { thread.Connection()->Disconnect(); };
  // One connection served: the listener is past its first pass and waits.
  TTestClient(ActivateOnLoopback(server)).AwaitClose();
  TIdListenerThread* listener = server.ListenerThreads()->Pin().Items().front();
  listener->Terminate();
  shutdown(listener->Binding()->Descriptor(), SHUT_RDWR);  // wakes the accept wait
  EXPECT_TRUE(PollUntil([&] { return listener->Finished(); }));
  EXPECT_EQ(reports, 0);
  server.SetActive(false);
}

// In a child process: the descriptor limit is the process's.
TEST(ListenerThread, OutOfDescriptorsItWaitsQuietlyAndServesAgainLater) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checks built with it probe memory through a
  // pipe, which they cannot open with the descriptors used up.
  GTEST_SKIP() << "not with the address sanitizer build";
#endif
  auto outcome = testing::RunInChild({}, []() -> std::string {
    TIdTCPServer server(nullptr);
    std::atomic<int> failures{0};
    std::atomic<int> lastError{0};
    server.OnListenException = [&](TIdListenerThread&, const std::exception& e) {
      if (auto* socketError = dynamic_cast<const EIdSocketError*>(&e)) {
        lastError = socketError->ErrorNumber();
      }
      ++failures;
    };
    // The first connection is held until the descriptors are back: a
    // listener waiting in its accept holds the descriptor its next
    // connection gets, so it runs out only in the accept after that one.
    std::atomic<bool> release{false};
    server.OnExecute = [&release](TIdPeerThread& thread) {
      for (int i = 0; i < 1000 && !release; ++i) std::this_thread::sleep_for(10ms);
      thread.Connection()->Write("ok");
      thread.Connection()->Disconnect();
    };
    const uint16_t port = ActivateOnLoopback(server);

    // The client's socket is made first and connects only once the
    // descriptors are used up: then nothing but the accept needs one.
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int later = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) return "setrlimit failed";
    std::vector<int> fillers;
    for (int fd; fillers.size() < 64 && (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      return "connect failed";
    }

    if (!PollUntil([&] { return failures >= 2; })) return "no accept failure reported";
    const int failuresBefore = failures;
    const double cpuBefore = CpuSeconds();
    const testing::TStopwatch watch;
    if (!PollUntil([&] { return failures >= failuresBefore + 5; })) return "the listener gave up";
    const double wall = watch.Seconds();
    const double cpu = CpuSeconds() - cpuBefore;

    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    release = true;
    std::string reply;
    char chunk[16];
    for (ssize_t n; (n = read(client, chunk, sizeof(chunk))) > 0;) reply.append(chunk, static_cast<size_t>(n));
    close(client);
    // And a connection that comes afterwards is served.
    if (connect(later, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      return "connect afterwards failed";
    }
    for (ssize_t n; (n = read(later, chunk, sizeof(chunk))) > 0;) reply.append(chunk, static_cast<size_t>(n));
    close(later);
    server.SetActive(false);
    std::string report = "error " + std::to_string(lastError.load()) + ", reply " + reply;
    // Five failures take at least five 100 ms pauses.
    if (wall < 0.45) report += ", no pause between passes";
    if (cpu > wall / 2) report += ", busy: " + std::to_string(cpu) + " s CPU in " + std::to_string(wall) + " s";
    return report;
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  EXPECT_EQ(outcome.Text, "error 24, reply okok");
}

// Fails the next Faults accepts with Error, an error the accept step
// tolerates (a signal, a descriptor swapped under the call), and leaves a
// waiting client in the queue.
class TFailingAcceptStack : public TIdStackLinux {
 public:
  int32_t AcceptSocket(int32_t ASocket, std::string& APeerIP, int32_t& APeerPort) override {
    if (Faults > 0 && Faults.fetch_sub(1) > 0) return Failed(Error);
    return TIdStackLinux::AcceptSocket(ASocket, APeerIP, APeerPort);
  }

  static inline std::atomic<int> Faults{0};
  static inline std::atomic<int32_t> Error{EINTR};
};

// Only a stop ends a listener: an accept that fails while the listener runs
// is tried again one slice later, quietly, on either thread manager.
TEST(ListenerThread, AcceptFailuresWithoutAStopAreRetriedAfterASlice) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  testing::TPlatformStackInUse<TFailingAcceptStack> stack;
  for (const bool pooled : {false, true}) {
    for (const int32_t error : {EINTR, ENOTSOCK}) {
      SCOPED_TRACE(std::string(pooled ? "pool, " : "default manager, ") + std::strerror(error));
      TIdThreadMgrPool pool(nullptr);
      TIdTCPServer server(nullptr);
      if (pooled) server.SetThreadMgr(&pool);
      std::atomic<int> reports{0};
      server.OnListenException = [&](TIdListenerThread&, const std::exception&) { ++reports; };
      server.OnExecute = [](TIdPeerThread& thread) {
        thread.Connection()->Write("ok");
        thread.Connection()->Disconnect();
      };
      TFailingAcceptStack::Error = error;
      TFailingAcceptStack::Faults = 2;
      const testing::TStopwatch watch;
      TTestClient first(ActivateOnLoopback(server));
      EXPECT_EQ(first.ReceiveAll(), "ok");
      EXPECT_EQ(TFailingAcceptStack::Faults.load(), 0) << "both faults were met";
      // Each ends a pass; the next pass comes a slice later.
      EXPECT_GE(watch.Elapsed(), 200ms) << "the next pass waits a slice";
      TTestClient second(static_cast<uint16_t>(server.Bindings().Items(0)->Port()));
      EXPECT_EQ(second.ReceiveAll(), "ok");
      EXPECT_EQ(reports, 0);
      server.SetActive(false);
    }
  }
}

// Counts the waits and accepts made on a descriptor number after it was
// closed and before the system gave it out again. Each wait begins late,
// as when the listener is descheduled between two slices, and lasts no
// time, so that the listener's calls follow one another closely.
class TClosedDescriptorUseStack : public TIdStackLinux {
 public:
  int32_t OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) override {
    return Opened(TIdStackLinux::OpenSocket(AFamily, AStruct, AProtocol));
  }
  int32_t AcceptSocket(int32_t ASocket, std::string& APeerIP, int32_t& APeerPort) override {
    CountIfClosed(ASocket);
    return Opened(TIdStackLinux::AcceptSocket(ASocket, APeerIP, APeerPort));
  }
  int32_t CloseSocket(int32_t ASocket) override {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Closed.insert(ASocket);
    }
    return TIdStackLinux::CloseSocket(ASocket);
  }
  int32_t PollReadable(int32_t ASocket, int32_t) override {
    std::this_thread::sleep_for(20ms);
    CountIfClosed(ASocket);
    return TIdStackLinux::PollReadable(ASocket, 0);
  }

  static inline std::mutex Lock;  // guards Closed
  static inline std::set<int32_t> Closed;
  static inline std::atomic<int> UsesAfterClose{0};

 private:
  int32_t Opened(int32_t ASocket) {
    std::lock_guard<std::mutex> guard(Lock);
    Closed.erase(ASocket);
    return ASocket;
  }
  void CountIfClosed(int32_t ASocket) {
    std::lock_guard<std::mutex> guard(Lock);
    if (Closed.count(ASocket) != 0) ++UsesAfterClose;
  }
};

// Deactivation leaves a listening descriptor's number to its listener until
// the listener has stopped using it, for stream and datagram servers alike.
TEST(ListenerStop, NoWaitOrAcceptReachesTheDescriptorOnceItIsClosed) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  testing::TPlatformStackInUse<TClosedDescriptorUseStack> stack;
  TIdTCPServer tcp(nullptr);
  TIdUDPServer udp(nullptr);
  udp.SetDefaultPort(0);
  for (int round = 0; round < 5; ++round) {
    ActivateOnLoopback(tcp);
    udp.SetActive(true);
    std::this_thread::sleep_for(30ms);  // the listeners wait
    tcp.SetActive(false);
    udp.SetActive(false);
    tcp.Bindings().Clear();
  }
  EXPECT_EQ(TClosedDescriptorUseStack::UsesAfterClose.load(), 0);
}

}  // namespace
}  // namespace ostrevan
