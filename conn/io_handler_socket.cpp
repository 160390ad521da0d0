#include "conn/io_handler_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "client/socks_info.h"
#include "conn/connect_thread.h"
#include "net/errors.h"
#include "net/stack.h"

namespace ostrevan {

namespace {

// The step of a timed connect's poll for the connect thread's end.
constexpr int32_t kConnectPollStep = 125;
// How often a timed connect that ran out of time shuts the socket down
// again until the connect thread has ended.
constexpr int32_t kShutdownRetry = 10;

}  // namespace

TIdIOHandlerSocket::TBindingUse::TBindingUse(TIdIOHandlerSocket& AHandler)
    : Handler_(AHandler), Acquired_(AHandler.BeginUse()) {}

TIdIOHandlerSocket::TBindingUse::~TBindingUse() {
  if (!Acquired_) return;
  // The caller reads errno of the call it made inside the use; a close
  // made here on the way out must not change it.
  const int savedErrno = errno;
  Handler_.EndUse();
  errno = savedErrno;
}

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  DropSocksInfo();
  Close();
  Binding_.reset();
}

bool TIdIOHandlerSocket::BeginUse() {
  std::lock_guard<std::mutex> guard(UseLock_);
  if (Binding_ == nullptr || !Binding_->Allocated() || Closing_) return false;
  ++Users_;
  return true;
}

void TIdIOHandlerSocket::EndUse() {
  std::lock_guard<std::mutex> guard(UseLock_);
  --Users_;
  if (Users_ == 0 && Closing_) {
    Binding_->Close();
    Closing_ = false;
  }
}

void TIdIOHandlerSocket::Close() {
  std::lock_guard<std::mutex> guard(UseLock_);
  if (Binding_ == nullptr || !Binding_->Allocated()) return;
  if (Users_ == 0) {
    Binding_->Close();
    return;
  }
  if (!Closing_.exchange(true)) GlobalStack()->ShutdownSocket(Binding_->Descriptor(), SHUT_RDWR);
}

void TIdIOHandlerSocket::ShutdownInUse() {
  std::lock_guard<std::mutex> guard(UseLock_);
  if (Users_ > 0 && Binding_->Allocated()) {
    GlobalStack()->ShutdownSocket(Binding_->Descriptor(), SHUT_RDWR);
  }
}

bool TIdIOHandlerSocket::Connected() {
  return Binding_ != nullptr && Binding_->Allocated() && !Closing_;
}

void TIdIOHandlerSocket::Open() {
  // Forgetting an open socket would leak its descriptor: close it first.
  Close();
  std::lock_guard<std::mutex> guard(UseLock_);
  if (Binding_ == nullptr) {
    Binding_ = std::make_unique<TIdSocketHandle>(nullptr);
  } else {
    Binding_->ClearBinding(true);
  }
}

bool TIdIOHandlerSocket::WaitReadable(int32_t AMSec) {
  TBindingUse use(*this);
  if (!use.Acquired()) throw EIdConnClosedGracefully();
  return Binding_->WaitReadable(AMSec);
}

int32_t TIdIOHandlerSocket::Receive(void* ABuffer, int32_t ALength) {
  TBindingUse use(*this);
  if (!use.Acquired()) throw EIdClosedSocket();
  return Binding_->ReceiveBytes(ABuffer, ALength, 0);
}

int32_t TIdIOHandlerSocket::Send(const void* ABuffer, int32_t ALength) {
  TBindingUse use(*this);
  if (!use.Acquired()) throw EIdClosedSocket();
  return Binding_->SendBytes(ABuffer, ALength, 0);
}

void TIdIOHandlerSocket::ConnectTo(const std::string& AHost, int32_t APort,
                                   const std::string& ABoundIP, int32_t ABoundPort,
                                   int32_t ABoundPortMin, int32_t ABoundPortMax,
                                   int32_t ATimeout) {
  const bool viaProxy = SocksInfo_ != nullptr && SocksInfo_->Version() != svNoSocks;
  const std::string targetHost = viaProxy ? SocksInfo_->Host() : AHost;
  const int32_t targetPort = viaProxy ? SocksInfo_->Port() : APort;
  if (Binding_ == nullptr) Open();
  TIdStack& stack = *GlobalStack();

  Binding_->Allocate(SOCK_STREAM, 0);
  try {
    Binding_->SetIP(ABoundIP);
    Binding_->SetPort(ABoundPort);
    Binding_->SetClientPortMin(ABoundPortMin);
    Binding_->SetClientPortMax(ABoundPortMax);
    Binding_->BindLocal();

    if (!TIdStack::IsDottedAddress(targetHost)) NotifyStatus(hsResolving, {targetHost});
    Binding_->SetPeerAddress(stack.ResolveToAddress(targetHost), targetPort);
    if (!UseNagle_) {
      const int32_t on = 1;
      Binding_->SetOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    NotifyStatus(hsConnecting, {Binding_->RemoteIP()});

    if (ATimeout == -1 || ATimeout == 0) {
      TBindingUse use(*this);
      if (!use.Acquired()) throw EIdClosedSocket();
      stack.CheckSocketResult(Binding_->ConnectToPeer(AF_INET));
    } else {
      TimedConnect(ATimeout);
    }
  } catch (...) {
    // A handler whose connect failed is not connected, whatever the step.
    Close();
    throw;
  }
  if (viaProxy) SocksInfo_->NegotiateProxy(AHost, APort);
}

void TIdIOHandlerSocket::TimedConnect(int32_t ATimeout) {
  TIdConnectThread thread(*this);
  thread.WakeThread();

  // Poll in steps (300 ms: 125, 125, then 50), each cut short when the
  // connect ends; without limit, only the connect's end stops the loop.
  const bool unlimited = ATimeout < 0;
  int32_t remaining = unlimited ? kConnectPollStep + 1 : ATimeout;
  bool ended = false;
  while (!ended && kConnectPollStep < remaining) {
    ended = thread.WaitEnded(kConnectPollStep);
    remaining -= kConnectPollStep;
    if (unlimited) remaining = kConnectPollStep + 1;
  }
  if (!ended) ended = thread.WaitEnded(remaining);

  if (!ended) {
    thread.Terminate();
    Close();  // ends the blocked connect
    // A connect that had not yet begun when the socket was shut down
    // starts anyway; shutting the socket down again ends it.
    while (!thread.WaitEnded(kShutdownRetry)) ShutdownInUse();
    thread.WaitFor();
    throw EIdConnectTimeout();
  }
  thread.WaitFor();
  if (!thread.FailureText().empty()) throw EIdConnectException(thread.FailureText());
  // The socket was closed under a connect that otherwise succeeded.
  if (!Connected()) throw EIdClosedSocket();
}

TIdSocksInfo* TIdIOHandlerSocket::SocksInfo() {
  if (SocksInfo_ == nullptr) {
    SocksInfo_ = new TIdSocksInfo(this);
    SocksInfo_->SetProxyHandler(this);
  }
  return SocksInfo_;
}

void TIdIOHandlerSocket::SetSocksInfo(TIdSocksInfo* value) {
  if (value == SocksInfo_) return;
  DropSocksInfo();
  SocksInfo_ = value;
  if (value == nullptr) return;
  FreeNotification(value);
  value->SetProxyHandler(this);
}

void TIdIOHandlerSocket::DropSocksInfo() {
  TIdSocksInfo* old = SocksInfo_;
  SocksInfo_ = nullptr;
  if (old == nullptr) return;
  if (old->Owner() == this) {
    delete old;
    return;
  }
  RemoveFreeNotification(old);
  if (old->ProxyHandler() == this) old->SetProxyHandler(nullptr);
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation Operation) {
  TIdIOHandler::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == SocksInfo_) SocksInfo_ = nullptr;
}

}  // namespace ostrevan
