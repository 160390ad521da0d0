// SPDX-License-Identifier: MIT
#include "ostrevan/conn/io_handler_socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "ostrevan/client/socks_info.h"
#include "ostrevan/conn/connect_thread.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"

namespace ostrevan {

namespace {

// The step of a timed connect's poll for the connect thread's end.
constexpr int32_t kConnectPollStep = 125;
// How often a timed connect that ran out of time shuts the socket down
// again until the connect thread has ended.
constexpr int32_t kShutdownRetry = 10;

}  // namespace

TIdIOHandlerSocket::TBindingUse::TBindingUse(TIdIOHandlerSocket& AHandler, bool AAllocate)
    : Handler_(AHandler), Acquired_(AHandler.BeginUse(AAllocate)) {}

TIdIOHandlerSocket::TBindingUse::~TBindingUse() {
  if (Acquired_) Handler_.EndUse();
}

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  DropSocksInfo();
  Close();
  Binding_.reset();
}

bool TIdIOHandlerSocket::BeginUse(bool AAllocate) {
  std::lock_guard<std::mutex> guard(UseLock_);
  if (Binding_ == nullptr) return false;
  if (AAllocate) Binding_->Allocate(SOCK_STREAM, 0);
  if (!Binding_->Allocated() || Closing_) return false;
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
  // Under the lock: a connection's cross-thread close asks, while the
  // handler's own thread may be creating the binding.
  std::lock_guard<std::mutex> guard(UseLock_);
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
  const bool viaProxy = SocksInfo_.Get() != nullptr && SocksInfo_->Version() != svNoSocks;
  const std::string targetHost = viaProxy ? SocksInfo_->Host() : AHost;
  const int32_t targetPort = viaProxy ? SocksInfo_->Port() : APort;
  if (Binding_ == nullptr) Open();
  TIdStack& stack = *GlobalStack();
  const bool isIPv4 = TIdStack::IsDottedAddress(targetHost);
  const bool isIPv6 = TIdStack::IsIPv6Address(targetHost);
  // An address is of its own version; a name is looked up for IPVersion.
  const TIdIPVersion version = isIPv6 ? Id_IPv6 : isIPv4 ? Id_IPv4 : IPVersion_;
  Binding_->SetIPVersion(version);

  // One use from the socket's creation to the end of the connect: a Close
  // from another thread at any point of it only shuts the socket down, so
  // that no step works on a descriptor closed (and perhaps given to another
  // socket) under it; the connect gives up, and the socket closes as the
  // use ends.
  {
    TBindingUse use(*this, true);
    try {
      Binding_->SetIP(ABoundIP);
      Binding_->SetPort(ABoundPort);
      Binding_->SetClientPortMin(ABoundPortMin);
      Binding_->SetClientPortMax(ABoundPortMax);
      Binding_->BindLocal();

      if (!isIPv4 && !isIPv6) NotifyStatus(hsResolving, {targetHost});
      Binding_->SetPeerAddress(stack.ResolveToAddress(targetHost, version), targetPort);
      if (!UseNagle_) {
        const int32_t on = 1;
        Binding_->SetOption(IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      }
      NotifyStatus(hsConnecting, {Binding_->RemoteIP()});

      if (ATimeout == -1 || ATimeout == 0) {
        // A Close between this test and the start of the connect does not
        // end a connect that no peer answers until the system gives up;
        // one that is answered ends in the test after it.
        ThrowIfClosing();
        stack.CheckSocketResult(Binding_->ConnectToPeer(FamilyOf(version)));
      } else {
        TimedConnect(ATimeout);
      }
      ThrowIfClosing();  // closed under a connect that otherwise succeeded
    } catch (...) {
      // A handler whose connect failed is not connected, whatever the step.
      Close();
      throw;
    }
  }
  if (viaProxy) SocksInfo_->NegotiateProxy(AHost, APort);
}

void TIdIOHandlerSocket::ThrowIfClosing() const {
  if (Closing_) throw EIdClosedSocket();
}

void TIdIOHandlerSocket::TimedConnect(int32_t ATimeout) {
  TIdConnectThread thread(*this);
  thread.WakeThread();

  // Poll in steps (300 ms: 125, 125, then 50), each cut short when the
  // connect ends; without limit, only the connect's end stops the loop.
  // A Close from another thread stops the poll too, at the next step.
  const bool unlimited = ATimeout < 0;
  int32_t remaining = unlimited ? kConnectPollStep + 1 : ATimeout;
  bool ended = false;
  while (!ended && !Closing_ && kConnectPollStep < remaining) {
    ended = thread.WaitEnded(kConnectPollStep);
    remaining -= kConnectPollStep;
    if (unlimited) remaining = kConnectPollStep + 1;
  }
  if (!ended && !Closing_) ended = thread.WaitEnded(remaining);

  if (!ended) {
    const bool closedFromOutside = Closing_;
    thread.Terminate();
    Close();  // ends the blocked connect
    // A connect that had not yet begun when the socket was shut down
    // starts anyway; shutting the socket down again ends it.
    while (!thread.WaitEnded(kShutdownRetry)) ShutdownInUse();
    thread.WaitFor();
    if (closedFromOutside) throw EIdClosedSocket();
    throw EIdConnectTimeout();
  }
  thread.WaitFor();
  // A socket closed under the connect is no failure of the connect.
  ThrowIfClosing();
  if (!thread.FailureText().empty()) throw EIdConnectException(thread.FailureText());
}

TIdSocksInfo* TIdIOHandlerSocket::SocksInfo() {
  if (SocksInfo_.Get() == nullptr) {
    // The holder frees it; the handler as its Owner is a back-reference
    // only, since the destructor drops it before owned components go.
    SocksInfo_ = TMaybeOwned<TIdSocksInfo>(std::make_unique<TIdSocksInfo>(this));
    SocksInfo_->SetProxyHandler(this);
  }
  return SocksInfo_.Get();
}

void TIdIOHandlerSocket::SetSocksInfo(TIdSocksInfo* value) {
  if (value == SocksInfo_.Get()) return;
  DropSocksInfo();
  SocksInfo_ = TMaybeOwned<TIdSocksInfo>::Borrowed(value);
  if (value == nullptr) return;
  FreeNotification(value);
  value->SetProxyHandler(this);
}

void TIdIOHandlerSocket::DropSocksInfo() {
  const bool owned = SocksInfo_.Owns();
  TIdSocksInfo* old = SocksInfo_.Get();
  // Emptied before an owned one goes, so that its removal notice finds
  // nothing to clear.
  SocksInfo_.Release().reset();
  if (old == nullptr || owned) return;
  RemoveFreeNotification(old);
  if (old->ProxyHandler() == this) old->SetProxyHandler(nullptr);
}

void TIdIOHandlerSocket::Notification(TComponent* AComponent, TOperation Operation) {
  TIdIOHandler::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent == SocksInfo_.Get()) SocksInfo_.Forget();
}

}  // namespace ostrevan
