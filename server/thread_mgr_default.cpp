#include "server/thread_mgr_default.h"

namespace ostrevan {

TIdThread* TIdThreadMgrDefault::AcquireThread() {
  TIdThread* thread = NewThread();
  ActiveThreads().Add(thread);
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
  delete AThread;
}

}  // namespace ostrevan
