// SPDX-License-Identifier: MIT
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "ostrevan/threads/thread.h"

namespace ostrevan {

class TIdIOHandlerSocket;

/// Runs the blocking connect of a timed client connect, so that the caller
/// can give up on it. Created and waited for by TIdIOHandlerSocket's
/// TimedConnect only; FailureText is read after WaitFor.
class TIdConnectThread : public TThread {
 public:
  /// The handler's Binding must hold an allocated socket with its peer set.
  explicit TIdConnectThread(TIdIOHandlerSocket& AHandler);
  /// Closes the handler if the connect still runs, so that the join that
  /// follows cannot wait for a connect the system may retry for minutes.
  ~TIdConnectThread() override;

  /// The message of what the connect raised; empty when it raised nothing.
  const std::string& FailureText() const { return FailureText_; }
  /// Waits up to AMSec for the connect to end; true when it has. A pause of
  /// the caller's poll that the end of the connect cuts short.
  bool WaitEnded(int32_t AMSec);

 protected:
  void ThreadBody() override;
  /// Ends WaitEnded, also for a thread that never ran its body.
  void DoTerminate() override;

 private:
  TIdIOHandlerSocket& Handler_;
  std::string FailureText_;
  /// Guards Ended_; EndedCond_ signals it. Nothing is taken while it is held.
  std::mutex EndedLock_;
  std::condition_variable EndedCond_;
  bool Ended_ = false;
};

}  // namespace ostrevan
