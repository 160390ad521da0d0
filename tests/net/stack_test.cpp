// SPDX-License-Identifier: MIT
#include "ostrevan/net/stack.h"

#include <fcntl.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ostrevan/net/errors.h"
#include "ostrevan/net/socket_list.h"
#include "ostrevan/net/stack_linux.h"
#include "ostrevan/runtime/exception.h"
#include "tests/support/process.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Bytes(const in_addr& address) {
  const auto* b = reinterpret_cast<const uint8_t*>(&address.s_addr);
  return std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," +
         std::to_string(b[3]);
}

// A stack whose calls can fail with any code, as a wrapper's failure does.
class TFailingStack : public TIdStackLinux {
 public:
  using TIdStack::Failed;
};

// The message of the EIdSocketError that a call failed with `code`
// raises through CheckSocketResult.
std::string RaisedMessage(TFailingStack& stack, int code) {
  try {
    stack.CheckSocketResult(stack.Failed(code));
  } catch (const EIdSocketError& e) {
    return std::to_string(e.ErrorNumber()) + "|" + e.Message();
  }
  return "nothing raised";
}

TEST(StackErrorTexts, EveryTableEntryByteForByte) {
  TIdStackLinux stack;
  const std::pair<int, const char*> expected[] = {
      {1, "Host not found."},
      {2, "Non-authoritative response (try again or check DNS setup)."},
      {3, "Non-recoverable errors: FORMERR, REFUSED, NOTIMP."},
      {4, "Valid name, no data record (check DNS setup)."},
      {9, "Socket Error # 9\r\nBad file number."},
      {11, "Socket Error # 11\r\nOperation would block. "},
      {13, "Socket Error # 13\r\nAccess denied."},
      {14, "Socket Error # 14\r\nBad address."},
      {22, "Socket Error # 22\r\nInvalid argument."},
      {24, "Socket Error # 24\r\nToo many open files."},
      {36, "Socket Error # 36\r\nFile name too long."},
      {39, "Socket Error # 39\r\nDirectory not empty"},
      {40, "Socket Error # 40\r\nToo many levels of symbolic links."},
      {88, "Socket Error # 88\r\nSocket operation on non-socket."},
      {89, "Socket Error # 89\r\nDestination address required."},
      {90, "Socket Error # 90\r\nMessage too long."},
      {91, "Socket Error # 91\r\nProtocol wrong type for socket."},
      {92, "Socket Error # 92\r\nBad protocol option."},
      {93, "Socket Error # 93\r\nProtocol not supported."},
      {94, "Socket Error # 94\r\nSocket type not supported."},
      {95, "Socket Error # 95\r\nOperation not supported on socket."},
      {96, "Socket Error # 96\r\nProtocol family not supported."},
      {97, "Socket Error # 97\r\nAddress family not supported by protocol family."},
      {98, "Socket Error # 98\r\nAddress already in use."},
      {99, "Socket Error # 99\r\nCannot assign requested address."},
      {100, "Socket Error # 100\r\nNetwork is down."},
      {101, "Socket Error # 101\r\nNetwork is unreachable."},
      {102, "Socket Error # 102\r\nNet dropped connection or reset."},
      {103, "Socket Error # 103\r\nSoftware caused connection abort."},
      {104, "Socket Error # 104\r\nConnection reset by peer."},
      {105, "Socket Error # 105\r\nNo buffer space available."},
      {106, "Socket Error # 106\r\nSocket is already connected."},
      {107, "Socket Error # 107\r\nSocket is not connected."},
      {108, "Socket Error # 108\r\nCannot send or receive after socket is closed."},
      {109, "Socket Error # 109\r\nToo many references, cannot splice."},
      {110, "Socket Error # 110\r\nConnection timed out."},
      {111, "Socket Error # 111\r\nConnection refused."},
      {112, "Socket Error # 112\r\nHost is down."},
      {113, "Socket Error # 113\r\nNo route to host."},
      {114, "Socket Error # 114\r\nOperation already in progress."},
      {115, "Socket Error # 115\r\nOperation now in progress."},
      // Codes without a row keep the prefix and nothing after the line break.
      {0, "Socket Error # 0\r\n"},
      {5, "Socket Error # 5\r\n"},
      {87, "Socket Error # 87\r\n"},
      {116, "Socket Error # 116\r\n"},
      {-1, "Socket Error # -1\r\n"},
      {100000, "Socket Error # 100000\r\n"},
  };
  for (const auto& [code, text] : expected) EXPECT_EQ(stack.SocketErrorText(code), text) << code;
  // The base table still knows EINTR; only the resolver's codes shadow it.
  EXPECT_EQ(stack.TIdStack::SocketErrorText(4), "Socket Error # 4\r\nInterrupted system call.");
}

TEST(StackCheckSocketResult, OnlyMinusOneReadsTheErrorNumber) {
  TFailingStack stack;
  stack.Failed(EBADF);
  EXPECT_FALSE(stack.CheckSocketResult(0));
  EXPECT_FALSE(stack.CheckSocketResult(17));
  EXPECT_FALSE(stack.CheckSocketResult(-2, {}));
  EXPECT_EQ(stack.LastError(), 0) << "no failure was seen, so nothing was stored";

  EXPECT_TRUE(stack.CheckSocketResult(stack.Failed(EINTR), {EINTR}));
  EXPECT_EQ(stack.LastError(), EINTR);

  EXPECT_THROW(stack.CheckSocketResult(stack.Failed(EBADF), {EINTR, ENOTSOCK}), EIdSocketError);
  EXPECT_EQ(stack.LastError(), EBADF);

  EXPECT_EQ(RaisedMessage(stack, EINTR), "4|Valid name, no data record (check DNS setup).");
  EXPECT_EQ(RaisedMessage(stack, ECONNREFUSED), "111|Socket Error # 111\r\nConnection refused.");
  // A peer that has gone away reads the same whichever way the system says it.
  EXPECT_EQ(RaisedMessage(stack, EPIPE), "104|Socket Error # 104\r\nConnection reset by peer.");
  EXPECT_TRUE(stack.CheckSocketResult(stack.Failed(EPIPE), {ECONNRESET}))
      << "EPIPE is ignored as 104";

  try {
    stack.RaiseSocketErrorCode(13);
    FAIL() << "RaiseSocketErrorCode returned";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorNumber(), 13);
    EXPECT_STREQ(e.what(), "Socket Error # 13\r\nAccess denied.");
  }
}

// The check reads errno, whoever made the failed call: a wrapper, or a
// transport of the framework's user that failed with the error a system
// call would give. A failure on another thread, or a release made between
// the call and its check, does not change what the check reads.
TEST(StackCheckSocketResult, ReadsTheErrorOfTheCallItChecks) {
  TFailingStack stack;
  errno = EINTR;
  EXPECT_TRUE(stack.CheckSocketResult(-1, {EINTR}));
  errno = EBADF;
  EXPECT_THROW(stack.CheckSocketResult(-1, {EINTR}), EIdSocketError);
  errno = EPIPE;
  EXPECT_EQ(stack.LastSocketError(), ECONNRESET);

  const int32_t failed = stack.OpenSocket(AF_MAX + 1, SOCK_STREAM, 0);
  std::thread([&] { stack.Failed(ENOTSOCK); }).join();
  {
    const TIdStack::TKeptSocketError kept;
    EXPECT_EQ(stack.CloseSocket(-1), -1);  // EBADF
  }
  EXPECT_TRUE(stack.CheckSocketResult(failed, {EAFNOSUPPORT})) << "any other code raises";
}

TEST(StackAddresses, TextToAddressKeepsLowBytesAndIgnoresTheTail) {
  TIdStackLinux stack;
  EXPECT_EQ(Bytes(stack.TextToAddress("127.0.0.1")), "127,0,0,1");
  EXPECT_EQ(Bytes(stack.TextToAddress("10.0.0.300")), "10,0,0,44");
  EXPECT_EQ(Bytes(stack.TextToAddress("1.2.3.4.5")), "1,2,3,4");
  EXPECT_EQ(Bytes(stack.TextToAddress("1.2.3.4.junk")), "1,2,3,4");
  EXPECT_EQ(Bytes(stack.TextToAddress("-1.256.0.0")), "255,0,0,0");
  for (const char* bad : {"1.2.3", "", "1..2.3", "a.b.c.d", "1.2.3.x"}) {
    EXPECT_THROW(stack.TextToAddress(bad), EConvertError) << bad;
  }
  in_addr address = stack.TextToAddress("192.168.7.254");
  EXPECT_EQ(stack.AddressToText(address), "192.168.7.254");
  EXPECT_EQ(stack.AddressToText(stack.TextToAddress("0.0.0.0")), "0.0.0.0");
  EXPECT_EQ(stack.AddressToText(stack.TextToAddress("255.255.255.255")), "255.255.255.255");
  EXPECT_EQ(stack.NetToHostLong(stack.TextToAddress("127.0.0.1").s_addr), 0x7F000001u);
  EXPECT_EQ(stack.HostToNetShort(0x1234), htons(0x1234));
}

TEST(StackAddresses, IsDottedAddress) {
  for (const char* yes : {"0.0.0.0", "127.0.0.1", "255.255.255.255", "10.0.0.07"}) {
    EXPECT_TRUE(TIdStack::IsDottedAddress(yes)) << yes;
  }
  for (const char* no : {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.-1", "", "localhost",
                         "1.2.3.", "a.2.3.4", "1.2.3.4 "}) {
    EXPECT_FALSE(TIdStack::IsDottedAddress(no)) << no;
  }
}

TEST(StackAddresses, IPv6TextBothWaysWithScopesAndMappedIPv4) {
  TIdStackLinux stack;
  uint32_t scope = 99;
  const in6_addr loopback = stack.TextToIPv6Address("::1", scope);
  EXPECT_EQ(scope, 0u);
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&loopback));
  EXPECT_EQ(stack.IPv6AddressToText(loopback), "::1");
  EXPECT_EQ(stack.IPv6AddressToText(stack.TextToIPv6Address("2001:DB8:0:0::1", scope)), "2001:db8::1");
  // An IPv4 peer of a socket that takes both families is reported as IPv4.
  EXPECT_EQ(stack.IPv6AddressToText(stack.TextToIPv6Address("::ffff:127.0.0.1", scope)), "127.0.0.1");

  const uint32_t lo = if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  const in6_addr linkLocal = stack.TextToIPv6Address("fe80::1%lo", scope);
  EXPECT_EQ(scope, lo);
  EXPECT_EQ(stack.IPv6AddressToText(linkLocal, scope), "fe80::1%lo");
  stack.TextToIPv6Address("fe80::1%" + std::to_string(lo), scope);
  EXPECT_EQ(scope, lo);
  EXPECT_EQ(stack.IPv6AddressToText(linkLocal, 4000000), "fe80::1%4000000") << "no such interface";

  for (const char* yes : {"::", "::1", "fe80::1%lo", "::ffff:1.2.3.4", "2001:db8::1"}) {
    EXPECT_TRUE(TIdStack::IsIPv6Address(yes)) << yes;
  }
  for (const std::string no : {"", "127.0.0.1", "::1%", "::1%no-such-if", "1::2::3", "[::1]",
                               "localhost", "::1 "}) {
    EXPECT_FALSE(TIdStack::IsIPv6Address(no)) << no;
    EXPECT_EQ(testing::MessageOf<EConvertError>([&] { stack.TextToIPv6Address(no, scope); }),
              "'" + no + "' is not a valid IPv6 address");
  }
}

// A stack that refuses every name look-up, to show when none is made.
class TNoLookUpStack : public TIdStackLinux {
 public:
  std::string HostNameToAddress(const std::string& AHostName) override {
    ++LookUps;
    return "looked up " + AHostName;
  }
  std::string HostNameToIPv6Address(const std::string& AHostName) override {
    ++LookUps;
    return "looked up for IPv6 " + AHostName;
  }
  int LookUps = 0;
};

TEST(StackAddresses, ResolveToAddress) {
  TNoLookUpStack stack;
  for (const char* name : {"localhost", "LOCALHOST", "LocalHost"}) {
    EXPECT_EQ(stack.ResolveToAddress(name), "127.0.0.1");
  }
  EXPECT_EQ(stack.ResolveToAddress("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(stack.LookUps, 0);
  EXPECT_EQ(stack.ResolveToAddress("some.host"), "looked up some.host");
  EXPECT_EQ(stack.ResolveToAddress("1.2.3.400"), "looked up 1.2.3.400");
  EXPECT_EQ(stack.LookUps, 2);

  EXPECT_EQ(stack.ResolveToAddress("LocalHost", Id_IPv6), "::1");
  EXPECT_EQ(stack.ResolveToAddress("fe80::1%lo", Id_IPv6), "fe80::1%lo");
  EXPECT_EQ(stack.LookUps, 2);
  EXPECT_EQ(stack.ResolveToAddress("some.host", Id_IPv6), "looked up for IPv6 some.host");
  EXPECT_EQ(stack.ResolveToAddress("::1"), "looked up ::1") << "IPv4 unless asked for IPv6";
}

TEST(StackLookUps, NamesOfThisMachine) {
  TIdStackLinux stack;
  EXPECT_EQ(stack.HostNameToAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(stack.AddressToHostName("127.0.0.1"), "localhost");

  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof(name) - 1), 0);
  EXPECT_EQ(stack.LocalHostName(), name);
  const TStringList& addresses = stack.LocalAddressList();
  ASSERT_GE(addresses.Count(), 1);
  for (int i = 0; i < addresses.Count(); ++i) EXPECT_TRUE(TIdStack::IsDottedAddress(addresses[i]));
  EXPECT_EQ(stack.PrimaryLocalAddress(), addresses[0]);
  EXPECT_EQ(stack.HostNameToAddress(name), addresses[0]);
  // An address needs no look-up; names are left alone here, since an IPv6
  // look-up of a name that /etc/hosts has for IPv4 only would ask DNS.
  EXPECT_EQ(stack.HostNameToIPv6Address("::1"), "::1");
}

TEST(StackLookUps, FailedLookUpsCarryTheResolverTexts) {
  // In a network of its own the resolver cannot reach any server, so no
  // query leaves the machine.
  auto outcome = testing::RunInChild({.OwnNetworkNamespace = true}, [] {
    TIdStackLinux stack;
    std::string report;
    for (int i = 0; i < 2; ++i) {
      try {
        if (i == 0) stack.HostNameToAddress("no-such-host.invalid");
        else stack.AddressToHostName("192.0.2.77");
        report += "found;";
      } catch (const EIdSocketError& e) {
        report += std::to_string(e.ErrorNumber()) + "|" + e.Message() + ";";
      }
    }
    return report;
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  const std::string texts[] = {"Host not found.",
                               "Non-authoritative response (try again or check DNS setup).",
                               "Non-recoverable errors: FORMERR, REFUSED, NOTIMP.",
                               "Valid name, no data record (check DNS setup)."};
  size_t start = 0;
  for (int i = 0; i < 2; ++i) {
    const size_t end = outcome.Text.find(';', start);
    ASSERT_NE(end, std::string::npos) << outcome.Text;
    const std::string entry = outcome.Text.substr(start, end - start);
    const int code = std::atoi(entry.c_str());
    ASSERT_TRUE(code >= 1 && code <= 4) << entry;
    EXPECT_EQ(entry, std::to_string(code) + "|" + texts[code - 1]);
    start = end + 1;
  }
}

TEST(StackServices, NamesAndNumbers) {
  if (access("/etc/services", R_OK) != 0) GTEST_SKIP() << "no service database";
  TIdStackLinux stack;
  EXPECT_EQ(stack.ServiceNameToPort("http"), 80);
  EXPECT_EQ(stack.ServiceNameToPort("8037"), 8037);
  EXPECT_EQ(testing::MessageOf<EIdInvalidServiceName>([&] { stack.ServiceNameToPort("no-such-service"); }),
            "no-such-service is not a valid service.");
  TStringList names = stack.PortToServiceNames(80);
  ASSERT_GE(names.Count(), 2);
  EXPECT_EQ(names[0], "http");
  EXPECT_EQ(names[1], "www");
  EXPECT_EQ(stack.PortToServiceNames(65000).Count(), 0);
}

TEST(SocketList, HoldsDescriptorsInOrder) {
  auto list = TIdSocketList::CreateSocketList();
  ASSERT_NE(dynamic_cast<TIdSocketListLinux*>(list.get()), nullptr);
  EXPECT_EQ(list->HandleCount(), 0);
  EXPECT_EQ(list->HandleAt(0), 0);
  for (int h : {1023, 10, 3, 10}) list->AddHandle(h);
  EXPECT_EQ(list->HandleCount(), 3);
  EXPECT_EQ(list->HandleAt(0), 3);
  EXPECT_EQ(list->HandleAt(1), 10);
  EXPECT_EQ(list->HandleAt(2), 1023);
  EXPECT_EQ(list->HandleAt(3), 0);
  list->RemoveHandle(1023);
  list->RemoveHandle(3);
  EXPECT_EQ(list->HandleCount(), 1);
  EXPECT_EQ(list->HandleAt(0), 10);
  list->AddHandle(5);
  EXPECT_EQ(list->HandleAt(0), 5);
  EXPECT_EQ(list->HandleAt(1), 10);
  list->RemoveHandle(10);
  list->RemoveHandle(5);
  EXPECT_EQ(list->HandleCount(), 0);
  // Beyond the set's 1024 bits nothing is touched.
  EXPECT_THROW(list->AddHandle(1024), EIdSetSizeExceeded);
  EXPECT_THROW(list->AddHandle(-1), EIdSetSizeExceeded);
  EXPECT_THROW(list->RemoveHandle(5000), EIdSetSizeExceeded);
}

class SelectSockets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(Pipe), 0); }
  void TearDown() override {
    close(Pipe[0]);
    close(Pipe[1]);
  }
  int Pipe[2] = {-1, -1};
  TIdStackLinux Stack;
};

TEST_F(SelectSockets, ListSizeAndDescriptorRange) {
  TIdHandleList full(1024, Pipe[0]);
  EXPECT_EQ(Stack.SelectSockets(&full, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(full.empty()) << "nothing was ready";
  TIdHandleList tooMany(1025, Pipe[0]);
  EXPECT_THROW(Stack.SelectSockets(nullptr, &tooMany, nullptr, 0), EIdSetSizeExceeded);
  EXPECT_EQ(tooMany.size(), 1025u) << "nothing was waited for";
  for (int32_t handle : {1024, 5000, -1}) {
    TIdHandleList list{Pipe[0], handle};
    EXPECT_THROW(Stack.SelectSockets(nullptr, nullptr, &list, 0), EIdSetSizeExceeded) << handle;
  }
}

TEST_F(SelectSockets, ReportsReadyDescriptors) {
  TIdHandleList reads{Pipe[0]};
  TIdHandleList writes{Pipe[1]};
  EXPECT_EQ(Stack.SelectSockets(&reads, &writes, nullptr, 1000), 1);
  EXPECT_TRUE(reads.empty());
  EXPECT_EQ(writes, TIdHandleList{Pipe[1]});
  ASSERT_EQ(write(Pipe[1], "x", 1), 1);
  reads = {Pipe[1], Pipe[0]};
  EXPECT_EQ(Stack.SelectSockets(&reads, nullptr, nullptr, 1000), 1);
  EXPECT_EQ(reads, TIdHandleList{Pipe[0]});
}

TEST_F(SelectSockets, TimeOutsInMillisecondsAndWithoutLimit) {
  // 1250 ms must become 1 s and 250000 us: microseconds of a second or
  // more would make select fail at once.
  TIdHandleList reads{Pipe[0]};
  auto start = Clock::now();
  EXPECT_EQ(Stack.SelectSockets(&reads, nullptr, nullptr, 1250), 0);
  EXPECT_GE(MillisecondsSince(start), 1240);
  EXPECT_LT(MillisecondsSince(start), 5000);

  std::thread writer([this] {
    TIdStack::PauseMilliseconds(100);
    EXPECT_EQ(write(Pipe[1], "x", 1), 1);
  });
  reads = {Pipe[0]};
  EXPECT_EQ(Stack.SelectSockets(&reads, nullptr, nullptr, -2), 1);
  writer.join();
}

void IgnoreSignal(int) {}

TEST(PauseMilliseconds, SleepsTheWholeTimeDespiteSignalsAndNeedsNoStack) {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = IgnoreSignal;  // no SA_RESTART: poll sees EINTR
  struct sigaction previous;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  const pthread_t sleeper = pthread_self();
  std::thread interrupter([sleeper] {
    for (int i = 0; i < 5; ++i) {
      TIdStack::PauseMilliseconds(30);
      pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = Clock::now();
  TIdStack::PauseMilliseconds(300);
  const int64_t elapsed = MillisecondsSince(start);
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(elapsed, 300);
  EXPECT_EQ(GlobalStack(), nullptr) << "a pause must not create the shared stack";
}

}  // namespace
}  // namespace ostrevan
