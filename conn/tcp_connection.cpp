// SPDX-License-Identifier: MIT
#include "ostrevan/conn/tcp_connection.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "ostrevan/client/connection_intercept.h"
#include "ostrevan/conn/errors.h"
#include "ostrevan/conn/io_handler.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

const std::string kLineFeed = "\n";

TIdStack& Stack() { return *GlobalStack(); }

}  // namespace

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner)
    : TIdComponent(AOwner),
      // Read progress is counted when the application consumes bytes.
      InBuffer_([this](TObject*, int32_t ACount) { WorkProgress(wmRead, ACount); }),
      LastReply_(nullptr) {}

TIdTCPConnection::~TIdTCPConnection() {
  CloseTransport();
  if (IOHandler_.Owns()) FreeOwnedIOHandler();
}

// --- Life and state ---------------------------------------------------------

void TIdTCPConnection::SetIOHandler(TIdIOHandler* value) {
  if (value == IOHandler_.Get()) return;
  InstallIOHandler(TMaybeOwned<TIdIOHandler>::Borrowed(value));
}

void TIdTCPConnection::SetIOHandler(std::unique_ptr<TIdIOHandler> value) {
  InstallIOHandler(TMaybeOwned<TIdIOHandler>(std::move(value)));
}

void TIdTCPConnection::InstallIOHandler(TMaybeOwned<TIdIOHandler> value) {
  if (TIdIOHandler* old = IOHandler_.Get(); old != nullptr && IOHandler_.Owns()) {
    FreeOwnedIOHandler();
  } else if (old != nullptr) {
    RemoveFreeNotification(old);
  }
  TIdIOHandler* handler = value.Get();
  const bool owned = value.Owns();
  {
    std::unique_lock<std::mutex> lock(HandlerLock_);
    AwaitCloseOnOtherThread(lock);
    SocketHandler_ = dynamic_cast<TIdIOHandlerSocket*>(handler);
    IOHandler_ = std::move(value);
  }
  // Only a borrowed handler can be freed under the connection; an owned one
  // goes with it, and needs no destruction notice (an accepted connection's
  // handler is owned, so this saves two lists per connection).
  if (handler != nullptr && !owned) FreeNotification(handler);
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* value) {
  if (value == Intercept_) return;
  if (Intercept_ != nullptr) RemoveFreeNotification(Intercept_);
  {
    std::lock_guard<std::mutex> guard(HandlerLock_);
    Intercept_ = value;
  }
  if (value != nullptr) FreeNotification(value);
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TIdComponent::Notification(AComponent, Operation);
  if (Operation != opRemove) return;
  std::lock_guard<std::mutex> guard(HandlerLock_);
  if (AComponent == Intercept_) Intercept_ = nullptr;
  if (AComponent == IOHandler_.Get()) {
    IOHandler_.Forget();
    SocketHandler_ = nullptr;
  }
}

void TIdTCPConnection::FreeOwnedIOHandler() {
  std::unique_ptr<TIdIOHandler> handler;
  {
    std::unique_lock<std::mutex> lock(HandlerLock_);
    AwaitCloseOnOtherThread(lock);
    handler = IOHandler_.Release();
    SocketHandler_ = nullptr;
  }
  // Freed outside the lock: its destruction notifies this connection,
  // which takes the lock again.
  handler.reset();
}

void TIdTCPConnection::CloseTransport() {
  TIdConnectionIntercept* intercept = nullptr;
  {
    std::unique_lock<std::mutex> lock(HandlerLock_);
    if (IOHandler_.Get() == nullptr) return;
    PeerClosed_ = true;
    // A close under way is this close as well: on another thread it is
    // waited for, so that the transport is closed on return; called from
    // that close's own hook, it leaves the rest to it.
    if (ClosingThread_ != std::thread::id()) {
      AwaitCloseOnOtherThread(lock);
      return;
    }
    // A transport closed already is not closed again, and its hook has
    // run: the hook runs once for each close.
    if (!IOHandler_->Connected()) {
      IOHandler_->Close();
      return;
    }
    ClosingThread_ = std::this_thread::get_id();
    intercept = Intercept_;
  }
  // The hook runs without the lock, so that it may use the connection.
  try {
    if (intercept != nullptr) intercept->Disconnect();
  } catch (...) {
    FinishClose();
    throw;
  }
  FinishClose();
}

void TIdTCPConnection::FinishClose() {
  std::lock_guard<std::mutex> guard(HandlerLock_);
  // The handler the close began with, unless its own hook replaced it: the
  // other threads wait before they detach one.
  if (IOHandler_.Get() != nullptr) IOHandler_->Close();
  ClosingThread_ = std::thread::id();
  CloseEnded_.notify_all();
}

void TIdTCPConnection::AwaitCloseOnOtherThread(std::unique_lock<std::mutex>& ALock) {
  CloseEnded_.wait(ALock, [this] {
    return ClosingThread_ == std::thread::id() || ClosingThread_ == std::this_thread::get_id();
  });
}

bool TIdTCPConnection::CheckDisconnected(bool ARaiseIfDisconnected, bool AIgnoreBuffer) {
  bool disconnected = false;
  if (PeerClosed_ || IOHandler_.Get() == nullptr) {
    if (IOHandler_.Get() != nullptr) {
      // Only the first check after the close finds the handler connected,
      // so the events fire once.
      if (IOHandler_->Connected()) {
        CloseTransport();
        NotifyStatus(hsDisconnected);
        NotifyDisconnected();
      }
      disconnected = true;
    }
  } else {
    disconnected = !IOHandler_->Connected();
  }
  if (disconnected && ARaiseIfDisconnected && (InBuffer_.Size() == 0 || AIgnoreBuffer)) {
    throw EIdConnClosedGracefully();
  }
  return disconnected;
}

bool TIdTCPConnection::Connected() {
  CheckDisconnected(false, false);
  return IOHandler_.Get() != nullptr && IOHandler_->Connected();
}

void TIdTCPConnection::Disconnect() {
  NotifyStatus(hsDisconnecting);
  CloseTransport();
  if (IOHandler_.Owns()) FreeOwnedIOHandler();
  NotifyDisconnected();
  NotifyStatus(hsDisconnected);
}

void TIdTCPConnection::NotifyDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::ResetReadState() {
  InBuffer_.Clear();
  PeerClosed_ = false;
}

void TIdTCPConnection::PollDisconnected(bool ARaiseIfDisconnected) {
  FillInputBuffer(ARaiseIfDisconnected, 1, false);
}

// --- Reading ----------------------------------------------------------------

int32_t TIdTCPConnection::FillInputBuffer(bool ARaiseIfDisconnected, int32_t ATimeout,
                                          bool ARaiseOnTimeout) {
  if (ATimeout == -1) ATimeout = ReadTimeout_ == 0 ? -2 : ReadTimeout_;
  CheckDisconnected(ARaiseIfDisconnected, false);
  if (!Connected()) {
    if (ARaiseIfDisconnected) throw EIdNotConnected();
    return 0;
  }
  int32_t count = 0;
  do {
    if (!IOHandler_->WaitReadable(ATimeout)) {
      if (ARaiseOnTimeout) throw EIdReadTimeout();
      return -1;
    }
    count = ReceiveOnce();
    CheckDisconnected(ARaiseIfDisconnected, false);
  } while (count == 0 && Connected());
  return count;
}

int32_t TIdTCPConnection::ReceiveOnce() {
  ReceiveBlock_.SetSize(RecvBufferSize_);
  int32_t count = IOHandler_->Receive(ReceiveBlock_.Memory(), RecvBufferSize_);
  PeerClosed_ = count == 0;
  if (count == 0) return 0;

  TIdStack& stack = Stack();
  if (stack.CheckSocketResult(count, {ESHUTDOWN, ECONNABORTED})) {
    const int32_t code = stack.LastSocketError();
    CloseTransport();
    if (InBuffer_.Size() == 0) stack.RaiseSocketErrorCode(code);
    return 0;
  }

  ReceiveBlock_.SetSize(count);
  if (Intercept_ != nullptr) {
    ReceiveBlock_.SetPosition(0);
    Intercept_->Receive(ReceiveBlock_);
    count = static_cast<int32_t>(ReceiveBlock_.Size());
  }
  uint8_t* bytes = ReceiveBlock_.Memory();
  if (ASCIIFilter_) {
    for (int32_t i = 0; i < count; ++i) bytes[i] &= 0x7F;
  }
  InBuffer_.Seek(0, soEnd);
  InBuffer_.WriteBuffer(bytes, count);
  return count;
}

int64_t TIdTCPConnection::FindTerminator(const std::string& ATerminator, int64_t AFrom) {
  const int64_t size = InBuffer_.Size();
  if (AFrom >= size) return -1;
  const uint8_t* data = InBuffer_.Memory();
  const void* hit = nullptr;
  if (ATerminator.size() == 1) {
    hit = std::memchr(data + AFrom, ATerminator[0], static_cast<size_t>(size - AFrom));
  } else {
    hit = memmem(data + AFrom, static_cast<size_t>(size - AFrom), ATerminator.data(),
                 ATerminator.size());
  }
  return hit == nullptr ? -1 : static_cast<const uint8_t*>(hit) - data;
}

std::string TIdTCPConnection::LineTooLong(int64_t AMaxLength) {
  if (MaxLineAction_ == maException) throw EIdReadLnMaxLineLengthExceeded();
  LineSplit_ = true;
  return InBuffer_.TakeText(static_cast<int32_t>(AMaxLength));
}

std::string TIdTCPConnection::ReadLn(const std::string& ATerminator, int32_t ATimeout,
                                     int32_t AMaxLineLength) {
  const int64_t maxLength = AMaxLineLength == -1 ? MaxLineLength_ : AMaxLineLength;
  const bool limited = maxLength > 0;
  const std::string& terminator = ATerminator.empty() ? kLineFeed : ATerminator;
  const int64_t overlap = static_cast<int64_t>(terminator.size()) - 1;
  LineSplit_ = false;
  LineEndedEmpty_ = false;
  ReadLnTimedOut_ = false;

  // Each pass searches only the bytes that arrived since the last one,
  // plus the few before them in which a terminator split across two
  // receives may start: reading a line costs time linear in its length.
  int64_t found = -1;
  int64_t searched = 0;
  for (;;) {
    const int64_t size = InBuffer_.Size();
    if (size > searched) {
      found = FindTerminator(terminator, std::max<int64_t>(0, searched - overlap));
      searched = size;
    }
    if (found >= 0) {
      if (limited && found > maxLength) return LineTooLong(maxLength);
      break;
    }
    // Bytes that may yet turn out to begin the terminator are not counted
    // as part of the line.
    if (limited && searched - overlap > maxLength) return LineTooLong(maxLength);

    CheckDisconnected(true, true);
    const int32_t filled = FillInputBuffer(true, ATimeout, ATimeout == -1);
    LineEndedEmpty_ = filled == 0;
    if (LineEndedEmpty_) return {};
    if (filled < 0) {
      ReadLnTimedOut_ = true;
      return {};
    }
  }

  std::string line =
      InBuffer_.TakeText(static_cast<int32_t>(found + static_cast<int64_t>(terminator.size())));
  size_t length = static_cast<size_t>(found);
  if (terminator == kLineFeed && length > 0 && line[length - 1] == '\r') --length;
  line.resize(length);
  return line;
}

std::string TIdTCPConnection::ReadNonBlankLine(int32_t AAttempts) {
  std::string result;
  for (int32_t count = 0; result.empty() && count < AAttempts; ++count) {
    result = Trim(ReadLn(kLineFeed, -1, -1));
  }
  return result;
}

std::string TIdTCPConnection::TakeAvailable() {
  if (Connected()) FillInputBuffer(false, -1, true);
  return InBuffer_.TakeText(static_cast<int32_t>(InBuffer_.Size()));
}

std::string TIdTCPConnection::ReadAll() {
  WorkBegin(wmRead, 0);
  struct TWorkEndGuard {
    TIdTCPConnection& Connection;
    ~TWorkEndGuard() { Connection.WorkEnd(wmRead); }
  } workEnd{*this};
  std::string result;
  while (Connected()) result += TakeAvailable();
  // What arrived before the close was noticed is part of the answer too.
  result += InBuffer_.TakeText(static_cast<int32_t>(InBuffer_.Size()));
  return result;
}

// --- Writing ----------------------------------------------------------------

void TIdTCPConnection::WriteBytes(const void* ABuffer, int32_t ACount) {
  if (ACount <= 0 || ABuffer == nullptr) return;
  CheckDisconnected(true, true);
  if (!Connected()) throw EIdNotConnected();

  // The bytes go out from the caller's memory unless an intercept may
  // rewrite them; then from a copy that is freed on every path.
  const uint8_t* bytes = static_cast<const uint8_t*>(ABuffer);
  int64_t count = ACount;
  std::unique_ptr<TIdSimpleBuffer> copy;
  if (Intercept_ != nullptr) {
    copy = std::make_unique<TIdSimpleBuffer>();
    copy->WriteBuffer(ABuffer, ACount);
    copy->SetPosition(0);
    Intercept_->Send(*copy);
    count = copy->Size();
    bytes = copy->Memory();
  }

  TIdStack& stack = Stack();
  int64_t position = 0;
  while (position < count) {
    if (IOHandler_.Get() == nullptr) throw EIdNotConnected();
    const auto length = static_cast<int32_t>(std::min<int64_t>(count - position, INT32_MAX));
    const int32_t sent = IOHandler_->Send(bytes + position, length);
    PeerClosed_ = sent == 0;
    CheckDisconnected(true, false);
    if (stack.CheckSocketResult(sent, {ESHUTDOWN, ECONNABORTED, ECONNRESET})) {
      const int32_t code = stack.LastSocketError();
      CloseTransport();
      stack.RaiseSocketErrorCode(code);
    }
    WorkProgress(wmWrite, sent);
    position += sent;
  }
}

void TIdTCPConnection::Write(const std::string& AText) {
  if (AText.empty()) return;
  WriteBytes(AText.data(), static_cast<int32_t>(AText.size()));
}

void TIdTCPConnection::WriteLn(const std::string& AText) { Write(AText + "\r\n"); }

void TIdTCPConnection::WriteInt32(int32_t AValue, bool AConvert) {
  WriteUInt32(static_cast<uint32_t>(AValue), AConvert);
}

void TIdTCPConnection::WriteUInt32(uint32_t AValue, bool AConvert) {
  if (AConvert) AValue = Stack().HostToNetLong(AValue);
  WriteBytes(&AValue, sizeof(AValue));
}

void TIdTCPConnection::SendStream(TStream& AStream, bool AFromStart, bool AWithCount,
                                  int32_t ASize) {
  if (AFromStart) AStream.SetPosition(0);
  const int64_t end = ASize == 0 ? AStream.Size() : AStream.Position() + ASize;
  const int64_t remaining = end - AStream.Position();
  if (AWithCount) WriteInt32(static_cast<int32_t>(remaining), true);

  WorkBegin(wmWrite, static_cast<int32_t>(remaining));
  struct TWorkEndGuard {
    TIdTCPConnection& Connection;
    ~TWorkEndGuard() { Connection.WorkEnd(wmWrite); }
  } workEnd{*this};
  std::vector<uint8_t> chunk(static_cast<size_t>(SendBufferSize_));
  for (;;) {
    const int64_t wanted = std::min<int64_t>(end - AStream.Position(), SendBufferSize_);
    if (wanted <= 0) break;
    const int64_t read = AStream.Read(chunk.data(), wanted);
    if (read <= 0) throw EIdNoDataToRead();
    WriteBytes(chunk.data(), static_cast<int32_t>(read));
  }
}

uint32_t TIdTCPConnection::SendFile(const std::string& AFileName) {
  if (!FileExists(AFileName)) {
    throw EIdFileNotFound(Format("File \"%s\" not found", AFileName.c_str()));
  }
  TFileStream file(AFileName, fmOpenRead | fmShareDenyWrite);
  SendStream(file, true, false, 0);
  return static_cast<uint32_t>(file.Size());
}

// --- Replies ----------------------------------------------------------------

int32_t TIdTCPConnection::ReadReply() {
  TStringList lines;
  std::string line = ReadNonBlankLine(INT32_MAX);
  lines.Add(line);
  if (line.size() > 3 && line[3] == '-') {
    const std::string endMarker = line.substr(0, 3) + " ";
    do {
      line = ReadNonBlankLine(INT32_MAX);
      lines.Add(line);
    } while (line.size() >= 4 && !SameText(line.substr(0, 4), endMarker));
  }
  LastReply_.ParseLines(lines);
  return LastReply_.NumericCode();
}

int32_t TIdTCPConnection::CheckReplyCode(int32_t ACode, const std::vector<int16_t>& AAllowed) {
  if (!AAllowed.empty() && std::find(AAllowed.begin(), AAllowed.end(), ACode) == AAllowed.end()) {
    RaiseReplyError();
  }
  return ACode;
}

int32_t TIdTCPConnection::ExpectReply(const std::vector<int16_t>& AAllowed) {
  ReadReply();
  return CheckReplyCode(LastReply_.NumericCode(), AAllowed);
}

int32_t TIdTCPConnection::SendCommand(const std::string& ACommand,
                                      const std::vector<int16_t>& AAllowed) {
  WriteLn(ACommand);
  return ExpectReply(AAllowed);
}

void TIdTCPConnection::RaiseReplyError() {
  throw EIdProtocolReplyError(LastReply_.NumericCode(), LastReply_.Text().Text());
}

void TIdTCPConnection::RaiseReplyErrorAs(const TIdExceptionClass& AClass) {
  const std::string message = LastReply_.Text().Text();
  if (AClass) AClass(message);
  // A class reference that raised nothing still ends the call with an error.
  throw EIdException(message);
}

void TIdTCPConnection::WriteReply(const TIdRFCReply& AReply) {
  if (AReply.HasContent()) Write(AReply.FormatReply());
}

void TIdTCPConnection::WriteDotTerminated(const TStringList& ALines) {
  for (int i = 0; i < ALines.Count(); ++i) WriteLn(ALines[i] == "." ? ".." : ALines[i]);
  WriteLn(".");
}

}  // namespace ostrevan
