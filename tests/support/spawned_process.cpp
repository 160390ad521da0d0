#include "tests/support/spawned_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ostrevan::testing {

namespace {

constexpr auto StopWait = std::chrono::seconds(5);
constexpr auto PollStep = std::chrono::milliseconds(10);

// The child's side, between fork and exec: only calls that are safe there.
[[noreturn]] void ExecChild(const char* path, char* const* argv, char* const* envp, int input,
                            int output) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  dup2(input, 0);
  dup2(output, 1);
  dup2(output, 2);
  execve(path, argv, envp);
  _exit(127);
}

int OpenOrThrow(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  std::string dirs = getenv("PATH") ? getenv("PATH") : "";
  dirs += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, ':');) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

TSpawnedProcess::TSpawnedProcess(const std::vector<std::string>& argv, const TOptions& options) {
  if (argv.empty()) throw std::runtime_error("no program given");
  const std::string path = FindProgram(argv[0]);
  if (path.empty()) throw std::runtime_error("program not found: " + argv[0]);

  // Everything the child needs is made before the fork.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.insert(environment.end(), options.Environment.begin(), options.Environment.end());
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int input = OpenOrThrow(options.StdinFile.empty() ? "/dev/null" : options.StdinFile,
                                O_RDONLY);
  int output = -1;
  try {
    output = OpenOrThrow(options.OutputFile.empty() ? "/dev/null" : options.OutputFile,
                         O_WRONLY | O_CREAT | O_APPEND);
  } catch (...) {
    close(input);
    throw;
  }
  Pid_ = fork();
  if (Pid_ == 0) ExecChild(path.c_str(), args.data(), envp.data(), input, output);
  const int forkError = errno;
  close(input);
  close(output);
  if (Pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
  // Also set here, so that the group exists before the first Stop.
  setpgid(Pid_, Pid_);
}

TSpawnedProcess::~TSpawnedProcess() { Stop(); }

bool TSpawnedProcess::Running() { return !WaitForExit(std::chrono::milliseconds(0)).has_value(); }

// The status is looked at without reaping: until Stop reaps the program, its
// PID, and so its group's ID, cannot pass to another process.
std::optional<int> TSpawnedProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Status_ && Pid_ > 0) {
    siginfo_t info;
    std::memset(&info, 0, sizeof(info));
    const int done = waitid(P_PID, static_cast<id_t>(Pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (done == 0 && info.si_pid == Pid_) {
      Status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    } else if (done < 0 && errno != EINTR) {
      Status_ = -1;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(PollStep);
    }
  }
  return Status_;
}

void TSpawnedProcess::Stop() {
  if (Pid_ <= 0) return;
  if (!Status_) {
    kill(-Pid_, SIGTERM);
    if (!WaitForExit(StopWait)) {
      kill(-Pid_, SIGKILL);
      WaitForExit(StopWait);
    }
  }
  // Whatever the program left in its group goes with it; then it is reaped.
  kill(-Pid_, SIGKILL);
  int raw = 0;
  while (waitpid(Pid_, &raw, 0) < 0 && errno == EINTR) {
  }
  Pid_ = -1;
}

TRunResult RunProgram(const std::vector<std::string>& argv, const std::string& input,
                      std::chrono::milliseconds timeout) {
  TTempDir dir;
  TSpawnedProcess::TOptions options;
  options.OutputFile = dir.File("output");
  if (!input.empty()) {
    dir.Write("input", input);
    options.StdinFile = dir.File("input");
  }
  TRunResult result;
  {
    TSpawnedProcess process(argv, options);
    const std::optional<int> status = process.WaitForExit(timeout);
    if (status) result.Status = *status;
  }
  result.Output = dir.ReadFile("output");
  return result;
}

TTempDir::TTempDir() {
  char pattern[] = "/tmp/ostrevan-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  Path_ = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(Path_, ignored);
}

void TTempDir::Write(const std::string& name, const std::string& text, int mode) const {
  const std::string path = File(name);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string TTempDir::ReadFile(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace ostrevan::testing
