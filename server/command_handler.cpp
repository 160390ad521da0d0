// SPDX-License-Identifier: MIT
#include "ostrevan/server/command_handler.h"

#include "ostrevan/runtime/sysutils.h"
#include "ostrevan/server/command.h"
#include "ostrevan/server/command_match.h"
#include "ostrevan/server/param_split.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"

namespace ostrevan {

TIdCommandHandler::TIdCommandHandler(TCollection* ACollection)
    : TCollectionItem(ACollection), ReplyNormal_(std::make_unique<TIdRFCReply>()) {}

TIdCommandHandler::~TIdCommandHandler() = default;

TIdTCPServer* TIdCommandHandler::Server() const {
  auto* handlers = dynamic_cast<TIdCommandHandlers*>(Collection());
  return handlers != nullptr ? handlers->Server() : nullptr;
}

std::string TIdCommandHandler::Name() const {
  return Name_ ? *Name_ : ClassName() + IntToStr(ID());
}

bool TIdCommandHandler::CheckCommand(const std::string& AData, TIdPeerThread& AThread) {
  std::string params;
  if (!MatchCommand(Command_, CmdDelimiter_, AData, params)) return false;
  TIdTCPServerConnection* connection = AThread.Connection();
  try {
    TIdCommand command;
    command.SetRawLine(AData);
    command.SetCommandHandler(this);
    command.SetThread(&AThread);
    command.SetUnparsedParams(std::move(params));
    command.Params().Clear();
    if (ParseParams_) {
      if (ParamDelimiter_ == ' ') {
        SplitParams(command.UnparsedParams(), command.Params(), " ");
      } else {
        SplitTrimmedParams(command.UnparsedParams(), command.Params(),
                           std::string(1, ParamDelimiter_));
      }
    }
    command.SetPerformReply(true);
    command.Reply().Assign(ReplyNormal_.get());
    RunCommand(command);
  } catch (...) {
    if (Disconnect_) connection->Disconnect();
    throw;
  }
  if (Disconnect_) connection->Disconnect();
  return true;
}

void TIdCommandHandler::RunCommand(TIdCommand& ACommand) {
  try {
    ACommand.PerformCommand();
  } catch (const std::exception& e) {
    int32_t code = 0;
    if (ACommand.PerformReply()) {
      TIdTCPServer* server = Server();
      if (ReplyExceptionCode_ > 0) {
        code = ReplyExceptionCode_;
      } else if (server != nullptr && server->ReplyExceptionCode() > 0) {
        code = server->ReplyExceptionCode();
      }
    }
    if (code <= 0) throw;
    ACommand.Reply().SetCodeAndText(code, e.what());
    ACommand.SendReply();
  }
  if (ACommand.PerformReply()) ACommand.SendReply();
  TIdTCPServerConnection* connection = ACommand.Thread()->Connection();
  if (ACommand.Response().Count() > 0) {
    connection->WriteDotTerminated(ACommand.Response());
  } else if (Response_.Count() > 0) {
    connection->WriteDotTerminated(Response_);
  }
}

void TIdCommandHandler::AssignTo(TPersistent* dest) const {
  auto* target = dynamic_cast<TIdCommandHandler*>(dest);
  if (target == nullptr) {
    TCollectionItem::AssignTo(dest);
    return;
  }
  target->CmdDelimiter_ = CmdDelimiter_;
  target->Command_ = Command_;
  target->Disconnect_ = Disconnect_;
  target->Enabled_ = Enabled_;
  target->Name_ = Name_;
  target->ParamDelimiter_ = ParamDelimiter_;
  target->ParseParams_ = ParseParams_;
  target->ReplyExceptionCode_ = ReplyExceptionCode_;
  target->ReplyNormal_->Assign(ReplyNormal_.get());
  target->Response_.Assign(&Response_);
  target->Tag_ = Tag_;
  target->OnCommand = OnCommand;
}

TIdCommandHandlers::TIdCommandHandlers(TIdTCPServer* AServer)
    : TOwnedCollection<TIdCommandHandler>(AServer), Server_(AServer) {}

}  // namespace ostrevan
