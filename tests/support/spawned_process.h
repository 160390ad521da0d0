#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ostrevan::testing {

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

}  // namespace ostrevan::testing
