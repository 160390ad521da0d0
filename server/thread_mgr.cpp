// SPDX-License-Identifier: MIT
#include "ostrevan/server/thread_mgr.h"

#include <sys/resource.h>
#include <unistd.h>

#include <memory>

#include "ostrevan/server/errors.h"

namespace ostrevan {

TIdThreadMgr::TIdThreadMgr(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

TIdThreadMgr::~TIdThreadMgr() { Retire(); }

TIdThreadMgr::TUse::TUse(TIdThreadMgr* AMgr) : Mgr_(AMgr) {
  if (Mgr_ == nullptr) return;
  std::lock_guard<std::mutex> lock(Mgr_->UseLock_);
  ++Mgr_->Uses_;
}

TIdThreadMgr::TUse::~TUse() {
  if (Mgr_ == nullptr) return;
  std::lock_guard<std::mutex> lock(Mgr_->UseLock_);
  // Under the lock: once Retire sees the count at 0 the manager may go.
  if (--Mgr_->Uses_ == 0) Mgr_->UsesEnded_.notify_all();
}

void TIdThreadMgr::Retire() {
  NotifyRemoval();
  std::unique_lock<std::mutex> lock(UseLock_);
  UsesEnded_.wait(lock, [this] { return Uses_ == 0; });
}

std::unique_ptr<TIdThread> TIdThreadMgr::NewThread() {
  if (!ThreadClass_) throw EIdThreadClassNotSpecified();
  std::unique_ptr<TIdThread> thread = ThreadClass_(true);
  ostrevan::SetThreadPriority(thread.get(), ThreadPriority_);
  return thread;
}

void SetThreadPriority(TIdThread* /*AThread*/, int8_t APriority) {
  const int current = getpriority(PRIO_PROCESS, 0);
  // Setting the value the thread already has would change nothing; not
  // asking saves two system calls per connection.
  if (current == APriority) return;
  if (current < APriority || geteuid() == 0) {
    (void)setpriority(PRIO_PROCESS, 0, APriority);
  }
}

bool IsCurrentThread(const TIdThread* AThread) { return AThread->IsCurrentThread(); }

}  // namespace ostrevan
