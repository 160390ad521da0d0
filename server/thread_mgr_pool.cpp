// SPDX-License-Identifier: MIT
#include "ostrevan/server/thread_mgr_pool.h"

#include <exception>
#include <iterator>
#include <utility>


namespace ostrevan {

TIdThreadMgrPool::~TIdThreadMgrPool() {
  // The servers using the pool stop their peer threads first; those that
  // release themselves into it may still be added to the idle list.
  Retire();
  std::vector<std::unique_ptr<TIdThread>> idle;
  {
    std::lock_guard<std::mutex> lock(IdleLock_);
    idle.swap(Idle_);
  }
  EndIdle(std::move(idle));
}

std::unique_ptr<TIdThread> TIdThreadMgrPool::AcquireThread() {
  std::unique_ptr<TIdThread> thread = TakeParked();
  if (thread == nullptr) {
    thread = NewThread();
    thread->SetStopAction(saSuspend);
  }
  ActiveThreads().Add(thread.get());
  return thread;
}

std::unique_ptr<TIdThread> TIdThreadMgrPool::TakeParked() {
  std::lock_guard<std::mutex> lock(IdleLock_);
  // From the back: the thread parked last is the one whose stack is still
  // warm. One released a moment ago may still be cleaning up; it is passed
  // over until it is parked.
  for (auto it = Idle_.rbegin(); it != Idle_.rend(); ++it) {
    if ((*it)->IsSuspended()) {
      std::unique_ptr<TIdThread> thread = std::move(*it);
      Idle_.erase(std::next(it).base());
      return thread;
    }
  }
  return nullptr;
}

void TIdThreadMgrPool::ReleaseThread(TIdThread* AThread) {
  // A thread released from its cleanup goes on to park unless it is
  // terminating, freeing itself, or its cycle is ending in an exception
  // (which ends the thread).
  const bool willPark = IsCurrentThread(AThread) && AThread->StopAction() == saSuspend &&
                        !AThread->TerminateRequested() && !AThread->FreeOnTerminate() &&
                        std::current_exception() == nullptr;
  if (willPark && Keep(AThread)) {
    ActiveThreads().Remove(AThread);
    return;
  }
  if (IsCurrentThread(AThread)) {
    AThread->SetFreeOnTerminate(true);
    AThread->Terminate();
    ActiveThreads().Remove(AThread);
    return;
  }
  if (!AThread->IsSuspended() || AThread->Launched()) AThread->TerminateAndWaitFor();
  ActiveThreads().Remove(AThread);
  // A thread released from another thread comes back unstarted or ended:
  // the manager that made it frees it, as with the default manager.
  delete AThread;
}

bool TIdThreadMgrPool::Keep(TIdThread* AThread) {
  std::lock_guard<std::mutex> lock(IdleLock_);
  if (static_cast<int32_t>(Idle_.size()) >= PoolSize_) return false;
  // Started, the thread was nobody's; kept, it is the pool's again.
  Idle_.emplace_back(AThread);
  return true;
}

int32_t TIdThreadMgrPool::PoolSize() const {
  std::lock_guard<std::mutex> lock(IdleLock_);
  return PoolSize_;
}

void TIdThreadMgrPool::SetPoolSize(int32_t value) {
  std::vector<std::unique_ptr<TIdThread>> extra;
  {
    std::lock_guard<std::mutex> lock(IdleLock_);
    PoolSize_ = value < 0 ? 0 : value;
    while (static_cast<int32_t>(Idle_.size()) > PoolSize_) {
      extra.push_back(std::move(Idle_.front()));
      Idle_.erase(Idle_.begin());
    }
  }
  EndIdle(std::move(extra));
}

int32_t TIdThreadMgrPool::IdleCount() const {
  std::lock_guard<std::mutex> lock(IdleLock_);
  return static_cast<int32_t>(Idle_.size());
}

void TIdThreadMgrPool::EndIdle(std::vector<std::unique_ptr<TIdThread>> AThreads) {
  // Woken and joined first, so that the thread's own hooks run on its way
  // out while its object is whole.
  for (std::unique_ptr<TIdThread>& thread : AThreads) {
    thread->TerminateAndWaitFor();
    thread.reset();
  }
}

}  // namespace ostrevan
