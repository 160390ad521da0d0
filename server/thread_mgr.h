// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"
#include "ostrevan/runtime/thread_list.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {

/// A class of threads: makes one thread of that class, suspended when asked.
/// An empty factory is "no class".
using TIdThreadClass = std::function<std::unique_ptr<TIdThread>(bool ACreateSuspended)>;

/// The TIdThreadClass of T.
template <class T>
TIdThreadClass ThreadClassOf() {
  return [](bool ACreateSuspended) -> std::unique_ptr<TIdThread> {
    return std::make_unique<T>(ACreateSuspended);
  };
}

/// Hands out the threads that serve connections and takes them back.
///
/// Owned by the thread that creates it; acquire and release may come from
/// any thread at once (docs/threading.md). ThreadClass and ThreadPriority are
/// set while nothing is acquired.
///
/// Threads are created with the process's default stack size,
/// TThread::DefaultStackSize() (256 KiB unless TThread::SetDefaultStackSize
/// changed it before the threads are made).
class OSTREVAN_EXPORT TIdThreadMgr : public TIdBaseComponent {
 public:
  /// A manager of AOwner (none: ownerless).
  explicit TIdThreadMgr(TComponent* AOwner);
  /// Retires the manager, unless the most derived destructor did. Threads
  /// still listed are neither stopped nor freed.
  ~TIdThreadMgr() override;

  /// A call into the manager from a thread that does not own it; destruction
  /// waits until every use has ended (docs/threading.md, retirement).
  class TUse {
   public:
    /// None gives an empty use.
    explicit TUse(TIdThreadMgr* AMgr);
    ~TUse();
    TUse(const TUse&) = delete;
    TUse& operator=(const TUse&) = delete;

    ///@{
    /// The manager in use; none when there is none.
    TIdThreadMgr* Mgr() const { return Mgr_; }
    TIdThreadMgr* operator->() const { return Mgr_; }
    ///@}

   private:
    TIdThreadMgr* Mgr_;
  };

  /// A new thread of ThreadClass, suspended and not listed, with
  /// ThreadPriority applied. Raises EIdThreadClassNotSpecified "Thread Class
  /// Not Specified." when there is no class. The POSIX thread is made by the
  /// thread's first Start, which is where a refusal of the system shows; a
  /// thread discarded unstarted (a refused connection) never costs one.
  virtual std::unique_ptr<TIdThread> NewThread();
  /// A thread ready to be given work and started by the caller; listed.
  /// The caller owns it until its Start; from then on it frees itself.
  virtual std::unique_ptr<TIdThread> AcquireThread() = 0;
  /// Takes back a thread that AcquireThread handed out.
  virtual void ReleaseThread(TIdThread* AThread) = 0;

  /// The threads handed out and not yet released.
  TThreadList<TIdThread>& ActiveThreads() { return ActiveThreads_; }

  ///@{
  /// The class of the threads the manager makes.
  const TIdThreadClass& ThreadClass() const { return ThreadClass_; }
  void SetThreadClass(TIdThreadClass value) { ThreadClass_ = std::move(value); }
  ///@}
  ///@{
  /// A POSIX nice value.
  int8_t ThreadPriority() const { return ThreadPriority_; }
  void SetThreadPriority(int8_t value) { ThreadPriority_ = value; }
  ///@}

 protected:
  /// The first step of the most derived destructor: the removal notices
  /// while the manager is whole, then the wait for the uses in progress
  /// (docs/threading.md). A descendant that overrides AcquireThread or
  /// ReleaseThread calls it first in its own destructor. Calling it again
  /// does nothing.
  void Retire();

 private:
  TThreadList<TIdThread> ActiveThreads_;
  TIdThreadClass ThreadClass_;
  std::atomic<int8_t> ThreadPriority_{0};
  /// Guards Uses_, the count of TUse objects alive; UsesEnded_ tells Retire
  /// that it fell to 0.
  std::mutex UseLock_;
  std::condition_variable UsesEnded_;
  int32_t Uses_ = 0;
};

/// Applies a nice value the way the thread manager does for each new thread:
/// to the calling thread (AThread is not used), and only when that lowers
/// its priority or the process runs as root. The nice value of a Linux
/// thread is its own, so this changes the thread that creates the threads
/// (a server's listener), not the new one; that is deliberate and kept.
OSTREVAN_EXPORT void SetThreadPriority(TIdThread* AThread, int8_t APriority);

/// True when the caller runs on AThread's POSIX thread.
OSTREVAN_EXPORT bool IsCurrentThread(const TIdThread* AThread);

}  // namespace ostrevan
