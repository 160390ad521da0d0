// SPDX-License-Identifier: MIT
#include "ostrevan/server/thread_mgr_default.h"

namespace ostrevan {

std::unique_ptr<TIdThread> TIdThreadMgrDefault::AcquireThread() {
  std::unique_ptr<TIdThread> thread = NewThread();
  ActiveThreads().Add(thread.get());
  return thread;
}

void TIdThreadMgrDefault::ReleaseThread(TIdThread* AThread) {
  if (IsCurrentThread(AThread)) {
    AThread->SetFreeOnTerminate(true);
    AThread->Terminate();
    ActiveThreads().Remove(AThread);
    return;
  }
  if (!AThread->IsSuspended()) AThread->TerminateAndWaitFor();
  // Unlisted before the object goes, so that nobody finds it listed while
  // it is being freed.
  ActiveThreads().Remove(AThread);
  // A thread released from another thread comes back unstarted or ended:
  // the manager that made it frees it, as its contract says.
  delete AThread;
}

}  // namespace ostrevan
