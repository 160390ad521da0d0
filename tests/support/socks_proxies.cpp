// SPDX-License-Identifier: MIT
#include "tests/support/socks_proxies.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>

#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {

namespace {

constexpr auto ListenWait = std::chrono::seconds(10);
constexpr auto PollStep = std::chrono::milliseconds(20);
// A port chosen at run time may be taken between the choice and the start.
constexpr int StartAttempts = 3;

// Every test user's name starts so; .ci/run checks that none remains.
const char* const TestUserPrefix = "ostrevan-socks-";

// Polls until the process listens on the port; false when it ended or the
// time ran out.
bool WaitUntilListening(TSpawnedProcess& process, uint16_t port, bool ipv6) {
  bool listening = false;
  PollUntil([&] { return !process.Running() || (listening = IsListening(port, ipv6)); }, ListenWait,
            PollStep);
  return listening;
}

// Starts the program made for a fresh port until one attempt listens.
// Returns the port; raises with the program's log when none does.
uint16_t StartListening(const std::function<std::vector<std::string>(uint16_t)>& argvFor,
                        const TTempDir& dir, const std::string& logName,
                        std::unique_ptr<TSpawnedProcess>& process, bool ipv6 = false) {
  for (int attempt = 1; attempt <= StartAttempts; ++attempt) {
    const uint16_t port = FreeLoopbackPort(ipv6);
    TSpawnedProcess::TOptions options;
    options.OutputFile = dir.File(logName + ".out");
    process = std::make_unique<TSpawnedProcess>(argvFor(port), options);
    if (WaitUntilListening(*process, port, ipv6)) return port;
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

std::string RandomHex(size_t bytes) {
  std::string random(bytes, '\0');
  if (getrandom(random.data(), bytes, 0) != static_cast<ssize_t>(bytes)) {
    throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
  }
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (char c : random) {
    const auto byte = static_cast<unsigned char>(c);
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

// Removes the user and the group of its name, where they exist.
const char* const RemoveUserScript =
    "getent passwd \"$1\" >/dev/null && userdel \"$1\"; "
    "getent group \"$1\" >/dev/null && groupdel \"$1\"; exit 0";

// Starts a process that removes the user once the returned pipe end closes,
// which happens when this process ends in whatever way. It runs in a session
// of its own and its parent is gone before this returns, so that neither a
// signal to the test's process group nor a kill of the test's process tree
// reaches it. Returns the pipe's write end.
int StartRemovalGuard(const std::string& name) {
  // Everything the child needs is made before the fork: the test process
  // has threads, so the child may only make system calls until exec.
  const std::string script = std::string("read ended; ") + RemoveUserScript;
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), "ostrevan-socks-guard", name.c_str(),
                        nullptr};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    dup2(fds[0], STDIN_FILENO);  // dup2 clears close-on-exec on the copy
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return fds[1];
}

}  // namespace

TSocksTestUser::TSocksTestUser() {
  if (geteuid() != 0) {
    WhyNot_ = "creating the system user danted checks logins against needs root";
    return;
  }
  if (const std::string missing = MissingProgram({"useradd", "userdel", "chpasswd"});
      !missing.empty()) {
    WhyNot_ = missing;
    return;
  }
  const std::string name = TestUserPrefix + RandomHex(4);
  GuardPipe_ = StartRemovalGuard(name);
  const TRunResult added = RunProgram({"useradd", "--system", "--user-group", "--no-create-home",
                                       "--home-dir", "/nonexistent", "--shell",
                                       "/usr/sbin/nologin", name});
  if (added.Status != 0) {
    Remove();
    throw std::runtime_error("useradd failed: " + added.Output);
  }
  Name_ = name;
  Password_ = RandomHex(16);
  const TRunResult set = RunProgram({"chpasswd"}, Name_ + ":" + Password_ + "\n");
  if (set.Status != 0) {
    Remove();
    throw std::runtime_error("chpasswd failed: " + set.Output);
  }
}

TSocksTestUser::~TSocksTestUser() { Remove(); }

void TSocksTestUser::Remove() {
  if (!Name_.empty()) RunProgram({"/bin/sh", "-c", RemoveUserScript, "remove", Name_});
  Name_.clear();
  // The guard finds nothing left to remove.
  if (GuardPipe_ >= 0) close(GuardPipe_);
  GuardPipe_ = -1;
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
    const std::string address = options.IPv6 ? "::1" : "127.0.0.1";
    const std::string loopback = options.IPv6 ? "::1/128" : "127.0.0.0/8";
    Dir_.Write("danted.conf",
               "logoutput: " + Dir_.File("danted.log") + "\n"
               "internal: " + address + " port = " + std::to_string(port) + "\n"
               "external: " + address + "\n"
               "clientmethod: none\n"
               "socksmethod: " + (options.RequireUsername ? "username" : "none") + "\n"
               "user.privileged: root\n"
               "user.unprivileged: nobody\n"
               "client pass { from: " + loopback + " to: " + loopback + " }\n"
               "client block { from: 0/0 to: 0/0 }\n" +
               rules +
               "socks pass { from: " + loopback + " to: " + loopback + " command: connect }\n"
               "socks block { from: 0/0 to: 0/0 }\n");
    return std::vector<std::string>{"danted", "-N", "1", "-f", Dir_.File("danted.conf"), "-p",
                                    Dir_.File("danted.pid")};
  };
  Port_ = StartListening(argvFor, Dir_, "danted", Process_, options.IPv6);
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

TSshDynamicProxy::TSshDynamicProxy(bool ipv6) {
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
               "ListenAddress " + std::string(ipv6 ? "::1" : "127.0.0.1") + "\n"
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
               "PermitOpen " + std::string(ipv6 ? "[::1]:*" : "127.0.0.1:* localhost:*") + "\n"
               "PermitListen none\n"
               "AllowAgentForwarding no\n"
               "AllowStreamLocalForwarding no\n"
               "PermitTunnel no\n"
               "X11Forwarding no\n"
               "PermitTTY no\n");
    // sshd wants its absolute path, to run itself again for each client.
    return std::vector<std::string>{"/usr/sbin/sshd", "-D", "-e", "-f", Dir_.File("sshd_config")};
  };
  const uint16_t sshPort = StartListening(serverArgvFor, Dir_, "sshd", Server_, ipv6);

  auto clientArgvFor = [&](uint16_t port) {
    const std::string local = ipv6 ? "[::1]:" : "127.0.0.1:";
    return std::vector<std::string>{
        "ssh", "-N", "-D", local + std::to_string(port), "-p", std::to_string(sshPort),
        "-i", Dir_.File("client_key"), "-F", "/dev/null",
        "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
        "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
        "-o", "GlobalKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR",
        std::string("root@") + (ipv6 ? "::1" : "127.0.0.1")};
  };
  Port_ = StartListening(clientArgvFor, Dir_, "ssh", Client_, ipv6);
}

TSshDynamicProxy::~TSshDynamicProxy() {
  // The client first: its connection's end lets sshd's session process end.
  Client_.reset();
  Server_.reset();
}

}  // namespace ostrevan::testing
