#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/application.h"
#include "shell/console_io.h"

namespace ostrevan {

class TIdTimeServer;

// The program: banner, command line, the one time server and the operator
// console. Everything here runs on the main thread; the server's own
// threads never touch this object.
class TDaemonShell {
 public:
  TDaemonShell(TApplication& application, TConsole& console);

  // The main sequence. Returns the exit status: 1 when the server could
  // not be started at start-up, 0 on every other path.
  int Run(const std::vector<std::string>& arguments);

  // Processes the given line, then prompts and reads further lines until a
  // line (or SIGTERM or SIGHUP) stops the program.
  void RunConsole(std::string line);

  int32_t ServerPort() const { return ServerPort_; }

 private:
  void PrintBanner();
  void PrintUsage();
  void PrintHelp();
  void PrintCouldNotStart();
  void ChangePort(const std::string& line);
  // Creates CurrentServer_ on ServerPort_ and activates it.
  void StartServer();
  // Deactivates and destroys CurrentServer_, if there is one.
  void StopServer();
  // EXIT, QUIT, SIGTERM and SIGHUP: the message, then StopServer.
  void StopByUser();
  // After standard input has ended the server keeps serving until an
  // operator signal; SIGTERM and SIGHUP stop it as EXIT does.
  void ServeWithoutConsole();

  TApplication& Application_;
  TConsole& Console_;
  int32_t ServerPort_ = 37;
  TIdTimeServer* CurrentServer_ = nullptr;  // owned by Application_
};

}  // namespace ostrevan
