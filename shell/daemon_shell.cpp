// SPDX-License-Identifier: MIT
#include "ostrevan/shell/daemon_shell.h"

#include <sys/socket.h>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/sysutils.h"
#include "ostrevan/time/time_server.h"
#include "ostrevan/time/time_udp_server.h"

namespace ostrevan {

namespace {

constexpr int32_t kDefaultPort = 37;

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TDaemonShell::TDaemonShell(TApplication& application, TConsole& console)
    : Application_(application), Console_(console) {}

TDaemonShell::~TDaemonShell() = default;

int TDaemonShell::Run(const std::vector<std::string>& arguments) {
  try {
    PrintBanner();
    ServerPort_ = kDefaultPort;
    const std::string argument = arguments.empty() ? std::string() : arguments.front();
    if (Contains(argument, "-?") || Contains(argument, "-H")) {
      PrintUsage();
      Application_.Terminate();
      return 0;
    }
    if (!argument.empty()) ServerPort_ = StrToIntDef(argument, kDefaultPort);
  } catch (...) {
    // The banner or usage text could not be written: nothing more to say.
    return 0;
  }

  try {
    StartServer();
  } catch (...) {
    // Status 1, so that a service manager or script sees the failure.
    if (LastFailure_.Reason.empty()) LastFailure_.Reason = "Could not start the server";
    Monitor_.Failed(LastFailure_.Reason, LastFailure_.Error);
    PrintCouldNotStart();
    return 1;
  }
  // From here on the server runs: a console whose terminal, pipe or file
  // fails ends as at the end of input, and the server serves on until a
  // stop signal. Ending it here would take a healthy service off the air
  // with a status that tells a service manager all is well.
  Console_.EndOnStreamErrors();
  try {
    Console_.Print("Time server started on port " + IntToStr(ServerPort_) + ".");
    Console_.Print("Enter ? for list of commands.");
    RunConsole(std::string());
  } catch (...) {
    // SIGINT or SIGQUIT after a good start: the same message, but the
    // server did run, so the status stays 0.
    PrintCouldNotStart();
  }
  return 0;
}

void TDaemonShell::PrintCouldNotStart() {
  // The operator sees only this message, never the error's own text.
  try {
    Console_.Print("Could not start the server!");
  } catch (...) {
    // Standard output is gone as well.
  }
}

void TDaemonShell::PrintBanner() {
  Console_.Print("");
  Console_.Print("Ostrevan v2.1");
  Console_.Print("Copyright (c) 2026 the Ostrevan developers");
  Console_.Print("");
  Console_.Print("Contact: ostrevan@example.org");
  Console_.Print("Web: https://ostrevan.example.org/");
  Console_.Print("");
  Console_.Print("");
}

void TDaemonShell::PrintUsage() {
  Console_.Print(
      "Command line parameters for Ostrevan daemon: \r\n"
      "\r\n"
      "[port] = Port to use\r\n"
      "-? = This help screen\r\n"
      "\r\n"
      "Time Synchronization (NTP) server.");
  Console_.Print("");
}

void TDaemonShell::PrintHelp() {
  Console_.Print("");
  Console_.Print("Commands:");
  Console_.Print("HELP = This help screen");
  Console_.Print("PORT = Change port. Parameters = port.");
  Console_.Print("EXIT = Terminate the program");
}

void TDaemonShell::StartServer() {
  CurrentServer_ = std::make_unique<TIdTimeServer>(nullptr);
  // The framework's backlog of 15 overflows in a burst of connects, and
  // the kernel then drops SYNs that the client resends only after a second
  // or more; the kernel caps this at net.core.somaxconn.
  CurrentServer_->SetListenQueue(SOMAXCONN);
  CurrentServer_->SetDefaultPort(ServerPort_);
  CurrentUDPServer_ = std::make_unique<TIdTimeUDPServer>(nullptr);
  AdoptPassedSockets();
  ActivateServers();
}

void TDaemonShell::AdoptPassedSockets() {
  // Only the first start serves on them: deactivation closes this
  // process's descriptors, and a port move opens the new port as ever.
  if (PassedSocketsTaken_) return;
  PassedSocketsTaken_ = true;
  const TServiceManager::TPassedSockets& passed = ServiceManager_.Passed();
  if (passed.Stream >= 0) {
    TIdSocketHandle* binding = CurrentServer_->Bindings().Add();
    binding->Adopt(passed.Stream);
    // The port the messages name is the one served.
    ServerPort_ = binding->Port();
  }
  if (passed.Datagram >= 0) CurrentUDPServer_->Bindings().Add()->Adopt(passed.Datagram);
}

void TDaemonShell::ActivateServers() {
  ActivateSide("TCP", ServerPort_, [this] { CurrentServer_->SetActive(true); });
  const int32_t port = CurrentServer_->Bindings().Items(0)->Port();
  if (!CurrentUDPServer_->Active()) {
    try {
      CurrentUDPServer_->SetDefaultPort(port);
      TIdSocketHandles& bindings = CurrentUDPServer_->Bindings();
      for (int i = 0; i < bindings.Count(); ++i) {
        if (!bindings.Items(i)->Adopted()) bindings.Items(i)->SetPort(port);
      }
      ActivateSide("UDP", port, [this] { CurrentUDPServer_->SetActive(true); });
    } catch (...) {
      CurrentServer_->SetActive(false);
      throw;
    }
  }
  Monitor_.Serving(port, *CurrentServer_, *CurrentUDPServer_);
}

void TDaemonShell::ActivateSide(const std::string& side, int32_t port,
                                const std::function<void()>& activate) {
  try {
    activate();
  } catch (...) {
    LastFailure_ = DescribeOpenFailure(side, port, std::current_exception());
    throw;
  }
}

void TDaemonShell::StopServer() {
  Monitor_.Unwatch();
  // A server is missing only when a port change failed while creating it.
  // UDP first: its stop cannot fail, TCP's can (peers that do not end).
  if (CurrentUDPServer_ != nullptr) {
    CurrentUDPServer_->SetActive(false);
    CurrentUDPServer_.reset();
  }
  if (CurrentServer_ == nullptr) return;
  CurrentServer_->SetActive(false);
  CurrentServer_.reset();
}

void TDaemonShell::StopByUser() {
  Monitor_.Stopping();
  Console_.Print("Server stopped by user.");
  Console_.Print("");
  StopServer();
}

void TDaemonShell::RunConsole(std::string line) {
  for (;;) {
    line = UpperCase(line);
    if (!line.empty()) {
      if (Contains(line, "HELP") || line == "?") {
        PrintHelp();
        Application_.Terminate();
      }
      if (Contains(line, "PORT")) ChangePort(line);
      if (Contains(line, "EXIT") || Contains(line, "QUIT")) {
        StopByUser();
        Application_.Terminate();
        return;
      }
    }
    Console_.Print("");
    Console_.Write("> ");
    switch (Console_.ReadLine(line)) {
      case TConsoleEvent::Line:
        break;
      case TConsoleEvent::EndOfInput:
        ServeWithoutConsole();
        return;
      case TConsoleEvent::StopRequested:
        StopByUser();
        return;
    }
  }
}

void TDaemonShell::ServeWithoutConsole() {
  // WaitForSignal returns only for SIGTERM and SIGHUP; SIGINT and SIGQUIT
  // raise.
  Console_.WaitForSignal();
  StopByUser();
}

void TDaemonShell::ChangePort(const std::string& line) {
  // The argument is everything after the first blank, untrimmed; a line
  // without a blank is its own argument.
  auto blank = line.find(' ');
  std::string argument = blank == std::string::npos ? line : line.substr(blank + 1);
  if (MovePort(argument)) {
    Console_.Print("Port changed to " + IntToStr(ServerPort_) + ".");
  } else {
    // A port that could not be opened; an invalid number changes nothing.
    if (!LastFailure_.Reason.empty()) Monitor_.Failed(LastFailure_.Reason, LastFailure_.Error);
    Console_.Print("Invalid port, or port could not be opened.");
  }
}

bool TDaemonShell::MovePort(const std::string& argument) {
  LastFailure_ = TOpenFailure();
  bool converted = false;
  try {
    ServerPort_ = StrToInt(argument);
    converted = true;
    StopServer();
    StartServer();
    return true;
  } catch (...) {
    // A second attempt to open the port of the server there is. After a
    // failed activation that is the new server, and when this opens it the
    // move has worked as surely as at the first attempt; after a conversion
    // error it is the current one, and the command has failed whatever this
    // does.
    try {
      if (CurrentServer_ != nullptr && CurrentUDPServer_ != nullptr) {
        ActivateServers();
        return converted;
      }
    } catch (...) {
      // A second failure to open the port leaves the new server inactive.
    }
    return false;
  }
}

}  // namespace ostrevan
