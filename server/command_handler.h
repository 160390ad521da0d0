// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/runtime/collection.h"
#include "ostrevan/runtime/string_list.h"
#include "ostrevan/server/rfc_reply.h"

namespace ostrevan {

class TIdCommand;
class TIdPeerThread;
class TIdTCPServer;

/// Runs a command (see TIdCommandHandler::OnCommand).
using TIdCommandEvent = std::function<void(TIdCommand& ASender)>;

/// One text-line command of a server: a command word, how its parameters
/// are cut, the event that runs it and the replies it sends.
///
/// Set up while the server is inactive; while it is active, CheckCommand
/// runs on every peer thread at once and only reads the handler.
class OSTREVAN_EXPORT TIdCommandHandler : public TCollectionItem {
 public:
  /// A handler added to ACollection (a server's CommandHandlers).
  explicit TIdCommandHandler(TCollection* ACollection);
  ~TIdCommandHandler() override;

  /// Tries to handle a line read from AThread's connection; true when this
  /// handler took it. A recognised line gets a TIdCommand and OnCommand; an
  /// exception of OnCommand becomes an error reply when a reply code is
  /// available (the handler's ReplyExceptionCode, else the server's) and the
  /// reply is still to be sent, and passes on otherwise. After the command,
  /// the client is disconnected when Disconnect is set, also when an
  /// exception passes.
  virtual bool CheckCommand(const std::string& AData, TIdPeerThread& AThread);

  /// The server of the collection, or null for a handler in none.
  TIdTCPServer* Server() const;

  ///@{
  /// Separates the command word from its parameters; NUL: nothing does.
  char CmdDelimiter() const { return CmdDelimiter_; }
  void SetCmdDelimiter(char value) { CmdDelimiter_ = value; }
  ///@}
  ///@{
  /// Compared without regard to letter case.
  const std::string& Command() const { return Command_; }
  void SetCommand(std::string value) { Command_ = std::move(value); }
  ///@}
  ///@{
  /// Whether the connection is closed once the command has been answered.
  bool Disconnect() const { return Disconnect_; }
  void SetDisconnect(bool value) { Disconnect_ = value; }
  ///@}
  ///@{
  /// Whether the handler takes commands; a disabled one is passed over.
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool value) { Enabled_ = value; }
  ///@}
  ///@{
  /// The class name followed by the item's ID unless set.
  std::string Name() const;
  void SetName(std::string value) { Name_ = std::move(value); }
  ///@}
  ///@{
  /// A space cuts the parameters as they are; any other character cuts them
  /// and trims each piece.
  char ParamDelimiter() const { return ParamDelimiter_; }
  void SetParamDelimiter(char value) { ParamDelimiter_ = value; }
  ///@}
  ///@{
  /// Whether the parameters are split into the command's Params.
  bool ParseParams() const { return ParseParams_; }
  void SetParseParams(bool value) { ParseParams_ = value; }
  ///@}
  ///@{
  /// 0 defers to the server's ReplyExceptionCode.
  int32_t ReplyExceptionCode() const { return ReplyExceptionCode_; }
  void SetReplyExceptionCode(int32_t value) { ReplyExceptionCode_ = value; }
  ///@}
  ///@{
  /// Sent after a successful command unless the command changes or
  /// suppresses it.
  TIdRFCReply& ReplyNormal() { return *ReplyNormal_; }
  const TIdRFCReply& ReplyNormal() const { return *ReplyNormal_; }
  void SetReplyNormal(const TIdRFCReply& value) { ReplyNormal_->Assign(&value); }
  ///@}
  ///@{
  /// Sent after the reply, dot-terminated, when the command gives no lines.
  TStringList& Response() { return Response_; }
  const TStringList& Response() const { return Response_; }
  void SetResponse(const TStringList& value) { Response_.Assign(&value); }
  ///@}
  ///@{
  /// A number for the application's own use.
  int32_t Tag() const { return Tag_; }
  void SetTag(int32_t value) { Tag_ = value; }
  ///@}

  std::string DisplayName() const override { return Name(); }
  void SetDisplayName(const std::string& value) override { SetName(value); }

  /// Runs the command, on the peer thread, before its reply is sent.
  TIdCommandEvent OnCommand;

 protected:
  /// Copies every property (events included) into another handler.
  void AssignTo(TPersistent* dest) const override;

 private:
  void RunCommand(TIdCommand& ACommand);

  char CmdDelimiter_ = ' ';
  std::string Command_;
  bool Disconnect_ = false;
  bool Enabled_ = true;
  std::optional<std::string> Name_;
  char ParamDelimiter_ = ' ';
  bool ParseParams_ = true;
  int32_t ReplyExceptionCode_ = 0;
  std::unique_ptr<TIdRFCReply> ReplyNormal_;
  TStringList Response_;
  int32_t Tag_ = 0;
};

/// A server's command handlers, in the order they are tried. Set up while
/// the server is inactive.
class OSTREVAN_EXPORT TIdCommandHandlers : public TOwnedCollection<TIdCommandHandler> {
 public:
  /// The handlers of AServer.
  explicit TIdCommandHandlers(TIdTCPServer* AServer);

  /// The server the handlers belong to.
  TIdTCPServer* Server() const { return Server_; }

 private:
  TIdTCPServer* Server_;
};

}  // namespace ostrevan
