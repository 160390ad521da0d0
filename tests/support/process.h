// SPDX-License-Identifier: MIT
#pragma once

// Processes a test starts: a program on pipes (TChildProcess), a program
// logging to a file (TSpawnedProcess), a run to the end (RunProgram), a
// forked body (RunInChild), and a scratch directory. Both program classes
// start the program the same way: in a process group of its own, with the
// default signal state, found on PATH or in the sbin folders, and killed
// if the test process dies first. Every wait is bounded and nothing
// outlives the test.

#include <sys/types.h>

#include <chrono>
#include <functional>
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

// A program a test starts, with its output in files. It runs in a process
// group of its own, so that stopping it also ends the processes it forked,
// and it is killed if the test process dies first. The destructor stops it.
// Used by the test's thread only.
class TSpawnedProcess {
 public:
  struct TOptions {
    std::string StdinFile;   // empty: /dev/null
    std::string OutputFile;  // standard output and error; empty: /dev/null
    std::vector<std::string> Environment;  // extra NAME=value entries
  };

  // Starts the program (found on PATH or in /usr/sbin, /sbin); raises
  // std::runtime_error when it cannot be found or started.
  TSpawnedProcess(const std::vector<std::string>& argv, const TOptions& options);
  ~TSpawnedProcess();
  TSpawnedProcess(const TSpawnedProcess&) = delete;
  TSpawnedProcess& operator=(const TSpawnedProcess&) = delete;

  pid_t Pid() const { return Pid_; }
  bool Running();
  // The exit status (128 + signal for a killed one), or nothing when the
  // program is still running after the time.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  // SIGTERM to the group, then SIGKILL after a bounded wait; reaps it.
  void Stop();

 private:
  pid_t Pid_ = -1;
  std::optional<int> Status_;
};

// The program's full path, or "" when it is nowhere to be found.
std::string FindProgram(const std::string& name);

// Runs a program to its end (bounded) and returns its status and output.
struct TRunResult {
  int Status = -1;  // -1: did not end in time
  std::string Output;
};
TRunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A directory of its own under /tmp, removed with everything in it.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return Path_; }
  std::string File(const std::string& name) const { return Path_ + "/" + name; }
  void Write(const std::string& name, const std::string& text, int mode = 0600) const;
  std::string ReadFile(const std::string& name) const;

 private:
  std::string Path_;
};

// How a child process is set up before its body runs.
struct TChildSetup {
  bool OwnNetworkNamespace = false;  // a network of its own: no route out
  bool DropToNobody = false;         // run as uid and gid 65534
  // A network of its own with the loopback up, where the child is root: it
  // may forge datagrams with raw sockets and listen on low ports. A test
  // not run as root gets it through a user namespace (unshare -rn).
  bool OwnLoopbackAsRoot = false;
};

// What the child reported: its body's text, or the reason it could not be
// set up (Skipped), for tests that cannot run on this machine.
struct TChildOutcome {
  bool Skipped = false;
  std::string Text;
};

// Runs body in a forked child and returns the text it returned. An exception
// escaping the body is reported as "exception: <what>". Fork only while the
// test process has no other threads.
TChildOutcome RunInChild(const TChildSetup& setup, const std::function<std::string()>& body);

}  // namespace ostrevan::testing
