// SPDX-License-Identifier: MIT
// The project installed into a prefix of its own: the files it lays out, and
// the daemon run from there the way the installed service unit runs it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>

#include "ostrevan/version.h"
#include "tests/support/process.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {
namespace {

namespace fs = std::filesystem;

class InstalledProject : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Prefix_ = new TTempDir;
    // The daemon runs as nobody, who must reach it.
    chmod(Prefix_->Path().c_str(), 0755);
    Install_ = new TRunResult(RunProgram(
        {OSTREVAN_CMAKE_COMMAND, "--install", OSTREVAN_BUILD_DIR, "--prefix", Prefix_->Path()}));
  }
  static void TearDownTestSuite() {
    delete Install_;
    delete Prefix_;
  }
  void SetUp() override { ASSERT_EQ(Install_->Status, 0) << Install_->Output; }

  static std::string Path(const std::string& relative) { return Prefix_->File(relative); }

  static TTempDir* Prefix_;
  static TRunResult* Install_;
};
TTempDir* InstalledProject::Prefix_ = nullptr;
TRunResult* InstalledProject::Install_ = nullptr;

std::set<std::string> FilesUnder(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_directory()) files.insert(entry.path().lexically_relative(root).string());
  }
  return files;
}

TEST_F(InstalledProject, LaysOutProgramsManPagesUnitHeadersLibrariesAndPackage) {
  const std::string lib = OSTREVAN_INSTALL_LIBDIR;
  const std::string config = std::string(OSTREVAN_CONFIG).empty() ? "noconfig" : OSTREVAN_CONFIG;
  std::set<std::string> expected = {
      "sbin/ostrevan",
      "bin/ostrevan-query",
      "share/man/man8/ostrevan.8",
      "share/man/man1/ostrevan-query.1",
      "lib/systemd/system/ostrevan.service",
      "lib/systemd/system/ostrevan.socket",
      lib + "/cmake/Ostrevan/OstrevanConfig.cmake",
      lib + "/cmake/Ostrevan/OstrevanConfigVersion.cmake",
      lib + "/cmake/Ostrevan/OstrevanTargets.cmake",
      lib + "/cmake/Ostrevan/OstrevanTargets-" + config + ".cmake",
  };
  // The library: libostrevan.so.2.1.0 with its SONAME and linker links, or
  // the archive alone in a static build; the pkg-config file; the version
  // and export headers the build writes.
  for (const std::string name : {OSTREVAN_LIBRARY_FILE, OSTREVAN_LIBRARY_SONAME, OSTREVAN_LIBRARY_LINK}) {
    if (!name.empty()) expected.insert(lib + "/" + name);
  }
  expected.insert(lib + "/pkgconfig/ostrevan.pc");
  expected.insert("include/ostrevan/export.h");
  expected.insert("include/ostrevan/version.h");
  // Every header of the framework's folders, under the path it is included by.
  // tls/internal/ holds what includes OpenSSL and is not installed.
  std::vector<std::string> folders = {"runtime", "threads", "net", "conn", "server", "client", "time"};
  if (OSTREVAN_TLS) folders.push_back("tls");
  for (const std::string& folder : folders) {
    for (const auto& entry : fs::directory_iterator(std::string(OSTREVAN_SOURCE_DIR) + "/" + folder)) {
      if (entry.path().extension() == ".h") {
        expected.insert("include/ostrevan/" + folder + "/" + entry.path().filename().string());
      }
    }
  }
  // Told apart as the files missing and those not expected, which is
  // readable where the whole lists are not.
  const std::set<std::string> installed = FilesUnder(Prefix_->Path());
  std::vector<std::string> missing, unexpected;
  std::ranges::set_difference(expected, installed, std::back_inserter(missing));
  std::ranges::set_difference(installed, expected, std::back_inserter(unexpected));
  EXPECT_EQ(missing, std::vector<std::string>{});
  EXPECT_EQ(unexpected, std::vector<std::string>{});
}

// The lines of the unit's [Service] section that start with key=.
std::vector<std::string> UnitValues(const std::string& unit, const std::string& key) {
  std::vector<std::string> values;
  std::istringstream lines(unit);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) == 0) values.push_back(line.substr(key.size() + 1));
  }
  return values;
}

// A port below 1024 that nothing holds on any local address, over TCP or
// UDP: the daemon opens both.
int FreeLowPort() {
  const int start = 600 + getpid() % 400;
  for (int i = 0; i < 400; ++i) {
    const int port = 600 + (start - 600 + i) % 400;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool free = true;
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
      const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
      free = free && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
    }
    if (free) return port;
  }
  return 0;
}

// As the unit runs it: the installed program with the unit's arguments (a
// low port of its own here instead of 37) and environment, as a user of no
// privilege but the bind of a low port, standard input on /dev/null.
TEST_F(InstalledProject, DaemonServesALowPortAsTheUnitRunsItAndStopsOnSigterm) {
  if (geteuid() != 0) GTEST_SKIP() << "running the daemon as another user needs root";
  if (FindProgram("setpriv").empty()) GTEST_SKIP() << "setpriv is not installed";
  const std::string unit = Prefix_->ReadFile("lib/systemd/system/ostrevan.service");
  const std::vector<std::string> execStart = UnitValues(unit, "ExecStart");
  ASSERT_EQ(execStart.size(), 1u);
  EXPECT_EQ(execStart[0], Path("sbin/ostrevan") + " 37");
  const std::vector<std::string> environment = UnitValues(unit, "Environment");
  EXPECT_EQ(environment, std::vector<std::string>{"TZ=UTC"});
  EXPECT_EQ(UnitValues(unit, "StandardInput"), std::vector<std::string>{"null"});
  // Ready only once both ports are open; pinged while the listeners live.
  EXPECT_EQ(UnitValues(unit, "Type"), std::vector<std::string>{"notify"});
  EXPECT_EQ(UnitValues(unit, "NotifyAccess"), std::vector<std::string>{"main"});
  EXPECT_EQ(UnitValues(unit, "WatchdogSec").size(), 1u);

  const int port = FreeLowPort();
  ASSERT_NE(port, 0);
  TTempDir logs;
  TSpawnedProcess::TOptions options;
  options.OutputFile = logs.File("daemon.out");
  options.Environment = environment;
  TSpawnedProcess daemon({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                          "--no-new-privs", "--bounding-set=-all,+net_bind_service",
                          "--inh-caps=-all,+net_bind_service",
                          "--ambient-caps=-all,+net_bind_service", Path("sbin/ostrevan"),
                          std::to_string(port)},
                         options);
  ASSERT_TRUE(PollUntil([&] { return IsListening(port) || !daemon.Running(); }));
  const std::optional<std::string> answer = ReadUntilClosed(port);
  ASSERT_TRUE(answer.has_value()) << logs.ReadFile("daemon.out");
  ASSERT_EQ(answer->size(), 4u) << logs.ReadFile("daemon.out");
  // TZ=UTC: RFC 868's count of UTC seconds since 1900.
  const uint32_t utcCount = static_cast<uint32_t>(std::time(nullptr) + 2208988800LL);
  EXPECT_LE(utcCount - BigEndian32(*answer) + 5u, 10u);

  kill(daemon.Pid(), SIGTERM);
  EXPECT_EQ(daemon.WaitForExit(std::chrono::seconds(20)), 0);
  const std::string output = logs.ReadFile("daemon.out");
  EXPECT_NE(output.find("Time server started on port " + std::to_string(port) + "."),
            std::string::npos) << output;
  EXPECT_NE(output.find("Server stopped by user."), std::string::npos) << output;
}

}  // namespace
}  // namespace ostrevan::testing
