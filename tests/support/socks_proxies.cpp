#include "tests/support/socks_proxies.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "tests/support/loopback.h"

namespace ostrevan::testing {

namespace {

constexpr auto ListenWait = std::chrono::seconds(10);
constexpr auto PollStep = std::chrono::milliseconds(20);
// A port chosen at run time may be taken between the choice and the start.
constexpr int StartAttempts = 3;

const char* const TestUserName = "ostrevan-socks";
const char* const TestUserPassword = "Socks5-Test-Login";

bool IsListening(uint16_t port) {
  try {
    close(ConnectToLoopback(port));
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// Polls until the process listens on the port; false when it ended or the
// time ran out.
bool WaitUntilListening(TSpawnedProcess& process, uint16_t port) {
  const auto deadline = std::chrono::steady_clock::now() + ListenWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process.Running()) return false;
    if (IsListening(port)) return true;
    std::this_thread::sleep_for(PollStep);
  }
  return false;
}

// Starts the program made for a fresh port until one attempt listens.
// Returns the port; raises with the program's log when none does.
uint16_t StartListening(const std::function<std::vector<std::string>(uint16_t)>& argvFor,
                        const TTempDir& dir, const std::string& logName,
                        std::unique_ptr<TSpawnedProcess>& process) {
  for (int attempt = 1; attempt <= StartAttempts; ++attempt) {
    const uint16_t port = FreeLoopbackPort();
    TSpawnedProcess::TOptions options;
    options.OutputFile = dir.File(logName + ".out");
    process = std::make_unique<TSpawnedProcess>(argvFor(port), options);
    if (WaitUntilListening(*process, port)) return port;
    process.reset();
  }
  throw std::runtime_error("did not start listening; its output:\n" +
                           dir.ReadFile(logName + ".out") + dir.ReadFile(logName + ".log"));
}

std::string MissingProgram(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (FindProgram(name).empty()) return name + " is not installed (.ci/install-deps installs it)";
  }
  return "";
}

std::string NeedsRoot(const char* what) {
  return geteuid() == 0 ? "" : std::string(what) + " needs root on this machine";
}

// Holds an exclusive lock on a file while it lives: test processes that run
// at the same time set up the shared system user one after another.
class TFileLock {
 public:
  explicit TFileLock(const char* path) : Fd_(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (Fd_ >= 0) flock(Fd_, LOCK_EX);
  }
  ~TFileLock() {
    if (Fd_ >= 0) close(Fd_);
  }
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

 private:
  int Fd_;
};

}  // namespace

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  close(ListenOnLoopback(port));
  return port;
}

TSocksTestUser EnsureSocksTestUser() {
  TSocksTestUser user;
  if (geteuid() != 0) {
    user.WhyNot = "creating the system user danted checks logins against needs root";
    return user;
  }
  if (const std::string missing = MissingProgram({"useradd", "chpasswd"}); !missing.empty()) {
    user.WhyNot = missing;
    return user;
  }
  TFileLock lock("/tmp/ostrevan-socks-user.lock");
  if (getpwnam(TestUserName) == nullptr) {
    const TRunResult added = RunProgram({"useradd", "--system", "--no-create-home", "--home-dir",
                                         "/nonexistent", "--shell", "/usr/sbin/nologin",
                                         TestUserName});
    if (added.Status != 0) throw std::runtime_error("useradd failed: " + added.Output);
  }
  const TRunResult set =
      RunProgram({"chpasswd"}, std::string(TestUserName) + ":" + TestUserPassword + "\n");
  if (set.Status != 0) throw std::runtime_error("chpasswd failed: " + set.Output);
  user.Name = TestUserName;
  user.Password = TestUserPassword;
  return user;
}

TDantedProxy::TDantedProxy(const TDantedOptions& options) {
  SkipReason_ = MissingProgram({"danted"});
  if (SkipReason_.empty()) SkipReason_ = NeedsRoot("danted");
  if (!SkipReason_.empty()) return;
  auto argvFor = [&](uint16_t port) {
    std::string rules;
    if (options.BlockedPort != 0) {
      rules += "socks block { from: 0.0.0.0/0 to: 127.0.0.1/32 port = " +
               std::to_string(options.BlockedPort) + " }\n";
    }
    // Only loopback destinations; everything else is refused by the last
    // rule, and outgoing connections leave from the loopback address.
    Dir_.Write("danted.conf",
               "logoutput: " + Dir_.File("danted.log") + "\n"
               "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
               "external: 127.0.0.1\n"
               "clientmethod: none\n"
               "socksmethod: " + (options.RequireUsername ? "username" : "none") + "\n"
               "user.privileged: root\n"
               "user.unprivileged: nobody\n"
               "client pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n"
               "client block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n" +
               rules +
               "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n"
               "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n");
    return std::vector<std::string>{"danted", "-N", "1", "-f", Dir_.File("danted.conf"), "-p",
                                    Dir_.File("danted.pid")};
  };
  Port_ = StartListening(argvFor, Dir_, "danted", Process_);
}

TMicrosocksProxy::TMicrosocksProxy(const std::string& username, const std::string& password) {
  SkipReason_ = MissingProgram({"microsocks"});
  if (!SkipReason_.empty()) return;
  auto argvFor = [&](uint16_t port) {
    // -b: outgoing connections leave from the loopback address.
    std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port),
                                  "-b", "127.0.0.1"};
    if (!username.empty()) argv.insert(argv.end(), {"-u", username, "-P", password});
    return argv;
  };
  Port_ = StartListening(argvFor, Dir_, "microsocks", Process_);
}

TSshDynamicProxy::TSshDynamicProxy() {
  SkipReason_ = MissingProgram({"/usr/sbin/sshd", "ssh", "ssh-keygen"});
  if (SkipReason_.empty()) SkipReason_ = NeedsRoot("the test's sshd");
  if (!SkipReason_.empty()) return;

  for (const char* key : {"host_key", "client_key"}) {
    const TRunResult made =
        RunProgram({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", Dir_.File(key)});
    if (made.Status != 0) throw std::runtime_error("ssh-keygen failed: " + made.Output);
  }
  Dir_.Write("authorized_keys", Dir_.ReadFile("client_key.pub"));
  // sshd refuses to start without its privilege separation directory.
  if (mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
    throw std::runtime_error(std::string("cannot make /run/sshd: ") + std::strerror(errno));
  }

  auto serverArgvFor = [&](uint16_t port) {
    Dir_.Write("sshd_config",
               "Port " + std::to_string(port) + "\n"
               "ListenAddress 127.0.0.1\n"
               "HostKey " + Dir_.File("host_key") + "\n"
               "PidFile " + Dir_.File("sshd.pid") + "\n"
               "AuthorizedKeysFile " + Dir_.File("authorized_keys") + "\n"
               "StrictModes no\n"
               "PubkeyAuthentication yes\n"
               "PasswordAuthentication no\n"
               "KbdInteractiveAuthentication no\n"
               "UsePAM no\n"
               "PermitRootLogin prohibit-password\n"
               "AllowUsers root\n"
               "UseDNS no\n"
               "AllowTcpForwarding local\n"
               "PermitOpen 127.0.0.1:* localhost:*\n"
               "PermitListen none\n"
               "AllowAgentForwarding no\n"
               "AllowStreamLocalForwarding no\n"
               "PermitTunnel no\n"
               "X11Forwarding no\n"
               "PermitTTY no\n");
    // sshd wants its absolute path, to run itself again for each client.
    return std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", Dir_.File("sshd_config")};
  };
  const uint16_t sshPort = StartListening(serverArgvFor, Dir_, "sshd", Server_);

  auto clientArgvFor = [&](uint16_t port) {
    return std::vector<std::string>{
        "ssh", "-N", "-D", "127.0.0.1:" + std::to_string(port), "-p", std::to_string(sshPort),
        "-i", Dir_.File("client_key"), "-F", "/dev/null",
        "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
        "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
        "-o", "GlobalKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
        "root@127.0.0.1"};
  };
  Port_ = StartListening(clientArgvFor, Dir_, "ssh", Client_);
}

TSshDynamicProxy::~TSshDynamicProxy() {
  // The client first: its connection's end lets sshd's session process end.
  Client_.reset();
  Server_.reset();
}

}  // namespace ostrevan::testing
