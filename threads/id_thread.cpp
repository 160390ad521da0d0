// SPDX-License-Identifier: MIT
#include "ostrevan/threads/id_thread.h"

#include <typeinfo>

#include "ostrevan/runtime/exception.h"

namespace ostrevan {

TIdThread::TIdThread(bool ACreateSuspended, size_t AStackSize)
    : TIdBaseThread(ACreateSuspended, AStackSize), StopFlag_(ACreateSuspended) {}

TIdThread::~TIdThread() {
  // Cleared first so that the thread cannot free itself while it is being
  // destroyed here.
  SetFreeOnTerminate(false);
  Terminate();
  // The wait must happen before any member of this class goes: a thread
  // woken here still reads StopFlag and runs AfterLoop.
  EndThread();
  // A self-freeing thread can reach this point while the Start that woke it
  // from its park is still releasing StateLock_; the lock must be free
  // before it goes. (A first Start lets go of the lock before it creates
  // the thread, and touches nothing of it once the thread exists.)
  { std::lock_guard<std::mutex> lock(StateLock_); }
  TIdThread::Cleanup();
}

void TIdThread::Start() {
  uint32_t* sleeper = nullptr;
  bool launch = false;
  {
    std::lock_guard<std::mutex> lock(StateLock_);
    if (!StoppedLocked()) return;
    StopFlag_ = false;
    if (!IsSuspended()) return;
    launch = BeginWake(sleeper);
  }
  // A parked thread is woken outside StateLock_: the first thing it does is
  // ask Stopped, which would otherwise wait for this call to give the lock
  // up, at the cost of a second sleep and wake-up.
  if (!launch) {
    FinishWake(sleeper);
    return;
  }
  // The first start creates the thread, outside StateLock_: the new thread
  // asks Stopped at once, and would otherwise wait for this call to return.
  // Its flags already say running, so a Stop from elsewhere is not lost.
  try {
    Launch();
  } catch (...) {
    std::lock_guard<std::mutex> lock(StateLock_);
    StopFlag_ = true;
    throw;
  }
}

void TIdThread::Stop() {
  std::lock_guard<std::mutex> lock(StateLock_);
  if (StoppedLocked()) return;
  if (StopAction_ == saTerminate) Terminate();
  StopFlag_ = true;
}

void TIdThread::Terminate() {
  StopFlag_ = true;
  TIdBaseThread::Terminate();
}

void TIdThread::TerminateAndWaitFor() {
  if (FreeOnTerminate()) throw EIdThreadTerminateAndWaitFor();
  Terminate();
  if (IsSuspended()) WakeThread();
  WaitFor();
}

bool TIdThread::Stopped() const {
  std::lock_guard<std::mutex> lock(StateLock_);
  return StoppedLocked();
}

bool TIdThread::StoppedLocked() const { return TerminateRequested() || StopFlag_ || IsSuspended(); }

std::string TIdThread::FinalErrorMessage() const {
  std::lock_guard<std::mutex> lock(StateLock_);
  return FinalErrorMessage_;
}

std::optional<std::type_index> TIdThread::FinalErrorClass() const {
  std::lock_guard<std::mutex> lock(StateLock_);
  return FinalErrorClass_;
}

void TIdThread::Cleanup() { DataObject_.reset(); }

void TIdThread::HandleThreadException(const std::exception& AException) {
  if (OnThreadException) OnThreadException(this, AException);
}

void TIdThread::NotifyStopped() {
  if (OnThreadStopped) OnThreadStopped(this);
}

// One run cycle. The nesting gives each hook its "also when" rule: AfterRun
// follows Run even when a step raised, but not a failed BeforeRun; Cleanup
// follows whatever happened from BeforeRun on.
void TIdThread::RunCycle() {
  try {
    BeforeRun();
    try {
      while (!Stopped()) Run();
    } catch (...) {
      AfterRun();
      throw;
    }
    AfterRun();
  } catch (...) {
    Cleanup();
    throw;
  }
  Cleanup();
}

void TIdThread::ThreadBody() {
  try {
    try {
      BeforeLoop();
      while (!TerminateRequested()) {
        if (Stopped()) {
          NotifyStopped();
          if (Stopped()) {
            if (TerminateRequested()) break;
            // A Start that cleared StopFlag just before the park, or a
            // termination request, lets the thread go on at once.
            ParkThread([this] { return TerminateRequested() || !StopFlag_; });
            if (TerminateRequested()) break;
          }
        }
        RunCycle();
      }
    } catch (...) {
      AfterLoop();
      throw;
    }
    AfterLoop();
  } catch (const Exception& e) {
    EndWithException(e);
  } catch (const std::exception& e) {
    EndWithException(e);
  } catch (...) {
    EndWithException(Exception("Unknown exception"));
  }
}

void TIdThread::EndWithException(const std::exception& AException) {
  {
    std::lock_guard<std::mutex> lock(StateLock_);
    FinalErrorClass_ = std::type_index(typeid(AException));
    FinalErrorMessage_ = AException.what();
  }
  try {
    HandleThreadException(AException);
  } catch (...) {
    // A handler that raises still ends the thread; what it raised becomes
    // the platform thread's fatal exception.
    Terminate();
    throw;
  }
  Terminate();
}

}  // namespace ostrevan
