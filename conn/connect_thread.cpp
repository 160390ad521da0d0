// SPDX-License-Identifier: MIT
#include "ostrevan/conn/connect_thread.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <typeinfo>

#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"

namespace ostrevan {

TIdConnectThread::TIdConnectThread(TIdIOHandlerSocket& AHandler)
    : TThread(true), Handler_(AHandler) {}

TIdConnectThread::~TIdConnectThread() {
  if (!Finished()) Handler_.Close();
  EndThread();
}

bool TIdConnectThread::WaitEnded(int32_t AMSec) {
  std::unique_lock<std::mutex> lock(EndedLock_);
  return EndedCond_.wait_for(lock, std::chrono::milliseconds(AMSec < 0 ? 0 : AMSec),
                             [this] { return Ended_; });
}

void TIdConnectThread::ThreadBody() {
  try {
    TIdIOHandlerSocket::TBindingUse use(Handler_);
    if (!use.Acquired()) throw EIdClosedSocket();
    // EBADF and ENOTSOCK: the socket was closed under the connect, which is
    // how the caller gives up; that is no failure of the connect itself.
    TIdSocketHandle& binding = *Handler_.Binding();
    GlobalStack()->CheckSocketResult(binding.ConnectToPeer(FamilyOf(binding.IPVersion())),
                                     {EBADF, ENOTSOCK});
  } catch (const std::exception& e) {
    FailureText_ = e.what();
    if (FailureText_.empty()) FailureText_ = ClassNameOf(typeid(e));
  } catch (...) {
    FailureText_ = "Unknown exception";
  }
  Terminate();
}

void TIdConnectThread::DoTerminate() {
  // Here rather than at the end of the body: a thread whose termination
  // was asked for before it began skips its body, and must end the wait
  // all the same.
  {
    std::lock_guard<std::mutex> guard(EndedLock_);
    Ended_ = true;
  }
  EndedCond_.notify_all();
  TThread::DoTerminate();
}

}  // namespace ostrevan
