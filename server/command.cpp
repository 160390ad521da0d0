// SPDX-License-Identifier: MIT
#include "ostrevan/server/command.h"

#include "ostrevan/server/command_handler.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"

namespace ostrevan {

TIdCommand::TIdCommand()
    : Params_(std::make_unique<TStringList>()),
      Reply_(std::make_unique<TIdRFCReply>()),
      Response_(std::make_unique<TStringList>()) {}

TIdCommand::~TIdCommand() = default;

void TIdCommand::PerformCommand() {
  if (CommandHandler_ != nullptr && CommandHandler_->OnCommand) CommandHandler_->OnCommand(*this);
}

void TIdCommand::SendReply() {
  PerformReply_ = false;
  TIdTCPServer* server = CommandHandler_ != nullptr ? CommandHandler_->Server() : nullptr;
  if (server != nullptr) server->ReplyTexts().CompleteReply(*Reply_);
  Thread_->Connection()->WriteReply(*Reply_);
}

}  // namespace ostrevan
