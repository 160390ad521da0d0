// SPDX-License-Identifier: MIT
#include "ostrevan/server/udp_listener_thread.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/exception.h"
#include "ostrevan/server/udp_server.h"

namespace ostrevan {

TIdUDPListenerThread::TIdUDPListenerThread(TIdUDPServer* AServer, TIdSocketHandle* ABinding)
    : TIdThread(true),
      Binding_(ABinding),
      Server_(AServer),
      Buffer_(static_cast<size_t>(std::max(AServer->BufferSize(), 1))) {}

void TIdUDPListenerThread::Run() {
  TDatagram datagram;
  try {
    if (!ReceiveOne(datagram)) return;
  } catch (...) {
    if (!Stopped()) TIdUDPServerCounters::Count(Server_->Counters().Failed);
    ReportFailure();
    // A receive that keeps failing must not spin a core.
    if (!Stopped()) TIdStack::PauseMilliseconds(kReceiveSlice);
    return;
  }
  TIdUDPServerCounters::Count(Server_->Counters().Received);
  if (Server_->DropsAsLoop(*Binding_, datagram.PeerPort)) return;
  try {
    Server_->DoUDPRead(datagram.Data, *Binding_, datagram.PeerIP, datagram.PeerPort);
  } catch (...) {
    // The answer to one peer failed (a peer that cannot be reached, a
    // handler that refused the datagram): that peer loses its answer, and
    // the datagrams of the others are not kept waiting.
    TIdUDPServerCounters::Count(Server_->Counters().Failed);
    ReportFailure();
  }
}

bool TIdUDPListenerThread::ReceiveOne(TDatagram& ADatagram) {
  if (!TIdSocketHandle::WaitHandleReadable(Binding_->Descriptor(), kReceiveSlice)) return false;
  // The server shuts the socket down to end the wait once it has stopped
  // this thread; what the receive then gives is no datagram.
  if (Stopped()) return false;
  // Without waiting: a datagram that the system dropped after the wait
  // (a bad checksum) must not leave the thread blocked.
  const int32_t length =
      Binding_->ReceiveDatagram(Buffer_.data(), static_cast<int32_t>(Buffer_.size()), MSG_DONTWAIT,
                                ADatagram.PeerIP, ADatagram.PeerPort);
  if (GlobalStack()->CheckSocketResult(length, {EAGAIN, EINTR})) return false;
  ADatagram.Data.assign(Buffer_.data(), static_cast<size_t>(length));
  return true;
}

void TIdUDPListenerThread::ReportFailure() {
  // Once stopped, a failure is the end of the pass and nothing to report.
  if (Stopped()) return;
  try {
    throw;
  } catch (const std::exception& e) {
    Server_->UDPException(*this, e);
  } catch (...) {
    Server_->UDPException(*this, Exception("Unknown exception"));
  }
}

void TIdUDPListenerThread::AfterRun() {
  TIdThread::AfterRun();
  if (Binding_ != nullptr) Binding_->Close();
}

}  // namespace ostrevan
