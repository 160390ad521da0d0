// SPDX-License-Identifier: MIT
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "ostrevan/export.h"
#include "ostrevan/runtime/component.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

/// One POSIX thread that runs ThreadBody of its object.
///
/// Owned by whoever created it with new (or by itself when FreeOnTerminate is
/// set). WakeThread, WaitFor, Terminate and the flag getters are safe from any
/// thread; ParkThread and SetExitCode belong to the thread itself.
///
/// Lifetime rules (C++ builds the base first and tears it down last):
/// - The POSIX thread is created by the first WakeThread, not by the
///   constructor: a base constructor cannot let a body run that calls
///   overrides of a class not yet constructed, and a thread that begins only
///   when it is meant to run never has to wait for that moment (one wait and
///   one wake-up fewer per thread), while an object that is never started
///   costs no thread at all. A thread "not created suspended" is made with
///   CreateRunning, which wakes it once the object is whole. A creation
///   failure is therefore reported by that first WakeThread.
/// - Before the first WakeThread there is no POSIX thread: ThreadID is the
///   zero handle, IsCurrentThread is false, and WaitFor blocks until someone
///   wakes the thread and it has ended.
/// - Destruction and FreeOnTerminate: docs/threading.md (who deletes what).
class OSTREVAN_EXPORT TThread : public TObject {
 public:
  /// The stack size new threads get unless SetDefaultStackSize changed it.
  static constexpr size_t kDefaultStackSize = 256 * 1024;

  /// Prepares a thread that begins with the first WakeThread, with every
  /// process signal meant for the operator (SIGINT, SIGQUIT, SIGTERM,
  /// SIGHUP) blocked in it, and with a stack of AStackSize bytes (0:
  /// DefaultStackSize() as it is now).
  explicit TThread(bool ACreateSuspended, size_t AStackSize = 0);
  ~TThread() override;

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  /// Constructs a T with new and wakes it once it is complete: the safe form
  /// of a thread that is not created suspended.
  /// Raises what WakeThread raises, and then nothing is left behind.
  template <class T, class... Args>
  static T* CreateRunning(Args&&... args) {
    std::unique_ptr<T> thread(new T(std::forward<Args>(args)...));
    thread->WakeThread();
    return thread.release();
  }

  ///@{
  /// Stack size given to threads constructed without their own. Framework
  /// threads are many and shallow; a small stack keeps glibc's stack cache
  /// effective, so that a thread per connection does not map and unmap a
  /// stack each time. Never below PTHREAD_STACK_MIN.
  static size_t DefaultStackSize();
  static void SetDefaultStackSize(size_t value);
  ///@}

  /// Requests termination; the body decides when to honour it. Never waits,
  /// never wakes.
  virtual void Terminate();

  /// The first call creates the POSIX thread, which then runs; it raises
  /// EThread "Thread creation error: %s" when the system refuses, and leaves
  /// the object as it was (suspended, without a thread), so that it can be
  /// deleted or woken again. Later calls let a parked thread go on; a call
  /// while the thread is running has no effect. Raises EThread "Thread
  /// Error: %s (%d)" when its lock fails.
  void WakeThread();

  /// Waits until the thread has finished, joins it and returns its exit code.
  /// It does not start the thread: waiting for a never-started thread blocks
  /// until someone wakes it. Waiting from the thread itself would never
  /// return, so it raises EThread "Thread Error: %s (%d)" with EDEADLK
  /// instead; a failed join raises the same.
  int32_t WaitFor();

  /// True when the caller runs on this object's POSIX thread; false for
  /// everyone before the thread has been created.
  bool IsCurrentThread() const { return pthread_equal(pthread_self(), ThreadID()) != 0; }
  /// The POSIX thread's handle; the zero handle until the thread has begun
  /// (shortly after the first WakeThread).
  pthread_t ThreadID() const { return Handle_.load(std::memory_order_acquire); }
  /// Whether the POSIX thread has been created (a WakeThread succeeded).
  bool Launched() const;

  /// True when the thread was made suspended.
  bool CreatedSuspended() const { return CreateSuspended_; }
  /// True once Terminate was called.
  bool TerminateRequested() const { return TerminateRequested_; }
  /// True while the thread is suspended or parked.
  bool IsSuspended() const { return IsSuspended_; }
  /// True once Execute has returned.
  bool Finished() const { return Finished_; }
  ///@{
  /// Whether the thread deletes itself when its body ends.
  bool FreeOnTerminate() const { return FreeOnTerminate_; }
  void SetFreeOnTerminate(bool value) { FreeOnTerminate_ = value; }
  ///@}

  /// The value the POSIX thread exits with; 0 unless the body sets another.
  int32_t ExitCode() const;
  /// What escaped ThreadBody, or null; kept until the object is deleted.
  std::exception_ptr FatalException() const;

  /// Told on the thread itself, after the body, just before Finished is set.
  TNotifyEvent OnTerminate;

 protected:
  /// The thread's work; runs once, when the first wake has created the
  /// thread, unless termination was requested before.
  virtual void ThreadBody() = 0;

  /// Finish notification; calls OnTerminate when set.
  virtual void DoTerminate();

  ///@{
  /// Blocks the calling thread, which must be this one, until WakeThread or
  /// until cancelled() holds; cancelled is tested under the park lock before
  /// blocking and after each wake-up, so that a reason to go on that was set
  /// just before the park (a flag stored before the waker read IsSuspended)
  /// is never lost. It must only read atomics and call nothing virtual: the
  /// owner may be running the destructors of a parked thread. Without an
  /// argument, a termination request cancels the park. Raises EThread when
  /// called from another thread or when the lock fails.
  void ParkThread(const std::function<bool()>& cancelled);
  void ParkThread();
  ///@}

  /// Sets the exit code WaitFor returns.
  void SetExitCode(int32_t value);

  ///@{
  /// WakeThread in two halves, for a caller that decides under a lock of its
  /// own whether the thread is to go on, but must not hold that lock while
  /// the thread is created (the new thread would at once wait for it).
  /// BeginWake does all of WakeThread to a thread that exists and returns
  /// false; before the first launch it marks the thread as no longer
  /// suspended and returns true, and the caller must then call Launch,
  /// outside its lock. Launch creates the POSIX thread; on failure it makes
  /// the thread suspended again and raises EThread "Thread creation error:
  /// %s".
  bool BeginWake();
  // BeginWake for a caller that holds a lock of its own which the woken
  // thread takes at once (TIdThread's StateLock): the system call that
  // wakes a parked thread is left to FinishWake, after that lock is given
  // up, so that the thread does not wake only to wait for it. ASleeper is
  // set to the word to wake, or null when nobody sleeps on it.
  bool BeginWake(uint32_t*& ASleeper);
  // Wakes the sleeper that BeginWake left; null does nothing. Reads nothing
  // of the object, which may be gone by then.
  static void FinishWake(uint32_t* ASleeper);
  void Launch();
  ///@}

  /// The destructor's part, callable earlier by a derived destructor: on the
  /// thread itself the POSIX thread is detached; elsewhere termination is
  /// requested, the thread woken when suspended, and joined. Never raises.
  void EndThread() noexcept;

 private:
  static void* ThreadProc(void* arg);
  void MarkFinished();
  std::unique_lock<std::mutex> LockWait() const;

  /// Stored by the new thread itself as it begins; the creator must not
  /// touch the object once the thread exists (see Launch).
  std::atomic<pthread_t> Handle_{};
  bool CreateSuspended_;
  size_t StackSize_;
  std::atomic<bool> TerminateRequested_{false};
  std::atomic<bool> IsSuspended_{true};
  std::atomic<bool> FreeOnTerminate_{false};
  std::atomic<bool> Finished_{false};

  /// Guards LaunchClaimed_, Launched_, WakePending_, ParkSleeping_,
  /// Joinable_, ExitCode_ and FatalException_; WaitCond_ signals the finish.
  /// The innermost lock: taken under TIdThread's StateLock, and nothing is
  /// taken while it is held.
  mutable std::mutex WaitLock_;
  std::condition_variable WaitCond_;
  /// A park sleeps on this word, without the lock, until a wake changes it.
  /// A condition variable would do the same, but its waiter takes the lock
  /// back marked as contended, so that every wake-up from a park costs a
  /// second system call when the lock is given up again.
  std::atomic<uint32_t> WakeSignal_{0};
  /// The parked thread is between giving up the lock and taking it back:
  /// a wake must reach it through the system.
  bool ParkSleeping_ = false;
  /// Set by the first wake; cleared again only when the creation failed.
  bool LaunchClaimed_ = false;
  bool Launched_ = false;
  bool WakePending_ = false;
  bool Joinable_ = false;
  int32_t ExitCode_ = 0;
  std::exception_ptr FatalException_;
};

}  // namespace ostrevan
