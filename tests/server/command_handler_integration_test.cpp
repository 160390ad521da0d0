// SPDX-License-Identifier: MIT
#include "ostrevan/server/command_handler.h"

#include <gtest/gtest.h>

#include <string>

#include "ostrevan/server/command.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"
#include "tests/threads/probe_thread.h"

namespace ostrevan {
namespace {

using testing::ActivateOnLoopback;
using testing::Journal;
using testing::TTestClient;

// "200 <command>[<parameter text>]" and "|<param>@<position>" per entry.
void Echo(TIdCommand& command) {
  std::string text = command.CommandHandler()->Command() + "[" + command.UnparsedParams() + "]";
  for (int i = 0; i < command.Params().Count(); ++i) {
    text += "|" + command.Params()[i] + "@" + std::to_string(command.Params().Objects(i));
  }
  command.Reply().SetCodeAndText(200, text);
}

TIdCommandHandler* AddHandler(TIdTCPServer& server, const std::string& command,
                              TIdCommandEvent onCommand) {
  TIdCommandHandler* handler = server.CommandHandlers().Add();
  handler->SetCommand(command);
  handler->OnCommand = std::move(onCommand);
  return handler;
}

TEST(CommandHandlers, LinesReachTheirHandlersOverTheConnection) {
  TIdTCPServer server(nullptr);
  Journal journal;
  server.OnBeforeCommandHandler = [&](TIdTCPServer&, const std::string& line, TIdPeerThread&) {
    journal.Add("before " + line);
  };
  server.OnAfterCommandHandler = [&](TIdTCPServer&, TIdPeerThread&) { journal.Add("after"); };
  server.SetReplyExceptionCode(500);
  server.ReplyUnknownCommand().SetCodeAndText(400, "unknown");
  AddHandler(server, "QUIT", Echo);
  AddHandler(server, "GET", Echo)->SetCmdDelimiter('\0');
  AddHandler(server, "SPLIT", Echo);
  AddHandler(server, "CSV", Echo)->SetParamDelimiter(',');
  AddHandler(server, "RESP", [](TIdCommand& command) {
    command.SetPerformReply(false);
    command.Response().Add("first");
    command.Response().Add(".");
  });
  AddHandler(server, "FAIL", [](TIdCommand&) { throw EIdException("boom"); });
  TIdCommandHandler* bye = AddHandler(server, "BYE", nullptr);
  bye->ReplyNormal().SetNumericCode(221);
  server.ReplyTexts().Add()->SetCodeAndText(221, "bye");
  bye->SetDisconnect(true);
  EXPECT_EQ(bye->Name(), "TIdCommandHandler6");

  TTestClient client(ActivateOnLoopback(server));
  auto ask = [&](const std::string& line) {
    client.Send(line + "\n");
    return client.ReceiveLine();
  };
  EXPECT_EQ(ask("quit"), "200 QUIT[]\r\n");
  EXPECT_EQ(ask("Quit now"), "200 QUIT[now]|now@1\r\n");
  EXPECT_EQ(ask("QUITE"), "400 unknown\r\n");
  EXPECT_EQ(ask("GETX"), "200 GET[X]|X@1\r\n");
  EXPECT_EQ(ask("SPLIT a  b"), "200 SPLIT[a  b]|a@1|b@4\r\n");
  EXPECT_EQ(ask("CSV  a , ,b "), "200 CSV[ a , ,b ]|a@2|@5|b@7\r\n");
  client.Send("\n");  // an empty line calls no handler and no event
  EXPECT_EQ(ask("RESP"), "first\r\n");  // only the text block, no reply
  EXPECT_EQ(client.ReceiveLine(), "..\r\n");
  EXPECT_EQ(client.ReceiveLine(), ".\r\n");
  EXPECT_EQ(ask("FAIL"), "500 boom\r\n");  // and the server reads on
  EXPECT_EQ(ask("BYE"), "221 bye\r\n");
  EXPECT_TRUE(client.AwaitClose());

  EXPECT_TRUE(journal.WaitCount("after", 9));
  EXPECT_EQ(journal.Count("before QUITE"), 1);
  EXPECT_EQ(journal.Count("before "), 0);
  server.SetActive(false);
}

TEST(CommandHandlers, CatchAllHandlerAndTheUnknownCommandAfterADisabledLastHandler) {
  TIdTCPServer server(nullptr);
  server.ReplyUnknownCommand().SetCodeAndText(400, "unknown");
  AddHandler(server, "ONE", Echo);
  TIdCommandHandler* all = AddHandler(server, "", Echo);
  all->SetCmdDelimiter('\0');
  all->SetEnabled(false);
  const uint16_t port = ActivateOnLoopback(server);
  {
    TTestClient client(port);
    client.Send("two words\n");
    EXPECT_EQ(client.ReceiveLine(), "400 unknown\r\n");
  }
  server.SetActive(false);
  all->SetEnabled(true);
  server.SetActive(true);
  TTestClient client(port);
  client.Send("two words\n");
  EXPECT_EQ(client.ReceiveLine(), "200 [two words]|two@1|words@5\r\n");
  client.Send("ONE\n");
  EXPECT_EQ(client.ReceiveLine(), "200 ONE[]\r\n");
  server.SetActive(false);
}

TEST(CommandHandlers, WithoutAnyAnswerForAnUnknownLineThePeerEndsWithAnError) {
  TIdTCPServer server(nullptr);
  Journal journal;
  server.OnException = [&](TIdPeerThread&, const std::exception& e) {
    journal.Add(testing::Describe(e));
  };
  AddHandler(server, "ONE", Echo);
  TTestClient client(ActivateOnLoopback(server));
  client.Send("two\n");
  EXPECT_TRUE(client.AwaitClose());
  EXPECT_TRUE(journal.WaitCount("EIdTCPServerError: No command handler found.", 1));
  server.SetActive(false);
}

}  // namespace
}  // namespace ostrevan
