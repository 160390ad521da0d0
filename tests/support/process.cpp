// SPDX-License-Identifier: MIT
#include "tests/support/process.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/wait.h"

extern char** environ;

namespace ostrevan::testing {

namespace {

void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

constexpr auto StopWait = std::chrono::seconds(5);
constexpr auto PollStep = std::chrono::milliseconds(10);

// A program's path, arguments and environment (this process's and the
// extra entries), all made before the fork: the child may only exec them.
class TExecPlan {
 public:
  TExecPlan(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment)
      : Arguments_(argv) {
    if (argv.empty()) throw std::runtime_error("no program given");
    Path_ = FindProgram(argv[0]);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (!Overridden(*entry, extraEnvironment)) Environment_.emplace_back(*entry);
    }
    Environment_.insert(Environment_.end(), extraEnvironment.begin(), extraEnvironment.end());
    for (std::string& arg : Arguments_) Argv_.push_back(arg.data());
    Argv_.push_back(nullptr);
    for (std::string& entry : Environment_) Envp_.push_back(entry.data());
    Envp_.push_back(nullptr);
  }
  bool Found() const { return !Path_.empty(); }

  // The child's side, between fork and exec: only calls that are safe there.
  // The program gets a process group of its own, the default signal state,
  // and dies with this process. An input of -1 leaves it no standard input.
  [[noreturn]] void Exec(int input, int output, int error) const {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (input < 0) {
      close(0);
    } else {
      dup2(input, 0);
    }
    dup2(output, 1);
    dup2(error, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (Found()) execve(Path_.c_str(), Argv_.data(), Envp_.data());
    _exit(127);
  }

 private:
  // Whether an extra entry sets the variable of the inherited one: the
  // program would otherwise find the first of the two, the inherited one.
  static bool Overridden(const std::string& inherited, const std::vector<std::string>& extra) {
    const std::string name = inherited.substr(0, inherited.find('=') + 1);
    return std::any_of(extra.begin(), extra.end(),
                       [&](const std::string& entry) { return entry.rfind(name, 0) == 0; });
  }

  std::string Path_;
  std::vector<std::string> Arguments_;
  std::vector<std::string> Environment_;
  std::vector<char*> Argv_;
  std::vector<char*> Envp_;
};

int OpenOrThrow(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

constexpr int ChildTimeoutMs = 30000;

// Writes all of text; false when the descriptor fails first.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  close(fd);
  return written;
}

// Makes the calling process root of a network of its own and brings its
// loopback up; "" when done, else why not.
std::string EnterOwnLoopbackAsRoot() {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNET) != 0) return std::string("cannot make a network namespace: ") + std::strerror(errno);
  } else {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      return std::string("cannot make a user and network namespace: ") + std::strerror(errno);
    }
    if (!WriteFile("/proc/self/setgroups", "deny") ||
        !WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return std::string("cannot map root in the user namespace: ") + std::strerror(errno);
    }
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  const std::string failure = up ? "" : std::string("cannot bring the loopback up: ") + std::strerror(errno);
  if (fd >= 0) close(fd);
  return failure;
}

// The child's side: "S" and a reason when setting up failed, else "T" and
// the body's text.
[[noreturn]] void RunChild(int fd, const TChildSetup& setup,
                           const std::function<std::string()>& body) {
  if (setup.OwnLoopbackAsRoot) {
    const std::string failure = EnterOwnLoopbackAsRoot();
    if (!failure.empty()) {
      WriteAll(fd, "S" + failure);
      _exit(0);
    }
  }
  if (setup.OwnNetworkNamespace && unshare(CLONE_NEWNET) != 0) {
    WriteAll(fd, std::string("Scannot make a network namespace: ") + std::strerror(errno));
    _exit(0);
  }
  if (setup.DropToNobody && (setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0)) {
    WriteAll(fd, std::string("Scannot change to uid 65534: ") + std::strerror(errno));
    _exit(0);
  }
  std::string text;
  try {
    text = body();
  } catch (const std::exception& e) {
    text = std::string("exception: ") + e.what();
  } catch (...) {
    text = "exception of unknown type";
  }
  WriteAll(fd, "T" + text);
  _exit(0);
}

}  // namespace

std::string BuildDir() { return OSTREVAN_BUILD_DIR; }

bool TChildProcess::CanUseNetworkNamespaces() {
  static const bool can = [] {
    TChildProcess probe({"/bin/true"}, TOptions{true, true, {}});
    auto status = probe.WaitForExit(std::chrono::seconds(10));
    return status && *status == 0;
  }();
  return can;
}

TChildProcess::TChildProcess(std::vector<std::string> argv, TOptions options) {
  if (options.OwnNetworkNamespace) {
    argv.insert(argv.begin(), {"unshare", "-n", "--"});
  }
  const TExecPlan plan(argv, options.Environment);
  int in[2], out[2], err[2];
  MakePipe(in);
  MakePipe(out);
  MakePipe(err);
  Pid_ = fork();
  if (Pid_ < 0) throw std::runtime_error("fork failed");
  if (Pid_ == 0) plan.Exec(options.CloseStdin ? -1 : in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  StdinFd_ = in[1];
  StdoutFd_ = out[0];
  StderrFd_ = err[0];
  if (options.CloseStdin) CloseInput();
}

TChildProcess::~TChildProcess() {
  if (!ExitStatus_ && Pid_ > 0) {
    kill(Pid_, SIGKILL);
    int status = 0;
    waitpid(Pid_, &status, 0);
  }
  for (int fd : {StdinFd_, StdoutFd_, StderrFd_}) {
    if (fd >= 0) close(fd);
  }
}

bool TChildProcess::Write(const std::string& text) { return StdinFd_ >= 0 && WriteAll(StdinFd_, text); }

void TChildProcess::CloseInput() {
  if (StdinFd_ >= 0) close(StdinFd_);
  StdinFd_ = -1;
}

void TChildProcess::CloseOutput() {
  if (StdoutFd_ >= 0) close(StdoutFd_);
  StdoutFd_ = -1;
}

bool TChildProcess::Pump(std::chrono::milliseconds timeout) {
  pollfd fds[2] = {{StdoutFd_, POLLIN, 0}, {StderrFd_, POLLIN, 0}};
  int open = (StdoutFd_ >= 0) + (StderrFd_ >= 0);
  if (open == 0) return false;
  int n = poll(fds, 2, static_cast<int>(timeout.count()));
  if (n <= 0) return true;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
    if (got > 0) {
      (i == 0 ? Stdout_ : Stderr_).append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      close(fds[i].fd);
      (i == 0 ? StdoutFd_ : StderrFd_) = -1;
    }
  }
  return true;
}

bool TChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                                  size_t from) {
  const TDeadline deadline(timeout);
  auto found = [&] { return Stdout_.size() >= from && Stdout_.find(text, from) != std::string::npos; };
  while (!found()) {
    if (deadline.Passed()) return false;
    if (!Pump(deadline.Left())) return found();
  }
  return true;
}

std::optional<int> TChildProcess::WaitForExit(std::chrono::milliseconds timeout, bool readOutput) {
  const TDeadline deadline(timeout);
  auto pumping = [&] { return readOutput && (StdoutFd_ >= 0 || StderrFd_ >= 0); };
  while (!ExitStatus_) {
    if (pumping()) Pump(std::chrono::milliseconds(0));
    int status = 0;
    if (waitpid(Pid_, &status, WNOHANG) == Pid_) {
      ExitStatus_ = DecodeStatus(status);
      break;
    }
    if (deadline.Passed()) return std::nullopt;
    if (pumping()) {
      Pump(std::chrono::milliseconds(10));
    } else {
      poll(nullptr, 0, 10);
    }
  }
  // Drain what the program wrote just before it ended.
  while ((StdoutFd_ >= 0 || StderrFd_ >= 0)) {
    pollfd fds[2] = {{StdoutFd_, POLLIN, 0}, {StderrFd_, POLLIN, 0}};
    if (poll(fds, 2, 0) <= 0) break;
    Pump(std::chrono::milliseconds(0));
  }
  return ExitStatus_;
}

void TChildProcess::Signal(int signal) {
  if (!ExitStatus_ && Pid_ > 0) kill(Pid_, signal);
}

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
  const TExecPlan plan(argv, options.Environment);
  if (!plan.Found()) throw std::runtime_error("program not found: " + argv[0]);

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
  if (Pid_ == 0) plan.Exec(input, output, output);
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
  const TDeadline deadline(timeout);
  while (!Status_ && Pid_ > 0) {
    siginfo_t info;
    std::memset(&info, 0, sizeof(info));
    const int done = waitid(P_PID, static_cast<id_t>(Pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    if (done == 0 && info.si_pid == Pid_) {
      Status_ = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    } else if (done < 0 && errno != EINTR) {
      Status_ = -1;
    } else if (deadline.Passed()) {
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

TChildOutcome RunInChild(const TChildSetup& setup, const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    close(fds[0]);
    RunChild(fds[1], setup, body);
  }
  close(fds[1]);
  std::string report;
  char buffer[512];
  for (;;) {
    pollfd entry{fds[0], POLLIN, 0};
    if (poll(&entry, 1, ChildTimeoutMs) <= 0) {
      kill(pid, SIGKILL);
      report = "Tchild timed out";
      break;
    }
    const ssize_t n = read(fds[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    report.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (report.empty()) return {false, "child ended without a report"};
  return {report[0] == 'S', report.substr(1)};
}

}  // namespace ostrevan::testing
