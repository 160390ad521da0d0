// SPDX-License-Identifier: MIT
// The line server over TLS: the same greeting and commands as
// line_server.cpp, each connection encrypted from its first byte, served by
// a pool of peer threads.
//
//   ostrevan-tls-line-server CERT.pem KEY.pem [PORT]   PORT 0 (the default) lets the system choose
//
//   openssl s_client -connect 127.0.0.1:PORT -CAfile CERT.pem -crlf -quiet
//   (on connecting)          200 Ostrevan TLS line server ready
//   UPPER some text          200 SOME TEXT
//   QUIT                     221 Goodbye, with close_notify, and the server closes the connection
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
#include "ostrevan/server/thread_mgr_pool.h"
#include "ostrevan/tls/server_io_handler_tls.h"
#include "ostrevan/version.h"

static_assert(OSTREVAN_TLS, "the example needs Ostrevan built with TLS");

namespace {

using namespace ostrevan;

void SetUpCommands(TIdTCPServer& server) {
  server.Greeting().SetCodeAndText(200, "Ostrevan TLS line server ready");
  server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
  // Each runs on the client's peer thread; the reply goes when it returns.
  TIdCommandHandler* upper = server.CommandHandlers().Add();
  upper->SetCommand("UPPER");
  upper->OnCommand = [](TIdCommand& command) {
    std::string text = command.UnparsedParams();
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    command.Reply().SetCodeAndText(200, text);
  };
  TIdCommandHandler* quit = server.CommandHandlers().Add();
  quit->SetCommand("QUIT");
  quit->OnCommand = [](TIdCommand& command) { command.Reply().SetCodeAndText(221, "Goodbye"); };
  quit->SetDisconnect(true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: ostrevan-tls-line-server CERT.pem KEY.pem [PORT]" << std::endl;
    return 2;
  }
  const int port = argc > 3 ? std::atoi(argv[3]) : 0;
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    // Declared before the server, so that they outlive it.
    TIdServerIOHandlerTLS tls(nullptr);
    tls.Settings().SetCertificateFile(argv[1]);
    tls.Settings().SetKeyFile(argv[2]);
    TIdThreadMgrPool pool(nullptr);
    TIdTCPServer server(nullptr);
    server.SetIOHandler(&tls);
    server.SetThreadMgr(&pool);
    SetUpCommands(server);
    server.SetListenQueue(SOMAXCONN);
    TIdSocketHandle* binding = server.Bindings().Add();
    binding->SetIP("127.0.0.1");
    binding->SetPort(port);
    server.SetActive(true);  // loads the certificate and key, or raises
    std::cout << "Listening on 127.0.0.1 port " << binding->Port() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.SetActive(false);
    return 0;
  } catch (const Exception& e) {
    std::cerr << "ostrevan-tls-line-server: " << e.what() << std::endl;
    return 1;
  }
}
