// SPDX-License-Identifier: MIT
// The SOCKS negotiation against real proxies from the system's packages,
// each started on loopback by the test and reaching only loopback.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ostrevan/client/socks_negotiation.h"
#include "tests/support/socks_proxies.h"
#include "tests/support/socks_test_client.h"
#include "tests/support/time_responder.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {
namespace {

// What the destination sends: the four bytes of an RFC 868 count.
constexpr uint32_t Count = 0xE1B2C3D4;
const std::string CountBytes = "\xE1\xB2\xC3\xD4";

const std::string Refused = "raised: Request rejected or failed.";
const std::string NoAnswer = "raised: Socks server did not respond.";

#define SKIP_UNLESS_RUNNING(proxy) \
  if (!(proxy).SkipReason().empty()) GTEST_SKIP() << (proxy).SkipReason()

TEST(DantedProxy, Socks4And5WithoutAuthentication) {
  TTimeResponder destination(Count);
  TTimeResponder blocked(Count);
  TDantedProxy proxy({.RequireUsername = false, .BlockedPort = blocked.Port()});
  SKIP_UNLESS_RUNNING(proxy);
  const uint16_t closed = FreeLoopbackPort();

  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", destination.Port()), CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4, "anyone"), "localhost", destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", destination.Port()), CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "localhost", destination.Port()), CountBytes);

  // The block rule: reply 91 with SOCKS 4, 2 with SOCKS 5.
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", blocked.Port()), Refused);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", blocked.Port()),
            "raised: Connection not allowed by ruleset.");
  EXPECT_EQ(blocked.Served(), 0);
  // Nothing listens: reply 91 with SOCKS 4, 5 with SOCKS 5.
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", closed), Refused);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", closed),
            "raised: Connection refused.");
  // Offering only a login to a proxy that wants none.
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "user", "password"), "127.0.0.1",
                      destination.Port()),
            "raised: Invalid socks authentication method.");
  EXPECT_EQ(destination.Served(), 4);
}

TEST(DantedProxy, Socks5WithSystemUserAndPassword) {
  const TSocksTestUser user;
  if (user.Name().empty()) GTEST_SKIP() << user.WhyNot();
  TTimeResponder destination(Count);
  TDantedProxy proxy({.RequireUsername = true, .BlockedPort = 0});
  SKIP_UNLESS_RUNNING(proxy);

  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user.Name(), user.Password()), "localhost",
                      destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user.Name(), user.Password() + "x"), "localhost",
                      destination.Port()),
            "raised: Authentication error to socks server.");
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "localhost", destination.Port()),
            "raised: Invalid socks authentication method.");
  EXPECT_EQ(destination.Served(), 1);
}

bool UserOrGroupExists(const std::string& name) {
  return getpwnam(name.c_str()) != nullptr || getgrnam(name.c_str()) != nullptr;
}

// The login user lives as long as its object, and no longer than a test
// process that is killed while it holds one.
TEST(SocksTestUser, RemovedWhenDoneAndWhenItsProcessIsKilled) {
  std::string name;
  {
    const TSocksTestUser user;
    if (user.Name().empty()) GTEST_SKIP() << user.WhyNot();
    name = user.Name();
    EXPECT_TRUE(UserOrGroupExists(name));
    EXPECT_NE(TSocksTestUser().Password(), user.Password());
  }
  EXPECT_FALSE(UserOrGroupExists(name));

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    const TSocksTestUser held;
    const std::string line = held.Name();
    if (write(fds[1], line.data(), line.size()) < 0) _exit(1);
    raise(SIGKILL);
  }
  close(fds[1]);
  name.clear();
  char chunk[64];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) name.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_FALSE(name.empty());
  EXPECT_TRUE(PollUntil([&] { return !UserOrGroupExists(name); })) << name << " remains";
}

TEST(MicrosocksProxy, Socks5WithFullLengthLogin) {
  const std::string user(255, 'u'), password(255, 'p');
  TTimeResponder destination(Count);
  TMicrosocksProxy proxy(user, password);
  SKIP_UNLESS_RUNNING(proxy);

  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user, password), "127.0.0.1",
                      destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user, password), "localhost",
                      destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user, "wrong"), "127.0.0.1",
                      destination.Port()),
            "raised: Authentication error to socks server.");
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", destination.Port()),
            "raised: Invalid socks authentication method.");
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user, password), "127.0.0.1",
                      FreeLoopbackPort()),
            "raised: Connection refused.");
  EXPECT_EQ(destination.Served(), 2);
}

TEST(SshDynamicProxy, Socks4ASocks4AndSocks5) {
  TTimeResponder destination(Count);
  TSshDynamicProxy proxy;
  SKIP_UNLESS_RUNNING(proxy);

  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4A, "abc"), "localhost", destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4A), "127.0.0.1", destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", destination.Port()),
            CountBytes);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "localhost", destination.Port()),
            CountBytes);
  // This proxy closes instead of sending a failure reply: for a closed port,
  // and for a destination its PermitOpen forbids.
  const uint16_t closed = FreeLoopbackPort();
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4A), "localhost", closed), NoAnswer);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", closed), NoAnswer);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", closed), NoAnswer);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4A), "127.0.0.2", destination.Port()), NoAnswer);
  EXPECT_EQ(destination.Served(), 4);
}

}  // namespace
}  // namespace ostrevan::testing
