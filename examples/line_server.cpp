// SPDX-License-Identifier: MIT
// A line server on the Ostrevan framework: a client is greeted, sends
// commands one line at a time and gets a numeric reply to each.
//
//   ostrevan-line-server [PORT]      PORT 0 (the default) lets the system choose
//
//   (on connecting)          200 Ostrevan line server ready
//   UPPER some text          200 SOME TEXT
//   QUIT                     221 Goodbye, and the server closes the connection
//   anything else            500 Unknown command
//
// It listens on 127.0.0.1, prints the port it got, and runs until SIGINT or
// SIGTERM.
#include <signal.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdlib>
#include <iostream>
#include <string>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/server/command.h"
#include "ostrevan/server/command_handler.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/version.h"

// The framework's version, for code that needs a feature of a given release.
static_assert(OSTREVAN_VERSION >= 20100, "the example needs Ostrevan 2.1.0 or later");

namespace {

using namespace ostrevan;

TIdCommandHandler* AddCommand(TIdTCPServer& server, const std::string& word,
                              TIdCommandEvent onCommand) {
  TIdCommandHandler* handler = server.CommandHandlers().Add();
  handler->SetCommand(word);
  handler->OnCommand = std::move(onCommand);
  return handler;
}

void SetUpCommands(TIdTCPServer& server) {
  server.Greeting().SetCodeAndText(200, "Ostrevan line server ready");
  server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
  // Runs on the client's peer thread; the reply is sent when it returns.
  AddCommand(server, "UPPER", [](TIdCommand& command) {
    std::string text = command.UnparsedParams();
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    command.Reply().SetCodeAndText(200, text);
  });
  AddCommand(server, "QUIT", [](TIdCommand& command) {
    command.Reply().SetCodeAndText(221, "Goodbye");
  })->SetDisconnect(true);
}

}  // namespace

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 0;
  // Blocked before the server starts its threads, which inherit the mask, so
  // that the signals reach only the sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    TIdTCPServer server(nullptr);
    SetUpCommands(server);
    // A burst of clients can arrive faster than the listener takes them;
    // beyond the framework's default backlog of 15 the system drops their
    // connects, which they repeat only after a second or more. The system
    // caps this at net.core.somaxconn.
    server.SetListenQueue(SOMAXCONN);
    TIdSocketHandle* binding = server.Bindings().Add();
    binding->SetIP("127.0.0.1");
    binding->SetPort(port);
    server.SetActive(true);
    std::cout << "Listening on 127.0.0.1 port " << binding->Port() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.SetActive(false);  // disconnects the clients and waits for their threads
    return 0;
  } catch (const Exception& e) {
    std::cerr << "ostrevan-line-server: " << e.what() << std::endl;
    return 1;
  }
}
