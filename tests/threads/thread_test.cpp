// SPDX-License-Identifier: MIT
#include "ostrevan/threads/thread.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfenv>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "ostrevan/runtime/format.h"
#include "tests/threads/probe_thread.h"

namespace ostrevan {
namespace {

using testing::PollUntil;
using testing::Signal;

// A platform thread whose body is a function given by the test.
class BodyThread : public TThread {
 public:
  explicit BodyThread(std::function<void(BodyThread&)> body, size_t stackSize = 0)
      : TThread(true, stackSize), Body_(std::move(body)) {}
  BodyThread(bool createSuspended, std::function<void(BodyThread&)> body)
      : TThread(createSuspended), Body_(std::move(body)) {}

  using TThread::ParkThread;
  using TThread::SetExitCode;

 protected:
  void ThreadBody() override { Body_(*this); }

 private:
  std::function<void(BodyThread&)> Body_;
};

std::string ThreadError(int code) {
  return Format("Thread Error: %s (%d)", std::strerror(code), code);
}

TEST(Thread, ExitCodeFatalExceptionAndFinishNotice) {
  bool noticeOnOwnThread = false;
  BodyThread thread([](BodyThread& self) {
    self.SetExitCode(7);
    throw std::runtime_error("body failed");
  });
  thread.OnTerminate = [&](TObject* sender) {
    noticeOnOwnThread = sender == &thread && thread.IsCurrentThread();
  };
  thread.WakeThread();
  EXPECT_EQ(thread.WaitFor(), 7);
  EXPECT_EQ(thread.WaitFor(), 7);  // already joined: the stored code
  EXPECT_EQ(thread.ExitCode(), 7);
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(noticeOnOwnThread);
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::runtime_error);

  // Deleted once finished but never waited for: the destructor joins it.
  auto* unjoined = new BodyThread([](BodyThread&) {});
  unjoined->WakeThread();
  ASSERT_TRUE(PollUntil([&] { return unjoined->Finished(); }));
  delete unjoined;
}

TEST(Thread, WaitForFromTheThreadItselfRaisesInsteadOfHanging) {
  std::string message;
  BodyThread thread([&](BodyThread& self) {
    try {
      self.WaitFor();
    } catch (const EThread& e) {
      message = e.Message();
    }
  });
  thread.WakeThread();
  thread.WaitFor();
  EXPECT_EQ(message, ThreadError(EDEADLK));
}

TEST(Thread, AWakeWhileRunningDoesNotCancelALaterPark) {
  Signal running, goPark;
  bool parkedFromElsewhere = false;
  BodyThread thread([&](BodyThread& self) {
    running.Set();
    goPark.Wait();
    self.ParkThread();
  });
  try {
    thread.ParkThread();  // only the thread itself may park
  } catch (const EThread& e) {
    parkedFromElsewhere = e.Message() == ThreadError(EPERM);
  }
  EXPECT_TRUE(parkedFromElsewhere);

  thread.WakeThread();  // opens the gate
  ASSERT_TRUE(running.Wait());
  thread.WakeThread();  // the thread runs: no effect
  goPark.Set();
  ASSERT_TRUE(PollUntil([&] { return thread.IsSuspended(); }));
  EXPECT_FALSE(thread.Finished());
  thread.WakeThread();
  thread.WaitFor();
  EXPECT_FALSE(thread.IsSuspended());
}

// The waker stores its reason to go on and finds the thread not yet
// suspended, so it does not wake it; the park must see the reason and not
// block.
TEST(Thread, AReasonToGoOnStoredBeforeTheParkIsNotLost) {
  Signal goPark;
  std::atomic<bool> goOn{false};
  BodyThread thread([&](BodyThread& self) {
    goPark.Wait();
    self.ParkThread([&] { return goOn.load(); });
  });
  thread.WakeThread();
  goOn = true;
  goPark.Set();
  bool ended = PollUntil([&] { return thread.Finished(); });
  EXPECT_TRUE(ended) << "the park blocked although its reason to go on was set";
  if (!ended) thread.WakeThread();
  thread.WaitFor();
}

TEST(Thread, CreateRunningStartsTheBodyOnceConstructed) {
  bool ran = false;
  auto* thread = TThread::CreateRunning<BodyThread>(false, [&](BodyThread&) { ran = true; });
  EXPECT_FALSE(thread->CreatedSuspended());
  thread->WaitFor();
  EXPECT_TRUE(ran);
  delete thread;
}

struct Environment {
  bool isCurrent = false;
  bool operatorSignalsBlocked = false;
  int rounding = -1;
  size_t stackSize = 0;
};

Environment ObserveEnvironment(size_t stackSize) {
  Environment seen;
  BodyThread thread(
      [&](BodyThread& self) {
        seen.isCurrent = self.IsCurrentThread();
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        seen.operatorSignalsBlocked = sigismember(&mask, SIGINT) && sigismember(&mask, SIGQUIT) &&
                                      sigismember(&mask, SIGTERM) && sigismember(&mask, SIGHUP);
        seen.rounding = std::fegetround();
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
          pthread_attr_getstacksize(&attr, &seen.stackSize);
          pthread_attr_destroy(&attr);
        }
      },
      stackSize);
  EXPECT_FALSE(thread.IsCurrentThread());
  thread.WakeThread();
  thread.WaitFor();
  return seen;
}

TEST(Thread, FrameworkThreadsBlockOperatorSignalsAndUseTheirStackSize) {
  sigset_t before, after;
  pthread_sigmask(SIG_BLOCK, nullptr, &before);
  Environment seen = ObserveEnvironment(0);
  pthread_sigmask(SIG_BLOCK, nullptr, &after);
  EXPECT_TRUE(seen.isCurrent);
  EXPECT_TRUE(seen.operatorSignalsBlocked);
  EXPECT_EQ(sigismember(&after, SIGINT), sigismember(&before, SIGINT));  // creator's mask back
  EXPECT_EQ(sigismember(&after, SIGTERM), sigismember(&before, SIGTERM));
  EXPECT_EQ(seen.rounding, FE_TONEAREST);
  // A thread made by a framework thread (a listener's peer thread) too.
  Environment nested;
  BodyThread outer([&](BodyThread&) { nested = ObserveEnvironment(0); });
  outer.WakeThread();
  outer.WaitFor();
  EXPECT_TRUE(nested.operatorSignalsBlocked);

  // glibc may hand a thread a cached stack of up to four times the size it
  // asked for, and the sanitizers raise small stacks to hold their own
  // thread data; without the setting a thread gets glibc's 8 MiB default.
  auto expectStack = [](size_t stack, size_t requested) {
    EXPECT_GE(stack, requested);
    EXPECT_LE(stack, std::max<size_t>(4 * requested, 2 * 1024 * 1024));
  };
  EXPECT_EQ(TThread::DefaultStackSize(), 256u * 1024);
  expectStack(seen.stackSize, 256 * 1024);
  expectStack(ObserveEnvironment(1024 * 1024).stackSize, 1024 * 1024);  // per thread
  TThread::SetDefaultStackSize(128 * 1024);
  expectStack(ObserveEnvironment(0).stackSize, 128 * 1024);

  TThread::SetDefaultStackSize(1);
  EXPECT_EQ(TThread::DefaultStackSize(), static_cast<size_t>(PTHREAD_STACK_MIN));
  TThread::SetDefaultStackSize(TThread::kDefaultStackSize);
}

// The POSIX thread is created by the first wake, so that is where a refusal
// shows; the object is left as it was, without a thread, and goes quietly.
TEST(Thread, CreationFailureIsRaisedByTheFirstWake) {
  bool ran = false;
  BodyThread impossible([&](BodyThread&) { ran = true; }, testing::kImpossibleStackSize);
  EXPECT_FALSE(impossible.Launched());
  EXPECT_TRUE(pthread_equal(impossible.ThreadID(), pthread_t{}));
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    try {
      impossible.WakeThread();
      ADD_FAILURE() << "a thread with a stack no system grants was created";
    } catch (const EThread& e) {
      EXPECT_EQ(e.Message().rfind("Thread creation error: ", 0), 0u) << e.Message();
      EXPECT_GT(e.Message().size(), std::strlen("Thread creation error: "));
    }
    EXPECT_TRUE(impossible.IsSuspended());
    EXPECT_FALSE(impossible.Launched());
    EXPECT_FALSE(impossible.Finished());
  }
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace ostrevan
