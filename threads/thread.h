#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

#include "runtime/component.h"
#include "runtime/object.h"

namespace ostrevan {

// One POSIX thread that runs ThreadBody of its object.
//
// Owned by whoever created it with new (or by itself when FreeOnTerminate is
// set). WakeThread, WaitFor, Terminate and the flag getters are safe from any
// thread; ParkThread and SetExitCode belong to the thread itself.
//
// Lifetime rules (C++ builds the base first and tears it down last):
// - The POSIX thread is created by the constructor but always waits at its
//   start gate until the first WakeThread. A base constructor cannot let a
//   body run that calls overrides of a class not yet constructed, so nothing
//   opens the gate before construction is complete. A thread "not created
//   suspended" is made with CreateRunning, which opens the gate once the
//   object is whole.
// - Destruction from another thread requests termination, wakes the thread if
//   it is suspended and joins it. Destructors of derived classes run before
//   that, so an object must not be deleted while its thread can still call
//   its overrides: delete only threads that have ended (WaitFor returned or
//   Finished seen), that were never started, or that are parked and call no
//   override on their way out. A never-started thread deleted this way runs
//   no body at all.
// - With FreeOnTerminate the thread function ends with `delete this`; such an
//   object must be created with new, and nobody may touch it once its body
//   can end. Deleting an object from inside its own body is not allowed.
class TThread : public TObject {
 public:
  static constexpr size_t kDefaultStackSize = 256 * 1024;

  // Creates the POSIX thread at once, with every process signal meant for
  // the operator (SIGINT, SIGQUIT, SIGTERM, SIGHUP) blocked in it, and with
  // a stack of AStackSize bytes (0: DefaultStackSize()). Raises EThread
  // "Thread creation error: %s" when the system refuses.
  explicit TThread(bool ACreateSuspended, size_t AStackSize = 0);
  ~TThread() override;

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Constructs a T with new and opens its start gate once it is complete:
  // the safe form of a thread that is not created suspended.
  template <class T, class... Args>
  static T* CreateRunning(Args&&... args) {
    T* thread = new T(std::forward<Args>(args)...);
    thread->WakeThread();
    return thread;
  }

  // Stack size given to threads constructed without their own. Framework
  // threads are many and shallow; a small stack keeps glibc's stack cache
  // effective, so that a thread per connection does not map and unmap a
  // stack each time. Never below PTHREAD_STACK_MIN.
  static size_t DefaultStackSize();
  static void SetDefaultStackSize(size_t value);

  // Requests termination; the body decides when to honour it. Never waits,
  // never wakes.
  virtual void Terminate();

  // The first call opens the start gate; later calls let a parked thread go
  // on. A call while the thread is neither waiting at the gate nor parked
  // has no effect. Raises EThread "Thread Error: %s (%d)" on failure.
  void WakeThread();

  // Waits until the thread has finished, joins it and returns its exit code.
  // It does not open the start gate: waiting for a never-started thread
  // blocks until someone wakes it. Waiting from the thread itself would
  // never return, so it raises EThread "Thread Error: %s (%d)" with EDEADLK
  // instead; a failed join raises the same.
  int32_t WaitFor();

  // True when the caller runs on this object's POSIX thread.
  bool IsCurrentThread() const { return pthread_equal(pthread_self(), Handle_) != 0; }
  pthread_t ThreadID() const { return Handle_; }

  bool CreatedSuspended() const { return CreateSuspended_; }
  bool TerminateRequested() const { return TerminateRequested_; }
  bool IsSuspended() const { return IsSuspended_; }
  bool Finished() const { return Finished_; }
  bool FreeOnTerminate() const { return FreeOnTerminate_; }
  void SetFreeOnTerminate(bool value) { FreeOnTerminate_ = value; }

  // The value the POSIX thread exits with; 0 unless the body sets another.
  int32_t ExitCode() const;
  // What escaped ThreadBody, or null; kept until the object is deleted.
  std::exception_ptr FatalException() const;

  // Told on the thread itself, after the body, just before Finished is set.
  TNotifyEvent OnTerminate;

 protected:
  // The thread's work; runs once, after the start gate opened, unless
  // termination was requested before.
  virtual void ThreadBody() = 0;

  // Finish notification; calls OnTerminate when set.
  virtual void DoTerminate();

  // Blocks the calling thread, which must be this one, until WakeThread or
  // until cancelled() holds; cancelled is tested under the park lock before
  // blocking and after each wake-up, so that a reason to go on that was set
  // just before the park (a flag stored before the waker read IsSuspended)
  // is never lost. It must only read atomics and call nothing virtual: the
  // owner may be running the destructors of a parked thread. Without an
  // argument, a termination request cancels the park. Raises EThread when
  // called from another thread or when the lock fails.
  void ParkThread(const std::function<bool()>& cancelled);
  void ParkThread();

  void SetExitCode(int32_t value);

  // The destructor's part, callable earlier by a derived destructor: on the
  // thread itself the POSIX thread is detached; elsewhere termination is
  // requested, the thread woken when suspended, and joined. Never raises.
  void EndThread() noexcept;

 private:
  static void* ThreadProc(void* arg);
  void WaitAtStartGate();
  void MarkFinished();
  std::unique_lock<std::mutex> LockWait() const;

  pthread_t Handle_{};
  bool CreateSuspended_;
  std::atomic<bool> TerminateRequested_{false};
  std::atomic<bool> IsSuspended_{true};
  std::atomic<bool> FreeOnTerminate_{false};
  std::atomic<bool> Finished_{false};

  // Guards GateOpen_, WakePending_, Joinable_, ExitCode_ and
  // FatalException_; WaitCond_ signals the gate, a wake and the finish.
  mutable std::mutex WaitLock_;
  std::condition_variable WaitCond_;
  bool GateOpen_ = false;
  bool WakePending_ = false;
  bool Joinable_ = false;
  int32_t ExitCode_ = 0;
  std::exception_ptr FatalException_;
};

}  // namespace ostrevan
