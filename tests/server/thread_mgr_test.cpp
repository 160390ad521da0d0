// SPDX-License-Identifier: MIT
#include "ostrevan/server/thread_mgr.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "ostrevan/server/errors.h"
#include "ostrevan/server/thread_mgr_default.h"
#include "tests/support/raises.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using testing::MessageOf;
using testing::PollUntil;
using testing::Signal;

// A thread whose steps run an action given after construction and that
// reports its destruction.
class ActionThread : public TIdThread {
 public:
  explicit ActionThread(bool ACreateSuspended) : TIdThread(ACreateSuspended) {}
  ~ActionThread() override {
    if (Destroyed) Destroyed->Set();
  }
  std::function<void(ActionThread&)> Action;
  std::shared_ptr<Signal> Destroyed;

 protected:
  void Run() override {
    if (Action) {
      Action(*this);
    } else {
      Stop();
    }
  }
};

ActionThread* AsAction(TIdThread* thread) { return dynamic_cast<ActionThread*>(thread); }

struct ManagerFixture {
  std::unique_ptr<TIdThreadMgrDefault> mgr = [] {
    auto m = std::make_unique<TIdThreadMgrDefault>(nullptr);
    m->SetThreadClass(ThreadClassOf<ActionThread>());
    return m;
  }();
};

TEST(ThreadMgr, NoThreadClassCreatesNothing) {
  TIdThreadMgrDefault mgr(nullptr);
  EXPECT_FALSE(mgr.ThreadClass());
  EXPECT_EQ(mgr.ThreadPriority(), 0);
  EXPECT_EQ(MessageOf<EIdThreadClassNotSpecified>([&] { mgr.AcquireThread(); }),
            "Thread Class Not Specified.");
  EXPECT_EQ(mgr.ActiveThreads().Count(), 0);
}

TEST(ThreadMgr, AcquireListsSuspendedThreadsAndReleaseFromOutsideFreesThem) {
  ManagerFixture f;
  TIdThread* first = f.mgr->AcquireThread().release();
  TIdThread* second = f.mgr->AcquireThread().release();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first->Stopped());
  EXPECT_TRUE(first->IsSuspended());
  EXPECT_TRUE(f.mgr->ActiveThreads().Contains(first));
  EXPECT_TRUE(f.mgr->ActiveThreads().Contains(second));

  // Never started: freed without a wait.
  auto firstGone = std::make_shared<Signal>();
  AsAction(first)->Destroyed = firstGone;
  f.mgr->ReleaseThread(first);
  EXPECT_TRUE(firstGone->Wait());
  EXPECT_FALSE(f.mgr->ActiveThreads().Contains(first));

  // Running: terminated, waited for, freed.
  auto secondGone = std::make_shared<Signal>();
  std::atomic<int> steps{0};
  AsAction(second)->Destroyed = secondGone;
  AsAction(second)->Action = [&](ActionThread&) {
    ++steps;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  second->Start();
  ASSERT_TRUE(PollUntil([&] { return steps > 0; }));
  f.mgr->ReleaseThread(second);
  EXPECT_TRUE(secondGone->Wait());
  EXPECT_EQ(f.mgr->ActiveThreads().Count(), 0);
}

TEST(ThreadMgr, ReleaseFromTheThreadItselfLetsItFreeItself) {
  ManagerFixture f;
  TIdThread* thread = f.mgr->AcquireThread().release();
  auto gone = std::make_shared<Signal>();
  Signal released;
  std::atomic<bool> listedAfterRelease{true};
  std::atomic<bool> freeOnTerminate{false};
  AsAction(thread)->Destroyed = gone;
  AsAction(thread)->Action = [&](ActionThread& self) {
    f.mgr->ReleaseThread(&self);  // never waits
    listedAfterRelease = f.mgr->ActiveThreads().Contains(&self);
    freeOnTerminate = self.FreeOnTerminate();
    released.Set();
  };
  thread->Start();
  ASSERT_TRUE(released.Wait());
  EXPECT_FALSE(listedAfterRelease);
  EXPECT_TRUE(freeOnTerminate);
  EXPECT_TRUE(gone->Wait());  // nobody deletes it but itself
}

TEST(ThreadMgr, ReleasingASelfFreeingThreadFromOutsideFailsAndKeepsItListed) {
  ManagerFixture f;
  TIdThread* thread = f.mgr->AcquireThread().release();
  auto gone = std::make_shared<Signal>();
  std::atomic<bool> running{false};
  AsAction(thread)->Destroyed = gone;
  AsAction(thread)->Action = [&](ActionThread&) {
    running = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  thread->SetFreeOnTerminate(true);
  thread->Start();
  ASSERT_TRUE(PollUntil([&] { return running.load(); }));
  EXPECT_EQ(MessageOf<EIdThreadTerminateAndWaitFor>([&] { f.mgr->ReleaseThread(thread); }),
            "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  EXPECT_TRUE(f.mgr->ActiveThreads().Contains(thread));
  f.mgr->ActiveThreads().Remove(thread);
  thread->Terminate();
  EXPECT_TRUE(gone->Wait());
}

TEST(ThreadMgr, DestroyedManagerLeavesItsThreadsRunning) {
  auto mgr = std::make_unique<TIdThreadMgrDefault>(nullptr);
  mgr->SetThreadClass(ThreadClassOf<ActionThread>());
  std::unique_ptr<TIdThread> thread(mgr->AcquireThread());
  std::atomic<int> steps{0};
  AsAction(thread.get())->Action = [&](ActionThread&) {
    ++steps;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  thread->Start();
  mgr.reset();
  const int before = steps;
  EXPECT_TRUE(PollUntil([&] { return steps > before + 2; }));
  EXPECT_FALSE(thread->Finished());
  thread->TerminateAndWaitFor();
}

// The nice value of a Linux thread is its own, so each case runs on a fresh
// std::thread and leaves the test's thread as it was.
int NiceAfterNewThread(int startNice, int8_t priority) {
  int result = 0;
  std::thread([&] {
    setpriority(PRIO_PROCESS, 0, startNice);
    TIdThreadMgrDefault mgr(nullptr);
    mgr.SetThreadClass(ThreadClassOf<ActionThread>());
    mgr.SetThreadPriority(priority);
    mgr.NewThread();
    result = getpriority(PRIO_PROCESS, 0);
  }).join();
  return result;
}

TEST(ThreadMgr, PriorityGoesToTheCallingThreadWhenItLowersIt) {
  const int current = getpriority(PRIO_PROCESS, 0);
  if (current > 0) GTEST_SKIP() << "the tests already run at nice " << current;
  EXPECT_EQ(NiceAfterNewThread(0, 0), 0);
  EXPECT_EQ(NiceAfterNewThread(0, 5), 5);
  // Raising the priority again happens only for root.
  EXPECT_EQ(NiceAfterNewThread(5, 0), geteuid() == 0 ? 0 : 5);
}

}  // namespace
}  // namespace ostrevan
