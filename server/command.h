// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"
#include "ostrevan/runtime/string_list.h"
#include "ostrevan/server/rfc_reply.h"

namespace ostrevan {

class TIdCommandHandler;
class TIdPeerThread;

/// One call of one command handler, made for a recognised line and freed
/// after it. Lives on the peer thread of the connection.
class OSTREVAN_EXPORT TIdCommand : public TObject {
 public:
  TIdCommand();
  ~TIdCommand() override;

  /// Calls the handler's OnCommand with this command, when set.
  virtual void PerformCommand();
  /// Sends Reply now (completed from the server's ReplyTexts when it has no
  /// text) and clears PerformReply.
  void SendReply();

  ///@{
  /// The handler that took the command.
  TIdCommandHandler* CommandHandler() const { return CommandHandler_; }
  void SetCommandHandler(TIdCommandHandler* value) { CommandHandler_ = value; }
  ///@}
  /// The parameters; each entry's value is its 1-based position in
  /// UnparsedParams.
  TStringList& Params() { return *Params_; }
  ///@{
  /// True while the reply is still to be sent.
  bool PerformReply() const { return PerformReply_; }
  void SetPerformReply(bool value) { PerformReply_ = value; }
  ///@}
  ///@{
  /// The line as received.
  const std::string& RawLine() const { return RawLine_; }
  void SetRawLine(std::string value) { RawLine_ = std::move(value); }
  ///@}
  /// The reply to send; the handler's ReplyNormal to start with.
  TIdRFCReply& Reply() { return *Reply_; }
  /// Lines to send after the reply, dot-terminated.
  TStringList& Response() { return *Response_; }
  ///@{
  /// The peer thread the command came in on.
  TIdPeerThread* Thread() const { return Thread_; }
  void SetThread(TIdPeerThread* value) { Thread_ = value; }
  ///@}
  ///@{
  /// The text after the command word and its delimiter.
  const std::string& UnparsedParams() const { return UnparsedParams_; }
  void SetUnparsedParams(std::string value) { UnparsedParams_ = std::move(value); }
  ///@}

 private:
  TIdCommandHandler* CommandHandler_ = nullptr;
  std::unique_ptr<TStringList> Params_;
  bool PerformReply_ = false;
  std::string RawLine_;
  std::unique_ptr<TIdRFCReply> Reply_;
  std::unique_ptr<TStringList> Response_;
  TIdPeerThread* Thread_ = nullptr;
  std::string UnparsedParams_;
};

}  // namespace ostrevan
