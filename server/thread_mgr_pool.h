// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/server/thread_mgr.h"

namespace ostrevan {

/// A thread manager that keeps released threads parked for the next request
/// instead of ending them: a connection then costs a wake-up rather than a
/// thread's creation and exit. Up to PoolSize idle threads are kept; a thread
/// released beyond that ends as with TIdThreadMgrDefault.
///
/// Its threads stop with saSuspend: when a connection ends, the thread's run
/// cycle ends (its cleanup frees the connection) and the thread parks until
/// the next Start. A released thread is handed out again only once it is
/// parked, so nothing of its last connection is left when it is reused.
/// Thread-safety as TIdThreadMgr; the idle list has a lock of its own, held
/// only to take a thread from it or put one in.
class OSTREVAN_EXPORT TIdThreadMgrPool : public TIdThreadMgr {
 public:
  /// The PoolSize a new pool starts with.
  static constexpr int32_t kDefaultPoolSize = 32;

  /// A manager of AOwner (none: ownerless).
  using TIdThreadMgr::TIdThreadMgr;
  /// Retires the manager, then stops and frees its idle threads. Threads
  /// still handed out are left as TIdThreadMgrDefault leaves them.
  ~TIdThreadMgrPool() override;

  /// A parked idle thread when there is one, else NewThread with StopAction
  /// saSuspend; listed in ActiveThreads.
  std::unique_ptr<TIdThread> AcquireThread() override;
  /// From the thread itself, when the thread goes on to park (neither
  /// terminating nor failing nor freeing itself) and the pool has room:
  /// unlists it and keeps it; it never waits. Otherwise as
  /// TIdThreadMgrDefault::ReleaseThread.
  void ReleaseThread(TIdThread* AThread) override;

  ///@{
  /// The most idle threads kept. Lowering it stops and frees the idle
  /// threads above the new size before it returns.
  int32_t PoolSize() const;
  void SetPoolSize(int32_t value);
  ///@}
  /// Idle threads kept now, parked or on their way to park.
  int32_t IdleCount() const;

 private:
  /// Takes a parked thread out of the idle list, or returns null.
  std::unique_ptr<TIdThread> TakeParked();
  /// Puts AThread into the idle list when there is room.
  bool Keep(TIdThread* AThread);
  static void EndIdle(std::vector<std::unique_ptr<TIdThread>> AThreads);

  mutable std::mutex IdleLock_;
  std::vector<std::unique_ptr<TIdThread>> Idle_;
  int32_t PoolSize_ = kDefaultPoolSize;
};

}  // namespace ostrevan
