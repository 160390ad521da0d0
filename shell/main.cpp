// SPDX-License-Identifier: MIT
#include <string>
#include <vector>

#include "ostrevan/runtime/application.h"
#include "ostrevan/shell/console_io.h"
#include "ostrevan/shell/daemon_shell.h"

int main(int argc, char** argv) {
  using namespace ostrevan;
  TConsole::EnsureStandardDescriptors();
  int status = 0;
  {
    // The console first: it blocks the terminating signals before any
    // server thread exists, so that every thread inherits that mask.
    TConsole console;
    TApplication application;  // deletes whatever server it still owns
    TDaemonShell shell(application, console);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    status = shell.Run(arguments);
  }
  return status;
}
