// SPDX-License-Identifier: MIT
#include "ostrevan/threads/id_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <typeindex>

#include "tests/threads/probe_thread.h"

namespace ostrevan {
namespace {

using testing::Journal;
using testing::PollUntil;
using testing::ProbeThread;
using testing::Signal;
using testing::TrackedData;
using Log = std::vector<std::string>;

struct Fixture {
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  std::unique_ptr<ProbeThread> thread = std::make_unique<ProbeThread>(journal);
};

TEST(IdThread, ThreadEndedBeforeItRanRunsNoHook) {
  auto journal = std::make_shared<Journal>();
  {
    ProbeThread thread(journal);
    EXPECT_FALSE(thread.Launched()) << "no POSIX thread before the first Start";
    EXPECT_TRUE(thread.Stopped());
    EXPECT_TRUE(thread.IsSuspended());
    EXPECT_TRUE(thread.StopFlag());
    EXPECT_FALSE(thread.TerminateRequested());
    EXPECT_FALSE(thread.Finished());
    thread.SetDataObject(std::make_unique<TrackedData>(journal));
  }  // destruction wakes it with termination requested and joins it
  EXPECT_EQ(journal->Entries(), Log{"DataObject freed"});

  ProbeThread terminated(journal);
  terminated.Terminate();
  terminated.Start();  // lets it run to its end, which comes at once
  EXPECT_EQ(terminated.WaitFor(), 0);
  EXPECT_TRUE(terminated.Finished());

  ProbeThread waited(journal);
  waited.TerminateAndWaitFor();
  EXPECT_TRUE(waited.Finished());
  EXPECT_EQ(journal->Entries(), Log{"DataObject freed"});
}

// The first Start creates the POSIX thread; when the system refuses, Start
// raises and the thread is as it was before: stopped, and fit to be freed.
TEST(IdThread, AStartThatCannotCreateTheThreadLeavesItStopped) {
  auto journal = std::make_shared<Journal>();
  TThread::SetDefaultStackSize(testing::kImpossibleStackSize);
  auto thread = std::make_unique<ProbeThread>(journal);
  TThread::SetDefaultStackSize(TThread::kDefaultStackSize);
  thread->SetDataObject(std::make_unique<TrackedData>(journal));
  try {
    thread->Start();
    ADD_FAILURE() << "a thread with a stack no system grants was started";
  } catch (const EThread& e) {
    EXPECT_EQ(e.Message().rfind("Thread creation error: ", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(thread->Stopped());
  EXPECT_TRUE(thread->StopFlag());
  EXPECT_TRUE(thread->IsSuspended());
  EXPECT_FALSE(thread->TerminateRequested());
  EXPECT_FALSE(thread->Launched());
  thread.reset();
  EXPECT_EQ(journal->Entries(), Log{"DataObject freed"}) << "no hook ran";
}

TEST(IdThread, StopWithTerminateEndsTheCycleAfterTheCurrentRun) {
  Fixture f;
  Signal inRun, release;
  f.thread->SetDataObject(std::make_unique<TrackedData>(f.journal));
  f.thread->RunAction = [&](int step) {
    if (step != 1) return f.thread->Stop();
    inRun.Set();
    release.Wait();
  };
  f.thread->Start();
  ASSERT_TRUE(inRun.Wait());
  EXPECT_FALSE(f.thread->Stopped());
  EXPECT_FALSE(f.thread->IsSuspended());
  EXPECT_FALSE(f.thread->StopFlag());
  f.thread->Start();  // running: nothing changes
  EXPECT_FALSE(f.thread->Stopped());

  f.thread->Stop();
  f.thread->Stop();  // already stopped: no second termination request
  EXPECT_EQ(f.thread->TerminateCalls, 1);
  EXPECT_TRUE(f.thread->Stopped());
  EXPECT_TRUE(f.thread->StopFlag());
  EXPECT_TRUE(f.thread->TerminateRequested());
  EXPECT_FALSE(f.thread->Finished());
  release.Set();

  EXPECT_EQ(f.thread->WaitFor(), 0);
  EXPECT_TRUE(f.thread->Finished());
  EXPECT_EQ(f.journal->Entries(), (Log{"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup",
                                       "DataObject freed", "AfterLoop"}));
  EXPECT_EQ(f.thread->DataObject(), nullptr);
  EXPECT_EQ(f.thread->FinalErrorMessage(), "");
  EXPECT_FALSE(f.thread->FinalErrorClass().has_value());
}

TEST(IdThread, SuspendParksTheThreadAndStartBeginsANewCycle) {
  Fixture f;
  Signal inRun1, release1, inRun2, release2;
  f.thread->SetStopAction(saSuspend);
  f.thread->SetDataObject(std::make_unique<TrackedData>(f.journal));
  f.thread->RunAction = [&](int step) {
    Signal& in = step == 1 ? inRun1 : inRun2;
    Signal& release = step == 1 ? release1 : release2;
    if (step > 2) return f.thread->Stop();
    in.Set();
    release.Wait();
  };
  f.thread->Start();
  ASSERT_TRUE(inRun1.Wait());

  f.thread->Stop();  // stopping: the current Run goes on
  EXPECT_TRUE(f.thread->StopFlag());
  EXPECT_TRUE(f.thread->Stopped());
  EXPECT_FALSE(f.thread->IsSuspended());
  f.thread->Stop();
  EXPECT_EQ(f.thread->TerminateCalls, 0);
  release1.Set();

  ASSERT_TRUE(PollUntil([&] { return f.thread->IsSuspended(); }));
  EXPECT_TRUE(f.thread->StopFlag());
  EXPECT_FALSE(f.thread->TerminateRequested());
  EXPECT_FALSE(f.thread->Finished());
  EXPECT_EQ(f.thread->DataObject(), nullptr);
  EXPECT_EQ(f.journal->Entries(), (Log{"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup",
                                       "DataObject freed", "NotifyStopped"}));

  f.thread->Stop();  // parked: nothing, in particular no second notification
  f.thread->Start();
  ASSERT_TRUE(inRun2.Wait());
  EXPECT_FALSE(f.thread->Stopped());
  f.thread->Stop();
  release2.Set();
  ASSERT_TRUE(PollUntil([&] { return f.thread->IsSuspended(); }));

  f.thread->TerminateAndWaitFor();  // wakes the parked thread, which ends
  EXPECT_TRUE(f.thread->Finished());
  EXPECT_EQ(f.journal->Entries(),
            (Log{"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup", "DataObject freed",
                 "NotifyStopped", "BeforeRun", "Run", "AfterRun", "Cleanup", "NotifyStopped",
                 "AfterLoop"}));
}

TEST(IdThread, StartBeforeTheStoppedRunReturnsContinuesTheRunLoop) {
  Fixture f;
  Signal inRun, release;
  f.thread->SetStopAction(saSuspend);
  f.thread->RunAction = [&](int step) {
    if (step == 1) {
      inRun.Set();
      release.Wait();
    } else if (step == 2) {
      f.thread->Terminate();
    } else {
      f.thread->Stop();
    }
  };
  f.thread->Start();
  ASSERT_TRUE(inRun.Wait());
  f.thread->Stop();
  f.thread->Start();
  EXPECT_FALSE(f.thread->StopFlag());
  EXPECT_FALSE(f.thread->Stopped());
  release.Set();
  f.thread->WaitFor();
  EXPECT_EQ(f.journal->Entries(),
            (Log{"BeforeLoop", "BeforeRun", "Run", "Run", "AfterRun", "Cleanup", "AfterLoop"}));
}

// Each Start comes right after the thread announced that it stopped, seen
// by spinning, and after a delay that differs from cycle to cycle, so that
// the Starts land before, inside and after the short stretch in which the
// thread decides to park and blocks. Every one must lead to a new cycle.
TEST(IdThread, StartRacingWithTheParkIsNeverLost) {
  constexpr int kCycles = 200;
  Fixture f;
  f.thread->SetStopAction(saSuspend);
  f.thread->Start();
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    ASSERT_TRUE(PollUntil([&] { return f.thread->StoppedNotices >= cycle; }, testing::kPatience, std::chrono::milliseconds(0)));
    for (int delay = 0; delay < (cycle * 37) % 400; ++delay) {
      std::atomic_signal_fence(std::memory_order_seq_cst);  // keeps the loop
    }
    f.thread->Start();
    ASSERT_TRUE(f.journal->WaitCount("BeforeRun", cycle + 1)) << "Start lost in cycle " << cycle;
  }
  ASSERT_TRUE(f.journal->WaitCount("NotifyStopped", kCycles + 1));
  f.thread->TerminateAndWaitFor();
  EXPECT_EQ(f.journal->Count("Run"), kCycles + 1);
  EXPECT_EQ(f.journal->Count("AfterLoop"), 1);
}

class ExpectedFailure : public EIdThreadException {
 public:
  using EIdThreadException::EIdThreadException;
};

struct FailureCase {
  std::string hook;
  std::function<void()> raise;
  Log hooks;  // the hooks that run, up to and including AfterLoop
  std::type_index errorClass;
  std::string message;
  TIdThreadStopAction stopAction = saTerminate;
};

TEST(IdThread, AnEscapingExceptionEndsTheThreadAfterItsHooks) {
  auto failure = [] { throw ExpectedFailure("failed here"); };
  const std::type_index expected(typeid(ExpectedFailure));
  const Log afterRun{"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup", "AfterLoop"};
  const std::vector<FailureCase> cases{
      {"BeforeLoop", failure, {"BeforeLoop", "AfterLoop"}, expected, "failed here"},
      {"BeforeRun", failure, {"BeforeLoop", "BeforeRun", "Cleanup", "AfterLoop"}, expected,
       "failed here"},
      {"Run", failure, afterRun, expected, "failed here"},
      {"AfterRun", failure, afterRun, expected, "failed here"},
      {"Cleanup", failure, afterRun, expected, "failed here"},
      {"AfterLoop", failure, afterRun, expected, "failed here"},
      {"NotifyStopped", failure,
       {"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup", "NotifyStopped", "AfterLoop"},
       expected, "failed here", saSuspend},
      {"Run", [] { throw std::runtime_error("standard failure"); }, afterRun,
       typeid(std::runtime_error), "standard failure"},
      {"Run", [] { throw 42; }, afterRun, typeid(Exception), "Unknown exception"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hook + ": " + c.message);
    Fixture f;
    f.thread->SetStopAction(c.stopAction);
    if (c.hook == "Run") {
      f.thread->RunAction = [&](int) { c.raise(); };
    } else {
      f.thread->Actions[c.hook] = c.raise;
    }
    TIdThread* sender = nullptr;
    std::optional<std::type_index> seenClass;
    f.thread->OnThreadException = [&](TIdThread* AThread, const std::exception& e) {
      sender = AThread;
      seenClass = typeid(e);
    };
    f.thread->Start();
    f.thread->WaitFor();

    Log expectedLog = c.hooks;
    expectedLog.push_back("HandleThreadException: " + c.message);
    EXPECT_EQ(f.journal->Entries(), expectedLog);
    EXPECT_EQ(f.thread->FinalErrorMessage(), c.message);
    EXPECT_EQ(f.thread->FinalErrorClass(), c.errorClass);
    EXPECT_EQ(sender, f.thread.get());
    EXPECT_EQ(seenClass, c.errorClass);
    EXPECT_TRUE(f.thread->TerminateRequested());
    EXPECT_TRUE(f.thread->Stopped());
    EXPECT_FALSE(f.thread->FatalException());
  }
}

TEST(IdThread, AnExceptionHandlerThatRaisesStillEndsTheThread) {
  Fixture f;
  f.thread->RunAction = [](int) { throw ExpectedFailure("first"); };
  f.thread->OnThreadException = [](TIdThread*, const std::exception&) {
    throw ExpectedFailure("second");
  };
  f.thread->Start();
  f.thread->WaitFor();
  EXPECT_EQ(f.thread->FinalErrorMessage(), "first");
  EXPECT_TRUE(f.thread->TerminateRequested());
  ASSERT_TRUE(f.thread->FatalException());
  EXPECT_THROW(std::rethrow_exception(f.thread->FatalException()), ExpectedFailure);
}

TEST(IdThread, TerminateAndWaitForRefusesASelfFreeingThreadWhichGoesOn) {
  auto journal = std::make_shared<Journal>();
  auto destroyed = std::make_shared<Signal>();
  Signal inRun1, release1, inRun2, release2;
  auto* thread = new ProbeThread(journal);
  thread->SetFreeOnTerminate(true);
  thread->OnDestroy = [journal, destroyed] {
    journal->Add("destroyed");
    destroyed->Set();
  };
  thread->RunAction = [&](int step) {
    (step == 1 ? inRun1 : inRun2).Set();
    (step == 1 ? release1 : release2).Wait();
  };
  thread->Start();
  ASSERT_TRUE(inRun1.Wait());
  try {
    thread->TerminateAndWaitFor();
    ADD_FAILURE() << "TerminateAndWaitFor returned";
  } catch (const EIdThreadTerminateAndWaitFor& e) {
    EXPECT_EQ(e.Message(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  EXPECT_FALSE(thread->TerminateRequested());
  EXPECT_FALSE(thread->Stopped());
  release1.Set();
  ASSERT_TRUE(inRun2.Wait());  // it went on with its next step

  thread->Terminate();
  release2.Set();  // from here on the thread may be gone
  ASSERT_TRUE(destroyed->Wait());
  EXPECT_EQ(journal->Entries(), (Log{"BeforeLoop", "BeforeRun", "Run", "Run", "AfterRun",
                                     "Cleanup", "AfterLoop", "destroyed"}));
}

// What a peer thread does when its connection is done: it releases itself
// from its own Cleanup, marking itself to be freed and terminating.
TEST(IdThread, AThreadReleasingItselfIsFreedWhenItEnds) {
  auto journal = std::make_shared<Journal>();
  auto destroyed = std::make_shared<Signal>();
  auto* thread = new ProbeThread(journal);
  EXPECT_FALSE(thread->IsCurrentThread());
  thread->OnDestroy = [journal, destroyed] {
    journal->Add("destroyed");
    destroyed->Set();
  };
  thread->Actions["Cleanup"] = [thread, journal] {
    journal->Add(thread->IsCurrentThread() ? "on its own thread" : "on another thread");
    thread->SetFreeOnTerminate(true);
    thread->Terminate();
  };
  thread->Start();
  ASSERT_TRUE(destroyed->Wait());
  EXPECT_EQ(journal->Entries(), (Log{"BeforeLoop", "BeforeRun", "Run", "AfterRun", "Cleanup",
                                     "on its own thread", "AfterLoop", "destroyed"}));

  // Terminated before its start, it ends (and frees itself) while the Start
  // that let it go may still be returning: the Start touches nothing of it
  // once the thread exists. Repeated, so that the sanitizers see the race.
  for (int i = 0; i < 100; ++i) {
    auto journal2 = std::make_shared<Journal>();
    auto destroyed2 = std::make_shared<Signal>();
    auto* early = new ProbeThread(journal2);
    early->OnDestroy = [journal2, destroyed2] {
      journal2->Add("destroyed");
      destroyed2->Set();
    };
    early->SetFreeOnTerminate(true);
    early->Terminate();
    early->Start();
    ASSERT_TRUE(destroyed2->Wait());
    EXPECT_EQ(journal2->Entries(), Log{"destroyed"});
  }
}

TEST(IdThread, DeletingAParkedThreadEndsItAndFreesItsData) {
  Fixture f;
  f.thread->SetStopAction(saSuspend);
  f.thread->Start();
  ASSERT_TRUE(PollUntil([&] { return f.thread->IsSuspended(); }));
  f.thread->SetDataObject(std::make_unique<TrackedData>(f.journal));
  f.thread.reset();
  EXPECT_EQ(f.journal->Entries().back(), "DataObject freed");
}

}  // namespace
}  // namespace ostrevan
