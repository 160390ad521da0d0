// SPDX-License-Identifier: MIT
#include "ostrevan/server/thread_mgr_pool.h"

#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using testing::ActivateOnLoopback;
using testing::PollUntil;
using testing::TStopwatch;
using testing::TTestClient;

int CountEntries(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

int Tasks() { return CountEntries("/proc/self/task"); }
// Counted after one thread has come and gone, so that a thread the runtime
// starts with the first one (the thread sanitizer's) is in the count. A
// joined thread is still listed until the system has finished its exit,
// so the count waits for that too, and then until it has held still for
// 100 ms: threads an earlier test joined a moment ago may be listed yet.
int TasksAtRest() {
  pid_t tid = 0;
  std::thread([&tid] { tid = gettid(); }).join();
  const std::string entry = "/proc/self/task/" + std::to_string(tid);
  EXPECT_TRUE(PollUntil([&] { return access(entry.c_str(), F_OK) != 0; }));
  int count = Tasks();
  TStopwatch still;
  PollUntil(
      [&] {
        if (const int now = Tasks(); now != count) {
          count = now;
          still = TStopwatch();
        }
        return still.Elapsed() >= std::chrono::milliseconds(100);
      },
      std::chrono::seconds(5), std::chrono::milliseconds(5));
  return count;
}
int Descriptors() { return CountEntries("/proc/self/fd"); }

class DataMark : public TObject {};

// A server on a pool whose peer threads are counted as they are made. Each
// connection echoes one line, then ends; a line "hold" keeps the peer
// thread reading until the client closes. OnConnect records what a thread
// brings from its last connection.
struct PoolServer {
  explicit PoolServer(int32_t poolSize) {
    pool->SetPoolSize(poolSize);
    server.SetPeerThreadClass([this](bool suspended) -> std::unique_ptr<TIdThread> {
      ++created;
      return std::make_unique<TIdPeerThread>(suspended);
    });
    server.SetThreadMgr(pool.get());
    server.OnConnect = [this](TIdPeerThread& thread) {
      if (thread.DataObject() != nullptr) ++staleState;
      std::lock_guard<std::mutex> lock(seenLock);
      last = &thread;
      seen.insert(&thread);
    };
    server.OnExecute = [](TIdPeerThread& thread) {
      TIdTCPServerConnection* connection = thread.Connection();
      thread.SetDataObject(std::make_unique<DataMark>());
      const std::string line = connection->ReadLn("\n", 5000, -1);
      if (line == "hold") {
        while (connection->Connected()) connection->ReadLn("\n", 50, -1);
        return;
      }
      connection->WriteLn(line);
      connection->Disconnect();
    };
    port = ActivateOnLoopback(server);
  }

  // One exchange; waits until the thread that served it is parked.
  std::string Exchange(const std::string& line) {
    TTestClient client(port);
    client.Send(line + "\n");
    std::string answer = client.ReceiveLine();
    EXPECT_TRUE(client.AwaitClose());
    TIdPeerThread* thread = nullptr;
    {
      std::lock_guard<std::mutex> lock(seenLock);
      thread = last;
    }
    EXPECT_TRUE(PollUntil([&] { return thread->IsSuspended(); }));
    return answer;
  }

  std::unique_ptr<TIdThreadMgrPool> pool = std::make_unique<TIdThreadMgrPool>(nullptr);
  TIdTCPServer server{nullptr};
  uint16_t port = 0;
  std::atomic<int> created{0};
  std::atomic<int> staleState{0};
  std::mutex seenLock;
  std::set<TIdPeerThread*> seen;
  TIdPeerThread* last = nullptr;
};

TEST(ThreadMgrPool, ParkedThreadIsReusedWithFreshConnectionState) {
  PoolServer s(2);
  for (int i = 0; i < 20; ++i) {
    const std::string line = "line " + std::to_string(i);
    ASSERT_EQ(s.Exchange(line), line + "\r\n");
  }
  EXPECT_EQ(s.created, 1);
  EXPECT_EQ(s.seen.size(), 1u);
  EXPECT_EQ(s.staleState, 0);
  EXPECT_EQ(s.pool->IdleCount(), 1);
  EXPECT_EQ(s.pool->ActiveThreads().Count(), 0);
}

// Six clients held open at once with room for two in the pool: six threads
// are made, four end on release, two stay parked; the next six reuse them.
TEST(ThreadMgrPool, BurstAbovePoolSizeCreatesAndEndsExtraThreads) {
  const int tasksBefore = TasksAtRest();
  PoolServer s(2);
  auto burst = [&] {
    std::vector<std::unique_ptr<TTestClient>> clients;
    for (int i = 0; i < 6; ++i) {
      clients.push_back(std::make_unique<TTestClient>(s.port));
      clients.back()->Send("hold\n");
    }
    EXPECT_TRUE(PollUntil([&] { return s.server.PeerThreads().Count() == 6; }));
    EXPECT_EQ(s.pool->ActiveThreads().Count(), 6);
    clients.clear();
    EXPECT_TRUE(PollUntil([&] { return s.server.PeerThreads().Empty(); }));
    // The listener and the two kept threads.
    EXPECT_TRUE(PollUntil([&] { return Tasks() == tasksBefore + 3; })) << Tasks();
    EXPECT_EQ(s.pool->IdleCount(), 2);
  };
  burst();
  EXPECT_EQ(s.created, 6);
  burst();
  EXPECT_EQ(s.created, 10);
}

// Idle and busy threads at deactivation and at the pool's destruction, in
// both orders: afterwards no thread or descriptor is left.
TEST(ThreadMgrPool, DeactivationAndDestructionLeakNothing) {
  for (bool poolFirst : {false, true}) {
    SCOPED_TRACE(poolFirst ? "pool destroyed while serving" : "server deactivated first");
    const int tasksBefore = TasksAtRest();
    const int descriptorsBefore = Descriptors();
    {
      PoolServer s(4);
      s.Exchange("idle");
      std::vector<std::unique_ptr<TTestClient>> busy;
      for (int i = 0; i < 3; ++i) {
        busy.push_back(std::make_unique<TTestClient>(s.port));
        busy.back()->Send("hold\n");
      }
      ASSERT_TRUE(PollUntil([&] { return s.pool->ActiveThreads().Count() == 3; }));
      if (poolFirst) {
        s.pool.reset();
        EXPECT_TRUE(s.server.PeerThreads().Empty());
      } else {
        s.server.SetActive(false);
        EXPECT_LE(s.pool->IdleCount(), 4);
        EXPECT_TRUE(PollUntil([&] { return Tasks() == tasksBefore + s.pool->IdleCount(); }));
        s.pool.reset();
      }
      for (auto& client : busy) EXPECT_TRUE(client->AwaitClose());
    }
    EXPECT_TRUE(PollUntil([&] { return Tasks() == tasksBefore; })) << Tasks();
    EXPECT_EQ(Descriptors(), descriptorsBefore);
  }
}

TEST(ThreadMgrPool, ReleaseFromOutsideAndSmallerPoolSizeEndThreads) {
  TIdThreadMgrPool pool(nullptr);
  EXPECT_EQ(pool.PoolSize(), TIdThreadMgrPool::kDefaultPoolSize);
  pool.SetThreadClass(ThreadClassOf<TIdPeerThread>());
  std::unique_ptr<TIdThread> thread = pool.AcquireThread();
  EXPECT_EQ(thread->StopAction(), saSuspend);
  pool.ReleaseThread(thread.release());  // never started: freed without a wait
  EXPECT_EQ(pool.ActiveThreads().Count(), 0);
  EXPECT_EQ(pool.IdleCount(), 0);

  const int tasksBefore = TasksAtRest();
  PoolServer s(3);
  s.Exchange("one");
  EXPECT_TRUE(PollUntil([&] { return Tasks() == tasksBefore + 2; })) << Tasks();
  s.pool->SetPoolSize(0);
  EXPECT_EQ(s.pool->IdleCount(), 0);
  // Joined already; the system may still be finishing the thread's exit.
  EXPECT_TRUE(PollUntil([&] { return Tasks() == tasksBefore + 1; })) << Tasks();
}

}  // namespace
}  // namespace ostrevan
