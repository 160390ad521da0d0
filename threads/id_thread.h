// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"
#include "ostrevan/threads/errors.h"
#include "ostrevan/threads/thread.h"

namespace ostrevan {

/// The layer between the platform thread and the framework's thread; it adds
/// nothing.
class OSTREVAN_EXPORT TIdBaseThread : public TThread {
 public:
  using TThread::TThread;
};

class TIdThread;

/// What Stop does to the thread: end it, or park it for reuse.
enum TIdThreadStopAction { saTerminate, saSuspend };

/// An event with only the thread.
using TIdNotifyThreadEvent = std::function<void(TIdThread* Sender)>;
/// AException is the live exception object; a non-standard exception is
/// represented by an Exception with the message "Unknown exception".
using TIdExceptionThreadEvent =
    std::function<void(TIdThread* AThread, const std::exception& AException)>;

/// The framework's worker thread: one POSIX thread running a cycle of hooks
/// (BeforeLoop; then, until terminated, BeforeRun, Run while not Stopped,
/// AfterRun, Cleanup, and NotifyStopped plus parking when stopped with
/// saSuspend; finally AfterLoop). An exception that escapes the cycle ends the
/// thread and is recorded in FinalErrorMessage and FinalErrorClass.
///
/// Owned by its creator (or by itself when FreeOnTerminate). Start, Stop,
/// Terminate, TerminateAndWaitFor, WaitFor, Stopped, the flag getters and
/// SetStopAction are safe from any thread; the hooks run on the thread
/// itself; DataObject and the events are set before Start or by the thread.
/// A descendant overrides Run and any other hook; when it may be deleted:
/// docs/threading.md. The final Cleanup of destruction is this class's own,
/// so a descendant frees what it owns per cycle in its own destructor too.
class OSTREVAN_EXPORT TIdThread : public TIdBaseThread {
 public:
  /// ACreateSuspended true (what the framework always uses): the thread is
  /// stopped until Start. False: StopFlag starts clear, and the thread runs
  /// once it is woken (TThread::CreateRunning, or Start).
  explicit TIdThread(bool ACreateSuspended = true, size_t AStackSize = 0);
  ~TIdThread() override;

  /// Lets a stopped thread run: clears StopFlag and wakes the thread when it
  /// has not begun yet (the first Start creates the POSIX thread) or is
  /// parked. A Start while the thread still finishes its current Run after a
  /// Stop with saSuspend only clears StopFlag, and the run loop goes on. On a
  /// running thread it does nothing. When the thread cannot be created it
  /// raises EThread "Thread creation error: %s" and the thread stays as it
  /// was, stopped and without a POSIX thread.
  void Start();
  /// Stops a running thread after its current Run: with saTerminate it also
  /// requests termination; with saSuspend the thread parks after AfterRun,
  /// Cleanup and NotifyStopped until the next Start. On a stopped thread it
  /// does nothing.
  void Stop();
  /// Sets StopFlag and requests termination; neither waits nor wakes.
  void Terminate() override;
  /// Terminates, wakes a suspended thread and waits for it to end. Raises
  /// EIdThreadTerminateAndWaitFor, changing nothing, when FreeOnTerminate is
  /// set: such a thread may be gone before the wait ends.
  void TerminateAndWaitFor();

  /// TerminateRequested or StopFlag or IsSuspended, read together under
  /// StateLock. Run steps and the loops inside them poll it.
  bool Stopped() const;

  /// True once Stop was called and until the thread is started again.
  bool StopFlag() const { return StopFlag_; }

  ///@{
  /// What Stop does: saTerminate (the default) or saSuspend.
  TIdThreadStopAction StopAction() const { return StopAction_; }
  void SetStopAction(TIdThreadStopAction value) { StopAction_ = value; }
  ///@}

  ///@{
  /// Owned by the thread; Cleanup deletes it after every run cycle.
  TObject* DataObject() const { return DataObject_.get(); }
  void SetDataObject(std::unique_ptr<TObject> value) { DataObject_ = std::move(value); }
  ///@}

  ///@{
  /// Message and class of the exception that ended the thread; empty and
  /// none otherwise.
  std::string FinalErrorMessage() const;
  std::optional<std::type_index> FinalErrorClass() const;
  ///@}

  /// Told of an exception that ended a run step.
  TIdExceptionThreadEvent OnThreadException;
  /// Told when the thread stopped.
  TIdNotifyThreadEvent OnThreadStopped;

 protected:
  ///@{
  /// Hooks around the run loop and each step, empty here.
  virtual void AfterRun() {}
  virtual void AfterLoop() {}
  virtual void BeforeLoop() {}
  virtual void BeforeRun() {}
  ///@}
  /// Deletes DataObject; descendants that own more per cycle call this too.
  virtual void Cleanup();
  /// Calls OnThreadException when set.
  virtual void HandleThreadException(const std::exception& AException);
  /// Calls OnThreadStopped when set.
  virtual void NotifyStopped();
  /// One step of the thread's work, called while the thread is not Stopped.
  virtual void Run() = 0;

  void ThreadBody() override;

 private:
  /// Stopped, with StateLock_ held.
  bool StoppedLocked() const;
  void RunCycle();
  void EndWithException(const std::exception& AException);

  std::unique_ptr<TObject> DataObject_;
  /// Makes the test-and-change of Start and Stop and the three reads of
  /// Stopped atomic with respect to each other (docs/threading.md).
  mutable std::mutex StateLock_;
  std::atomic<TIdThreadStopAction> StopAction_{saTerminate};
  std::atomic<bool> StopFlag_;
  /// FinalErrorMessage_ and FinalErrorClass_ are guarded by StateLock_.
  std::string FinalErrorMessage_;
  std::optional<std::type_index> FinalErrorClass_;
};

}  // namespace ostrevan
