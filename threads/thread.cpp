// SPDX-License-Identifier: MIT
#include "ostrevan/threads/thread.h"

#include <limits.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <system_error>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/operator_signals.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

std::atomic<size_t> defaultStackSize{TThread::kDefaultStackSize};

[[noreturn]] void RaiseThreadError(int code) {
  throw EThread(Format("Thread Error: %s (%d)", SysErrorMessage(code).c_str(), code));
}

size_t AtLeastStackMin(size_t size) {
  return std::max(size, static_cast<size_t>(PTHREAD_STACK_MIN));
}

// True on the threads this class starts: they block the operator's signals
// from their first instruction and never unblock them.
thread_local bool operatorSignalsBlocked = false;

int CreatePosixThread(pthread_t* handle, size_t stackSize, void* (*proc)(void*), void* arg) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = pthread_attr_setstacksize(&attr, AtLeastStackMin(stackSize));
  if (rc == 0 && operatorSignalsBlocked) {
    // A framework thread creating another (a listener its peer threads):
    // the mask the new thread inherits is already right, and two system
    // calls per connection are saved.
    rc = pthread_create(handle, &attr, proc, arg);
  } else if (rc == 0) {
    // The new thread inherits the creator's mask; block the operator's
    // signals for the creation only and give the creator its mask back.
    sigset_t blocked = OperatorSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    rc = pthread_create(handle, &attr, proc, arg);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attr);
  return rc;
}

static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == 4,
              "a futex needs the bare 32-bit word");

// A futex on the word: returns at once if it no longer holds AExpected,
// else when woken (or interrupted; the caller checks again either way).
void SleepWhileUnchanged(std::atomic<uint32_t>& AWord, uint32_t AExpected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&AWord), FUTEX_WAIT_PRIVATE, AExpected, nullptr,
          nullptr, 0);
}

// Takes the word's address only, which the system never reads for a wake.
void WakeSleeper(uint32_t* AWord) {
  syscall(SYS_futex, AWord, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

TThread::TThread(bool ACreateSuspended, size_t AStackSize)
    : CreateSuspended_(ACreateSuspended),
      StackSize_(AStackSize != 0 ? AStackSize : DefaultStackSize()) {}

TThread::~TThread() { EndThread(); }

size_t TThread::DefaultStackSize() { return defaultStackSize; }

void TThread::SetDefaultStackSize(size_t value) { defaultStackSize = AtLeastStackMin(value); }

void TThread::Terminate() { TerminateRequested_ = true; }

std::unique_lock<std::mutex> TThread::LockWait() const {
  try {
    return std::unique_lock<std::mutex>(WaitLock_);
  } catch (const std::system_error& e) {
    RaiseThreadError(e.code().value());
  }
}

void TThread::WakeThread() {
  if (BeginWake()) Launch();
}

bool TThread::BeginWake() {
  uint32_t* sleeper = nullptr;
  const bool launch = BeginWake(sleeper);
  // Woken once the lock is free, so that the thread does not wake only to
  // wait for the lock.
  FinishWake(sleeper);
  return launch;
}

bool TThread::BeginWake(uint32_t*& ASleeper) {
  ASleeper = nullptr;
  auto lock = LockWait();
  IsSuspended_ = false;
  if (!LaunchClaimed_) {
    // Cleared before the thread exists, so that it never finds itself
    // suspended; Launch sets it again if the creation fails.
    LaunchClaimed_ = true;
    return true;
  }
  WakePending_ = true;
  WakeSignal_.fetch_add(1);
  if (ParkSleeping_) ASleeper = reinterpret_cast<uint32_t*>(&WakeSignal_);
  return false;
}

void TThread::FinishWake(uint32_t* ASleeper) {
  // Nothing of the object is read here: should another wake have let the
  // thread end and its object go meanwhile, the system finds nobody asleep
  // on the word, or wakes a sleeper that checks again.
  if (ASleeper != nullptr) WakeSleeper(ASleeper);
}

void TThread::Launch() {
  // Recorded before the thread exists: once it does, it may end and free
  // the object before pthread_create has returned, so the creator touches
  // nothing of it afterwards (and the thread never waits for the creator).
  // The thread records its own handle as it begins.
  {
    auto lock = LockWait();
    Launched_ = true;
    Joinable_ = true;
  }
  // Created without the lock: the new thread may need it at once.
  pthread_t handle{};
  const int rc = CreatePosixThread(&handle, StackSize_, &TThread::ThreadProc, this);
  if (rc == 0) return;
  // No thread was made, so nobody else has seen the object since.
  auto lock = LockWait();
  Launched_ = false;
  Joinable_ = false;
  LaunchClaimed_ = false;
  IsSuspended_ = true;
  throw EThread(Format("Thread creation error: %s", SysErrorMessage(rc).c_str()));
}

bool TThread::Launched() const {
  auto lock = LockWait();
  return Launched_;
}

void TThread::ParkThread() {
  ParkThread([this] { return TerminateRequested(); });
}

void TThread::ParkThread(const std::function<bool()>& cancelled) {
  if (!IsCurrentThread()) RaiseThreadError(EPERM);
  auto lock = LockWait();
  // A wake that came while the thread was running is not meant for this
  // park; the flags tested by cancelled carry every reason to go on.
  WakePending_ = false;
  IsSuspended_ = true;
  while (!WakePending_ && !cancelled()) {
    const uint32_t seen = WakeSignal_.load();
    ParkSleeping_ = true;
    lock.unlock();
    SleepWhileUnchanged(WakeSignal_, seen);
    lock = LockWait();
    ParkSleeping_ = false;
  }
  WakePending_ = false;
  IsSuspended_ = false;
}

int32_t TThread::WaitFor() {
  if (IsCurrentThread()) RaiseThreadError(EDEADLK);
  auto lock = LockWait();
  WaitCond_.wait(lock, [this] { return Finished_.load(); });
  // Of several waiters only the first joins; the others find the thread
  // finished and its exit code stored.
  if (!Joinable_) return ExitCode_;
  Joinable_ = false;
  lock.unlock();
  void* result = nullptr;
  int rc = pthread_join(ThreadID(), &result);
  if (rc != 0) RaiseThreadError(rc);
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(result));
}

int32_t TThread::ExitCode() const {
  auto lock = LockWait();
  return ExitCode_;
}

void TThread::SetExitCode(int32_t value) {
  auto lock = LockWait();
  ExitCode_ = value;
}

std::exception_ptr TThread::FatalException() const {
  auto lock = LockWait();
  return FatalException_;
}

void TThread::DoTerminate() {
  if (OnTerminate) OnTerminate(this);
}

void TThread::EndThread() noexcept {
  try {
    {
      auto lock = LockWait();
      if (!Joinable_) return;
      if (IsCurrentThread()) {
        // Deleting itself at the end of its function: nobody will join it.
        Joinable_ = false;
        pthread_detach(ThreadID());
        return;
      }
    }
    TThread::Terminate();
    if (IsSuspended_) WakeThread();
    WaitFor();
  } catch (...) {
    // A destructor cannot report; a lock or join failing here means the
    // thread is already gone.
  }
}

void TThread::MarkFinished() {
  std::unique_lock<std::mutex> lock(WaitLock_);
  Finished_ = true;
  // Notified under the lock: a waiter that then deletes the object cannot
  // get the lock before this thread has let go of the condition variable.
  WaitCond_.notify_all();
}

void* TThread::ThreadProc(void* arg) {
  auto* self = static_cast<TThread*>(arg);
  // The creator does not record it (Launch): the join or detach at the end
  // reads what is stored here.
  self->Handle_.store(pthread_self(), std::memory_order_release);
  operatorSignalsBlocked = true;
  // A new thread inherits its creator's floating-point control; the time
  // arithmetic relies on rounding to nearest. No traps are enabled: a trap
  // would be a signal, not an exception.
  std::fesetround(FE_TONEAREST);
  std::exception_ptr fatal;
  if (!self->TerminateRequested_) {
    try {
      self->ThreadBody();
    } catch (...) {
      fatal = std::current_exception();
    }
  }
  const bool freeThread = self->FreeOnTerminate_;
  int32_t exitCode = 0;
  {
    std::lock_guard<std::mutex> lock(self->WaitLock_);
    if (fatal) self->FatalException_ = fatal;
    exitCode = self->ExitCode_;
  }
  try {
    self->DoTerminate();
  } catch (...) {
    std::lock_guard<std::mutex> lock(self->WaitLock_);
    if (!self->FatalException_) self->FatalException_ = std::current_exception();
  }
  self->MarkFinished();
  // From here on the object may be deleted by its owner: only locals remain.
  if (freeThread) delete self;
  return reinterpret_cast<void*>(static_cast<intptr_t>(exitCode));
}

}  // namespace ostrevan
