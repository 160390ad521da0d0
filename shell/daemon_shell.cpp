#include "shell/daemon_shell.h"

#include "runtime/exception.h"
#include "runtime/sysutils.h"
#include "time/time_server.h"

namespace ostrevan {

namespace {

constexpr int32_t kDefaultPort = 37;

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TDaemonShell::TDaemonShell(TApplication& application, TConsole& console)
    : Application_(application), Console_(console) {}

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
    Console_.Print("Time server started on port " + IntToStr(ServerPort_) + ".");
    Console_.Print("Enter ? for list of commands.");
    RunConsole(std::string());
  } catch (...) {
    // The operator sees only this message, never the error's own text.
    try {
      Console_.Print("Could not start the server!");
    } catch (...) {
      // Standard output is gone as well.
    }
  }
  return 0;
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
  CurrentServer_ = new TIdTimeServer(&Application_);
  CurrentServer_->SetDefaultPort(ServerPort_);
  CurrentServer_->SetActive(true);
}

void TDaemonShell::StopServer() {
  Console_.Print("Server stopped by user.");
  Console_.Print("");
  // No server exists only when a port change failed while creating one.
  if (CurrentServer_ == nullptr) return;
  CurrentServer_->SetActive(false);
  delete CurrentServer_;
  CurrentServer_ = nullptr;
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
        StopServer();
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
        StopServer();
        return;
    }
  }
}

void TDaemonShell::ServeWithoutConsole() {
  // WaitForSignal returns only for SIGTERM; SIGINT and SIGQUIT raise.
  Console_.WaitForSignal();
  StopServer();
}

void TDaemonShell::ChangePort(const std::string& line) {
  // The argument is everything after the first blank, untrimmed; a line
  // without a blank is its own argument.
  auto blank = line.find(' ');
  std::string argument = blank == std::string::npos ? line : line.substr(blank + 1);
  try {
    ServerPort_ = StrToInt(argument);
    CurrentServer_->SetActive(false);
    delete CurrentServer_;
    CurrentServer_ = nullptr;
    CurrentServer_ = new TIdTimeServer(&Application_);
    CurrentServer_->SetDefaultPort(ServerPort_);
    CurrentServer_->SetActive(true);
    Console_.Print("Port changed to " + IntToStr(ServerPort_) + ".");
  } catch (...) {
    try {
      if (CurrentServer_ != nullptr) CurrentServer_->SetActive(true);
    } catch (...) {
      // A second failure to open the port leaves the new server inactive.
    }
    Console_.Print("Invalid port, or port could not be opened.");
  }
}

}  // namespace ostrevan
