#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrevan::testing {

// A program started by a test, with its standard input, output and error on
// pipes. Every wait is bounded; the destructor kills and reaps the child if
// it is still running, so a failed test never leaves a process behind.
class TChildProcess {
 public:
  struct TOptions {
    // Run the program in a network namespace of its own (unshare -n), so
    // that it can listen on fixed ports without meeting anything else.
    bool OwnNetworkNamespace = false;
    // Give the program no standard input at all (the pipe is closed).
    bool CloseStdin = false;
    std::vector<std::string> Environment;  // extra NAME=value entries
  };

  TChildProcess(std::vector<std::string> argv, TOptions options);
  explicit TChildProcess(std::vector<std::string> argv) : TChildProcess(std::move(argv), TOptions()) {}
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  pid_t Pid() const { return Pid_; }

  // Writes to the program's standard input; false if it is closed.
  bool Write(const std::string& text);
  void CloseInput();
  // Closes our end of the program's standard output, so that its next
  // write fails.
  void CloseOutput();

  // Reads standard output until it contains `text` at or after byte `from`
  // of everything read so far, or the time is up; true when found.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, size_t from = 0);
  // Everything read from standard output and error so far.
  const std::string& Output() const { return Stdout_; }
  const std::string& ErrorOutput() const { return Stderr_; }

  // Waits for the program to end, reading its output meanwhile unless
  // readOutput is false (a reader that has stalled); the exit status (or
  // 128 + signal), or nothing when the time is up.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout, bool readOutput = true);
  void Signal(int signal);

  // Whether the kernel lets this process make network namespaces.
  static bool CanUseNetworkNamespaces();

 private:
  // Reads whatever is available within the time; false once both pipes end.
  bool Pump(std::chrono::milliseconds timeout);

  pid_t Pid_ = -1;
  int StdinFd_ = -1;
  int StdoutFd_ = -1;
  int StderrFd_ = -1;
  std::string Stdout_;
  std::string Stderr_;
  std::optional<int> ExitStatus_;
};

// The directory CMake builds into, where the programs live.
std::string BuildDir();

}  // namespace ostrevan::testing
