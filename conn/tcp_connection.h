// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"
#include "ostrevan/conn/managed_buffer.h"
#include "ostrevan/conn/simple_buffer.h"
#include "ostrevan/runtime/component.h"
#include "ostrevan/runtime/maybe_owned.h"
#include "ostrevan/runtime/stream.h"
#include "ostrevan/runtime/string_list.h"
#include "ostrevan/server/rfc_reply.h"

namespace ostrevan {

class TIdConnectionIntercept;
class TIdIOHandler;
class TIdIOHandlerSocket;

/// What ReadLn does with a line longer than the maximum.
enum TIdMaxLineAction { maException, maSplit };

/// A class reference for exceptions: raises an exception of its class with
/// the given message.
using TIdExceptionClass = std::function<void(const std::string& AMessage)>;
/// A TIdExceptionClass that raises E.
template <class E>
TIdExceptionClass ExceptionClassOf() {
  return [](const std::string& AMessage) { throw E(AMessage); };
}

/// One TCP conversation seen from the application: reads through an I/O
/// handler into InBuffer, offers line, text, 32-bit, stream and file writes
/// and numbered replies, notices that the peer has closed, and disconnects
/// with status and disconnect events. It does not open connections itself:
/// an I/O handler is installed in it.
///
/// Used only by its peer thread (one thread at a time); CloseTransport may
/// come from another thread while that thread is blocked in a read or write
/// or is disconnecting. Events run on the thread that causes them.
class OSTREVAN_EXPORT TIdTCPConnection : public TIdComponent {
 public:
  /// The RecvBufferSize and SendBufferSize a new connection starts with.
  static constexpr int32_t kDefaultBufferSize = 32768;
  /// The MaxLineLength a new connection starts with.
  static constexpr int32_t kDefaultMaxLineLength = 16384;

  /// A connection of AOwner (none: ownerless) without a handler.
  explicit TIdTCPConnection(TComponent* AOwner);
  /// Closes the transport and frees an owned handler, without events.
  ~TIdTCPConnection() override;

  // --- Life and state -----------------------------------------------------

  /// True when a handler is installed and connected; notices (and reports
  /// once) a close that a receive or send has seen.
  virtual bool Connected();
  /// Reports hsDisconnecting, closes the transport, frees an owned handler,
  /// calls OnDisconnected and reports hsDisconnected: all of it even when
  /// nothing is connected. Buffered input stays readable.
  virtual void Disconnect();
  /// Closes the transport without events; the intercept's Disconnect hook
  /// runs on the calling thread, once for each close of the transport: not
  /// for a transport closed already, and when two threads close at once,
  /// on one of them while the other waits for it. Safe from another thread.
  virtual void CloseTransport();
  /// Whether the connection is closed. A close that a receive or send saw
  /// and that is not handled yet is handled here: the transport is closed,
  /// hsDisconnected reported and OnDisconnected called. With
  /// ARaiseIfDisconnected, a closed connection raises
  /// EIdConnClosedGracefully when InBuffer is empty or AIgnoreBuffer is set.
  virtual bool CheckDisconnected(bool ARaiseIfDisconnected, bool AIgnoreBuffer);
  /// Takes in whatever has arrived within 1 ms and notices a closed peer.
  virtual void PollDisconnected(bool ARaiseIfDisconnected);
  /// Empties InBuffer and forgets that the peer closed.
  virtual void ResetReadState();
  /// Calls OnDisconnected.
  virtual void NotifyDisconnected();

  // --- Reading ------------------------------------------------------------
  // Time-outs are in ms: -1 stands for ReadTimeout (no limit when it is
  // 0), -2 for no limit.

  /// Receives once into InBuffer: the count added, 0 when the peer closed,
  /// -1 when the wait timed out without ARaiseOnTimeout (with it:
  /// EIdReadTimeout). Without a connection: EIdNotConnected or 0.
  virtual int32_t FillInputBuffer(bool ARaiseIfDisconnected, int32_t ATimeout,
                                  bool ARaiseOnTimeout);
  /// One line without its terminator (LF when empty; with LF, a CR before
  /// it is dropped too). A maximum of -1 means MaxLineLength, 0 or less no
  /// limit. When the peer closes before a line is complete: the empty text
  /// with LineEndedEmpty set. With an explicit time-out (not -1) that
  /// expires: the empty text with ReadLnTimedOut set, the bytes received
  /// so far kept in InBuffer.
  virtual std::string ReadLn(const std::string& ATerminator = "\n", int32_t ATimeout = -1,
                             int32_t AMaxLineLength = -1);
  /// The first line that is not blank once bytes up to 32 are trimmed from
  /// both ends, within the given number of lines read.
  std::string ReadNonBlankLine(int32_t AAttempts);
  /// Whatever has arrived (waiting for at least one receive while
  /// connected), and everything buffered.
  std::string TakeAvailable();
  /// Everything up to the peer's close, in one read unit of work.
  virtual std::string ReadAll();

  // --- Writing ------------------------------------------------------------

  /// Every write goes through here: nothing for a count of 0 or less; a
  /// peer known to be closed raises EIdConnClosedGracefully, no connection
  /// EIdNotConnected; the intercept may rewrite the bytes before they go.
  void WriteBytes(const void* ABuffer, int32_t ACount);
  /// Nothing at all for the empty text.
  virtual void Write(const std::string& AText);
  /// The text and CR LF.
  virtual void WriteLn(const std::string& AText = "");
  ///@{
  /// Four bytes, most significant first with AConvert, else in host order.
  void WriteInt32(int32_t AValue, bool AConvert = true);
  void WriteUInt32(uint32_t AValue, bool AConvert = true);
  ///@}
  /// The stream from its start (AFromStart) or its position, ASize bytes or
  /// up to its end (0), after a 32-bit count when AWithCount; in chunks of
  /// SendBufferSize in one write unit of work. A stream that ends early
  /// raises EIdNoDataToRead.
  virtual void SendStream(TStream& AStream, bool AFromStart = true, bool AWithCount = false,
                          int32_t ASize = 0);
  /// The whole file; its size. A missing file raises EIdFileNotFound.
  virtual uint32_t SendFile(const std::string& AFileName);

  // --- Replies ------------------------------------------------------------

  /// Reads one numbered reply, of one or more lines, into LastReply; its
  /// numeric code.
  int32_t ReadReply();
  /// ReadReply, then CheckReplyCode of its code.
  virtual int32_t ExpectReply(const std::vector<int16_t>& AAllowed);
  /// The code, when AAllowed is empty or holds it; else RaiseReplyError.
  virtual int32_t CheckReplyCode(int32_t ACode, const std::vector<int16_t>& AAllowed);
  /// WriteLn of the command, then ExpectReply.
  virtual int32_t SendCommand(const std::string& ACommand, const std::vector<int16_t>& AAllowed);
  /// EIdProtocolReplyError with LastReply's code and lines.
  [[noreturn]] virtual void RaiseReplyError();
  /// The given class with LastReply's lines as message.
  [[noreturn]] virtual void RaiseReplyErrorAs(const TIdExceptionClass& AClass);
  /// The reply's text form, when it has content; nothing otherwise.
  void WriteReply(const TIdRFCReply& AReply);
  /// Each line and CR LF ("." sent as ".."), then ".".
  void WriteDotTerminated(const TStringList& ALines);

  // --- Properties ---------------------------------------------------------

  ///@{
  /// When set, every received byte loses its high bit (7-bit text).
  bool ASCIIFilter() const { return ASCIIFilter_; }
  void SetASCIIFilter(bool value) { ASCIIFilter_ = value; }
  ///@}
  /// A receive or send returned 0 bytes, or the transport was closed.
  bool PeerClosed() const { return PeerClosed_; }
  /// True while IOHandler is a handler installed with its ownership.
  bool OwnsIOHandler() const { return IOHandler_.Owns(); }
  /// The received bytes not read yet.
  TIdManagedBuffer& InBuffer() { return InBuffer_; }
  /// The connection's intercept; none unless set.
  TIdConnectionIntercept* Intercept() const { return Intercept_; }
  /// Not owned; cleared when the intercept is destroyed.
  void SetIntercept(TIdConnectionIntercept* value);
  /// The handler; none until one is installed.
  TIdIOHandler* IOHandler() const { return IOHandler_.Get(); }
  ///@{
  /// Both free an owned handler first. A handler the connection does not
  /// own must outlive every use of the connection, CloseTransport included;
  /// one handed over is freed by the connection when it disconnects, when
  /// another replaces it, or with the connection.
  void SetIOHandler(TIdIOHandler* value);
  void SetIOHandler(std::unique_ptr<TIdIOHandler> value);
  void SetIOHandler(std::nullptr_t) { SetIOHandler(static_cast<TIdIOHandler*>(nullptr)); }
  ///@}
  /// The last numbered reply read.
  TIdRFCReply& LastReply() { return LastReply_; }
  ///@{
  /// What ReadLn does with a line longer than MaxLineLength: raise (the default) or split it.
  TIdMaxLineAction MaxLineAction() const { return MaxLineAction_; }
  void SetMaxLineAction(TIdMaxLineAction value) { MaxLineAction_ = value; }
  ///@}
  ///@{
  /// The longest line ReadLn accepts by default; 0 or less: no limit.
  int32_t MaxLineLength() const { return MaxLineLength_; }
  void SetMaxLineLength(int32_t value) { MaxLineLength_ = value; }
  ///@}
  /// True when the last ReadLn split a line that was longer than the maximum.
  bool LineSplit() const { return LineSplit_; }
  /// True when the last ReadLn ended because the peer closed before a line was complete.
  bool LineEndedEmpty() const { return LineEndedEmpty_; }
  /// True when the last ReadLn with an explicit time-out ran out of time.
  bool ReadLnTimedOut() const { return ReadLnTimedOut_; }
  ///@{
  /// The time-out of reads in ms that are given none (-1); 0: no limit.
  int32_t ReadTimeout() const { return ReadTimeout_; }
  void SetReadTimeout(int32_t value) { ReadTimeout_ = value; }
  ///@}
  ///@{
  /// The most bytes one receive asks for; values below 1 count as 1.
  int32_t RecvBufferSize() const { return RecvBufferSize_; }
  void SetRecvBufferSize(int32_t value) { RecvBufferSize_ = value < 1 ? 1 : value; }
  ///@}
  ///@{
  /// The chunk size of SendStream; values below 1 count as 1.
  int32_t SendBufferSize() const { return SendBufferSize_; }
  void SetSendBufferSize(int32_t value) { SendBufferSize_ = value < 1 ? 1 : value; }
  ///@}
  /// The handler again, when it is a socket handler; none otherwise.
  TIdIOHandlerSocket* SocketHandler() const { return SocketHandler_; }

  /// Told after the connection has disconnected.
  TNotifyEvent OnDisconnected;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;

 private:
  /// One receive into ReceiveBlock and on into InBuffer; the count added.
  int32_t ReceiveOnce();
  void InstallIOHandler(TMaybeOwned<TIdIOHandler> value);
  /// Detaches an owned handler under the lock and frees it outside.
  void FreeOwnedIOHandler();
  /// The end of a close whose hook has run: closes the handler and lets
  /// the threads waiting for the close go on.
  void FinishClose();
  /// Waits, holding HandlerLock_ in ALock, while another thread closes the
  /// transport: its handler is not to be detached or freed meanwhile.
  void AwaitCloseOnOtherThread(std::unique_lock<std::mutex>& ALock);
  /// Where ReadLn's terminator starts in InBuffer, searching from AFrom; -1
  /// when absent.
  int64_t FindTerminator(const std::string& ATerminator, int64_t AFrom);
  /// The maSplit piece of a line that is too long, or the exception.
  std::string LineTooLong(int64_t AMaxLength);

  bool ASCIIFilter_ = false;
  std::atomic<bool> PeerClosed_{false};
  /// The buffers and the reply live inside the connection rather than on the
  /// heap: one allocation per connection instead of four.
  TIdManagedBuffer InBuffer_;
  TIdConnectionIntercept* Intercept_ = nullptr;
  TMaybeOwned<TIdIOHandler> IOHandler_;
  TIdRFCReply LastReply_;
  TIdMaxLineAction MaxLineAction_ = maException;
  int32_t MaxLineLength_ = kDefaultMaxLineLength;
  bool LineSplit_ = false;
  bool LineEndedEmpty_ = false;
  bool ReadLnTimedOut_ = false;
  int32_t ReadTimeout_ = 0;
  int32_t RecvBufferSize_ = kDefaultBufferSize;
  TIdSimpleBuffer ReceiveBlock_;
  int32_t SendBufferSize_ = kDefaultBufferSize;
  TIdIOHandlerSocket* SocketHandler_ = nullptr;
  /// Guards IOHandler_, SocketHandler_, Intercept_ and ClosingThread_
  /// against CloseTransport from another thread: taken when those change and
  /// when CloseTransport reads them or closes the handler, so that a handler
  /// is never freed while another thread closes it. The connection's own
  /// thread reads the three pointers without it. While it is held only the
  /// handler's own lock is taken (its Close and Connected); never held
  /// across a blocking call, an event or a hook. Taken with no list lock
  /// held: a server closes its peers' connections with the list pinned.
  std::mutex HandlerLock_;
  /// The thread running a close's hook, or none; CloseEnded_ tells the
  /// threads waiting in AwaitCloseOnOtherThread that the close is over.
  std::thread::id ClosingThread_;
  std::condition_variable CloseEnded_;
};

}  // namespace ostrevan
