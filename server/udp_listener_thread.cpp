#include "server/udp_listener_thread.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "net/stack.h"
#include "runtime/exception.h"
#include "server/udp_server.h"

namespace ostrevan {

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true),
      Binding_(ABinding),
      Server_(AServer),
      Buffer_(static_cast<size_t>(std::max(AServer->BufferSize(), 1))) {}

void TIdUDPListenerThread::Run() {
  try {
    ReceiveOne();
    return;
  } catch (const std::exception& e) {
    if (Stopped()) return;  // once stopped, a failed pass is the end
    Server_->UDPException(*this, e);
  } catch (...) {
    if (Stopped()) return;
    Server_->UDPException(*this, Exception("Unknown exception"));
  }
  // A lasting failure must not spin a core.
  TIdStack::PauseMilliseconds(kReceiveSlice);
}

void TIdUDPListenerThread::ReceiveOne() {
  if (!TIdSocketHandle::WaitHandleReadable(Binding_->Descriptor(), kReceiveSlice)) return;
  // The server shuts the socket down to end the wait once it has stopped
  // this thread; what the receive then gives is no datagram.
  if (Stopped()) return;
  std::string peerIP;
  int32_t peerPort = 0;
  // Without waiting: a datagram that the system dropped after the wait
  // (a bad checksum) must not leave the thread blocked.
  const int32_t length = Binding_->ReceiveDatagram(
      Buffer_.data(), static_cast<int32_t>(Buffer_.size()), MSG_DONTWAIT, peerIP, peerPort);
  if (GlobalStack()->CheckSocketResult(length, {EAGAIN, EINTR})) return;
  Server_->DoUDPRead(std::string(Buffer_.data(), static_cast<size_t>(length)), *Binding_, peerIP,
                     peerPort);
}

void TIdUDPListenerThread::AfterRun() {
  TIdThread::AfterRun();
  if (Binding_ != nullptr) Binding_->Close();
}

}  // namespace ostrevan
