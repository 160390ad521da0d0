// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ostrevan/runtime/application.h"
#include "ostrevan/shell/console_io.h"
#include "ostrevan/shell/service_manager.h"
#include "ostrevan/shell/service_monitor.h"

namespace ostrevan {

class TIdTimeServer;
class TIdTimeUDPServer;

// The program: banner, command line, the time service over TCP and UDP on
// one port, and the operator console. Everything here runs on the main
// thread; the servers' own threads never touch this object.
class TDaemonShell {
 public:
  TDaemonShell(TApplication& application, TConsole& console);
  ~TDaemonShell();

  // The main sequence. Returns the exit status: 1 when the server could
  // not be started at start-up, 0 on every other path. An input or output
  // error on the console before the start ends the program; after it, the
  // console alone.
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
  // PORT's work: converts the argument, stops the server and starts a new
  // one on that port, trying a second time when the start fails. True when
  // the server now serves the new port.
  bool MovePort(const std::string& argument);
  // Creates the TCP and the UDP server on ServerPort_ and activates them.
  void StartServer();
  // At the first start, gives the servers the sockets the service manager
  // passed: the stream socket to TCP, the datagram socket to UDP.
  void AdoptPassedSockets();
  // Activates both servers, or neither: when UDP cannot be opened, TCP is
  // stopped again and the error passes on. UDP takes the port TCP has, the
  // one the system chose included. The service manager hears the outcome.
  void ActivateServers();
  // Activates one side; a failure is described in LastFailure_ for the
  // service manager and passes on.
  void ActivateSide(const std::string& side, int32_t port, const std::function<void()>& activate);
  // Deactivates and destroys the servers there are.
  void StopServer();
  // EXIT, QUIT, SIGTERM and SIGHUP: the message, then StopServer.
  void StopByUser();
  // After standard input has ended, or the console failed (a read or a
  // write), the server keeps serving until an operator signal; SIGTERM and
  // SIGHUP stop it as EXIT does.
  void ServeWithoutConsole();

  TApplication& Application_;
  TConsole& Console_;
  // Read from the environment before any thread exists (the shell is made
  // after the console has blocked the signals, before the servers start).
  TServiceManager ServiceManager_;
  TServiceMonitor Monitor_{ServiceManager_};
  TOpenFailure LastFailure_;
  bool PassedSocketsTaken_ = false;
  int32_t ServerPort_ = 37;
  // Owned here alone, not through the application's component list: freed
  // on EXIT or a port change, or with the shell, which goes before the
  // application.
  std::unique_ptr<TIdTimeServer> CurrentServer_;
  std::unique_ptr<TIdTimeUDPServer> CurrentUDPServer_;
};

}  // namespace ostrevan
