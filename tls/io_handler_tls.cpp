// SPDX-License-Identifier: MIT
#include "ostrevan/tls/io_handler_tls.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ostrevan/net/errors.h"
#include "ostrevan/tls/errors.h"
#include "ostrevan/tls/internal/tls_context.h"
#include "ostrevan/tls/internal/tls_engine.h"

namespace ostrevan {

namespace {

using TClock = std::chrono::steady_clock;

// The most one receive from the socket takes in.
constexpr int32_t kRawChunk = 16384;

// A wait's end: none for no limit (a negative time).
struct TDeadline {
  explicit TDeadline(int32_t AMSec)
      : Unlimited(AMSec < 0), End(TClock::now() + std::chrono::milliseconds(std::max(AMSec, 0))) {}
  // What is left in ms; -2 without limit.
  int32_t Remaining() const {
    if (Unlimited) return -2;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(End - TClock::now());
    return static_cast<int32_t>(std::max<int64_t>(left.count(), 0));
  }
  bool Unlimited;
  TClock::time_point End;
};

}  // namespace

TIdIOHandlerTLS::TIdIOHandlerTLS(TComponent* AOwner)
    : TIdIOHandlerSocket(AOwner), Settings_(std::make_shared<TIdTLSSettings>()) {}

TIdIOHandlerTLS::~TIdIOHandlerTLS() { Close(); }

void TIdIOHandlerTLS::SetSettings(std::shared_ptr<TIdTLSSettings> value) {
  Settings_ = value != nullptr ? std::move(value) : std::make_shared<TIdTLSSettings>();
}

void TIdIOHandlerTLS::ResetEngine() {
  Engine_.reset();
  Plain_.clear();
  PlainPosition_ = 0;
  RawError_ = 0;
}

void TIdIOHandlerTLS::Open() {
  {
    std::lock_guard<std::mutex> guard(EngineLock_);
    ResetEngine();
  }
  TIdIOHandlerSocket::Open();
}

void TIdIOHandlerTLS::Close() {
  // Only when no call holds the engine: one on another thread may be in
  // the middle of a record, and a close from there must not wait for it.
  std::unique_lock<std::mutex> lock(EngineLock_, std::try_to_lock);
  if (lock.owns_lock() && Engine_ != nullptr && TIdIOHandlerSocket::Connected()) {
    Engine_->Shutdown();
    std::string alert;
    TBindingUse use(*this);
    // Without waiting: a peer that does not read must not hold the close.
    if (Engine_->TakeOutput(alert) && use.Acquired()) {
      Binding()->SendBytes(alert.data(), static_cast<int32_t>(alert.size()), MSG_DONTWAIT);
    }
  }
  if (lock.owns_lock()) lock.unlock();
  TIdIOHandlerSocket::Close();
}

void TIdIOHandlerTLS::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                                int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                                int32_t ATimeout) {
  {
    std::lock_guard<std::mutex> guard(EngineLock_);
    ResetEngine();
    Host_ = AHost;
    SessionKey_ = AHost + ":" + std::to_string(APort);
  }
  // A SOCKS negotiation inside goes plain: no engine yet.
  TIdIOHandlerSocket::ConnectTo(AHost, APort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax,
                                ATimeout);
  if (PassThrough_) return;
  try {
    Handshake("");
  } catch (...) {
    Close();
    throw;
  }
}

void TIdIOHandlerTLS::PrepareAccepted() {
  if (ServerSide_ && !PassThrough_) Handshake("");
}

void TIdIOHandlerTLS::StartTLS(const std::string& AReceivedEarly) { Handshake(AReceivedEarly); }

void TIdIOHandlerTLS::Handshake(const std::string& AEarly) {
  std::lock_guard<std::mutex> guard(EngineLock_);
  if (Engine_ != nullptr) throw EIdTLSError("TLS is on already");
  Engine_ = std::make_unique<TTLSEngine>(Settings_->Context(ServerSide_), ServerSide_ ? "" : Host_,
                                         ServerSide_ ? "" : SessionKey_);
  Engine_->PutInput(AEarly.data(), AEarly.size());
  const TDeadline deadline(HandshakeTimeout_ > 0 ? HandshakeTimeout_ : -1);
  try {
    for (;;) {
      const TTLSEngine::TStep step = Engine_->Handshake();
      if (!FlushOutput()) throw EIdTLSError(std::string("TLS handshake failed: ") + std::strerror(errno));
      if (step == TTLSEngine::stDone) return;
      if (!FeedInput(deadline.Remaining())) throw EIdTLSError("TLS handshake timed out");
      if (RawError_ != 0) throw EIdTLSError(std::string("TLS handshake failed: ") + std::strerror(RawError_));
    }
  } catch (const EIdTLSError&) {
    // The alert that says why goes to the peer, if the socket takes it.
    const int saved = errno;
    try {
      FlushOutput();
    } catch (...) {
    }
    errno = saved;
    ResetEngine();
    throw;
  } catch (...) {
    ResetEngine();
    throw;
  }
}

bool TIdIOHandlerTLS::FlushOutput() {
  std::string out;
  if (!Engine_->TakeOutput(out)) return true;
  size_t position = 0;
  while (position < out.size()) {
    const auto length = static_cast<int32_t>(std::min<size_t>(out.size() - position, INT32_MAX));
    const int32_t sent = TIdIOHandlerSocket::Send(out.data() + position, length);
    if (sent <= 0) {
      if (sent == 0) errno = ECONNRESET;
      return false;
    }
    position += static_cast<size_t>(sent);
  }
  return true;
}

bool TIdIOHandlerTLS::FeedInput(int32_t AMSec) {
  if (Engine_->InputEnded() || RawError_ != 0) return true;
  if (!TIdIOHandlerSocket::WaitReadable(AMSec)) return false;
  char raw[kRawChunk];
  const int32_t count = TIdIOHandlerSocket::Receive(raw, kRawChunk);
  if (count > 0) {
    Engine_->PutInput(raw, static_cast<size_t>(count));
  } else if (count == 0) {
    Engine_->EndInput();
  } else {
    RawError_ = errno != 0 ? errno : EIO;
  }
  return true;
}

bool TIdIOHandlerTLS::FillPlain(int32_t AMSec) {
  const TDeadline deadline(AMSec == -2 ? -1 : AMSec);
  for (;;) {
    if (HasPlain() || RawError_ != 0) return true;
    if (PlainPosition_ > 0) {
      Plain_.clear();
      PlainPosition_ = 0;
    }
    const TTLSEngine::TStep step = Engine_->Read(Plain_);
    // A read may answer the peer (a key update): the answer goes now.
    if (!FlushOutput()) RawError_ = errno;
    if (step != TTLSEngine::stWantInput) return true;
    if (!FeedInput(deadline.Remaining())) return false;
  }
}

bool TIdIOHandlerTLS::WaitReadable(int32_t AMSec) {
  std::lock_guard<std::mutex> guard(EngineLock_);
  if (Engine_ == nullptr) return TIdIOHandlerSocket::WaitReadable(AMSec);
  if (!TIdIOHandlerSocket::Connected()) throw EIdConnClosedGracefully();
  return FillPlain(AMSec);
}

int32_t TIdIOHandlerTLS::Receive(void* ABuffer, int32_t ALength) {
  std::lock_guard<std::mutex> guard(EngineLock_);
  if (Engine_ == nullptr) return TIdIOHandlerSocket::Receive(ABuffer, ALength);
  if (!TIdIOHandlerSocket::Connected()) throw EIdClosedSocket();
  FillPlain(-2);
  if (HasPlain()) {
    const size_t count = std::min(Plain_.size() - PlainPosition_, static_cast<size_t>(std::max(ALength, 0)));
    std::memcpy(ABuffer, Plain_.data() + PlainPosition_, count);
    PlainPosition_ += count;
    return static_cast<int32_t>(count);
  }
  if (RawError_ != 0) {
    errno = RawError_;
    RawError_ = 0;
    return -1;
  }
  return 0;
}

int32_t TIdIOHandlerTLS::Send(const void* ABuffer, int32_t ALength) {
  std::lock_guard<std::mutex> guard(EngineLock_);
  if (Engine_ == nullptr) return TIdIOHandlerSocket::Send(ABuffer, ALength);
  if (!TIdIOHandlerSocket::Connected()) throw EIdClosedSocket();
  if (ALength <= 0) return 0;
  Engine_->Write(ABuffer, static_cast<size_t>(ALength));
  return FlushOutput() ? ALength : -1;
}

bool TIdIOHandlerTLS::TLSActive() {
  std::lock_guard<std::mutex> guard(EngineLock_);
  return Engine_ != nullptr && Engine_->HandshakeDone();
}

std::string TIdIOHandlerTLS::TLSVersion() {
  std::lock_guard<std::mutex> guard(EngineLock_);
  return Engine_ != nullptr ? Engine_->Version() : std::string();
}

std::string TIdIOHandlerTLS::ALPNProtocol() {
  std::lock_guard<std::mutex> guard(EngineLock_);
  return Engine_ != nullptr ? Engine_->ALPN() : std::string();
}

bool TIdIOHandlerTLS::SessionReused() {
  std::lock_guard<std::mutex> guard(EngineLock_);
  return Engine_ != nullptr && Engine_->SessionReused();
}

std::string TIdIOHandlerTLS::PeerSubject() {
  std::lock_guard<std::mutex> guard(EngineLock_);
  return Engine_ != nullptr ? Engine_->PeerSubject() : std::string();
}

}  // namespace ostrevan
