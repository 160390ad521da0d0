// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"
#include "ostrevan/server/thread_mgr.h"

namespace ostrevan {

/// The thread manager that pools nothing: a new thread for every request,
/// disposed of on release. Thread-safety as TIdThreadMgr.
class OSTREVAN_EXPORT TIdThreadMgrDefault : public TIdThreadMgr {
 public:
  /// A manager of AOwner (none: ownerless).
  using TIdThreadMgr::TIdThreadMgr;
  ~TIdThreadMgrDefault() override { Retire(); }

  /// NewThread, listed in ActiveThreads.
  std::unique_ptr<TIdThread> AcquireThread() override;
  /// From the thread itself: marks it to free itself, requests its
  /// termination and unlists it; it never waits. From another thread: ends a
  /// running thread and waits for it (EIdThreadTerminateAndWaitFor when it
  /// frees itself; it then stays listed), frees it and unlists it.
  void ReleaseThread(TIdThread* AThread) override;
};

}  // namespace ostrevan
