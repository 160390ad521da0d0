// SPDX-License-Identifier: MIT
#include "ostrevan/net/socket_handle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrevan/conn/component.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack_linux.h"
#include "tests/support/process.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

using testing::SocketErrorOf;

// Every socket call needs the shared stack, which lives with a component.
class SocketHandleTest : public ::testing::Test {
 protected:
  TIdComponent KeepStack{nullptr};

  // A binding listening on 127.0.0.1 on a port the system chooses.
  std::unique_ptr<TIdSocketHandle> Listen() {
    auto binding = std::make_unique<TIdSocketHandle>(nullptr);
    binding->Allocate(SOCK_STREAM, 0);
    binding->SetIP("127.0.0.1");
    binding->BindLocal();
    binding->StartListening(15);
    return binding;
  }

  std::unique_ptr<TIdSocketHandle> Connect(int32_t port) {
    auto client = std::make_unique<TIdSocketHandle>(nullptr);
    client->Allocate(SOCK_STREAM, 0);
    client->SetPeerAddress("127.0.0.1", port);
    EXPECT_EQ(client->ConnectToPeer(AF_INET), 0);
    return client;
  }
};

bool DescriptorIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(SocketHandleTest, ListenConnectAcceptAndExchange) {
  auto binding = Listen();
  EXPECT_EQ(binding->IP(), "127.0.0.1");
  ASSERT_NE(binding->Port(), 0) << "the system's choice is read back";
  auto client = Connect(binding->Port());
  EXPECT_EQ(client->IP(), "127.0.0.1");
  EXPECT_NE(client->Port(), 0);
  EXPECT_EQ(client->RemoteIP(), "127.0.0.1");
  EXPECT_EQ(client->RemotePort(), binding->Port());

  ASSERT_TRUE(TIdSocketHandle::WaitHandleReadable(binding->Descriptor(), 2000));
  TIdSocketHandle accepted(nullptr);
  accepted.SetIP("stale");
  ASSERT_TRUE(accepted.AcceptFrom(binding->Descriptor()));
  EXPECT_TRUE(accepted.Allocated());
  EXPECT_EQ(accepted.IP(), "127.0.0.1");
  EXPECT_EQ(accepted.Port(), binding->Port());
  EXPECT_EQ(accepted.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(accepted.RemotePort(), client->Port());

  EXPECT_FALSE(accepted.WaitReadable(30));
  ASSERT_EQ(client->SendBytes("time", 4, 0), 4);
  ASSERT_TRUE(accepted.WaitReadable(2000));
  char buffer[8] = {};
  EXPECT_EQ(accepted.ReceiveBytes(buffer, sizeof(buffer), 0), 4);
  EXPECT_STREQ(buffer, "time");

  client->Close();
  ASSERT_TRUE(accepted.WaitReadable(-2)) << "the end of the stream is readable";
  EXPECT_EQ(accepted.ReceiveBytes(buffer, sizeof(buffer), 0), 0);
}

// accept itself tells the peer's address; a client gone by the time of the
// accept (reset while queued) is still taken with its address, not raised
// as an error that would hold up the listener.
TEST_F(SocketHandleTest, AcceptTakesAClientThatResetWhileQueued) {
  auto binding = Listen();
  auto client = Connect(binding->Port());
  const int32_t clientPort = client->Port();
  const linger abortive{1, 0};
  client->SetOption(SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
  client->Close();  // sends a reset

  ASSERT_TRUE(TIdSocketHandle::WaitHandleReadable(binding->Descriptor(), 2000));
  TIdSocketHandle accepted(nullptr);
  ASSERT_TRUE(accepted.AcceptFrom(binding->Descriptor()));
  EXPECT_EQ(accepted.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(accepted.RemotePort(), clientPort);
  EXPECT_EQ(accepted.IP(), "127.0.0.1");
  EXPECT_EQ(accepted.Port(), binding->Port());
}

TEST_F(SocketHandleTest, EmptyAddressBindsEveryLocalAddress) {
  TIdSocketHandle binding(nullptr);
  binding.Allocate(SOCK_STREAM, 0);
  binding.BindLocal();
  EXPECT_EQ(binding.IP(), "0.0.0.0");
  EXPECT_NE(binding.Port(), 0);
}

TEST_F(SocketHandleTest, CloseKeepsTheNumberAndHappensOnce) {
  TIdSocketHandle handle(nullptr);
  handle.Allocate(SOCK_STREAM, 0);
  const int fd = handle.Descriptor();
  ASSERT_TRUE(DescriptorIsOpen(fd));
  handle.Close();
  EXPECT_FALSE(DescriptorIsOpen(fd));
  EXPECT_FALSE(handle.Allocated());
  EXPECT_EQ(handle.Descriptor(), fd);
  handle.Close();
  EXPECT_EQ(handle.Descriptor(), fd);
  EXPECT_EQ(testing::MessageOf<EIdConnClosedGracefully>([&] { handle.WaitReadable(10); }),
            "Connection Closed Gracefully.");
  // A closed descriptor is not readable, and says so at once.
  EXPECT_FALSE(TIdSocketHandle::WaitHandleReadable(fd, 5000));

  // Allocate closes what is still open before it makes a new socket.
  handle.Allocate(SOCK_STREAM, 0);
  const int first = handle.Descriptor();
  handle.Allocate(SOCK_STREAM, 0);
  EXPECT_FALSE(DescriptorIsOpen(first) && first != handle.Descriptor());
  // ClearBinding forgets without closing.
  const int kept = handle.Descriptor();
  handle.ClearBinding(false);
  EXPECT_EQ(handle.Descriptor(), -1);
  EXPECT_TRUE(DescriptorIsOpen(kept));
  close(kept);
}

TEST_F(SocketHandleTest, AcceptEndsQuietlyOnAClosedOrForeignListener) {
  auto binding = Listen();
  const int listener = binding->Descriptor();
  std::thread closer([&binding] { binding->Close(); });
  closer.join();
  TIdSocketHandle accepted(nullptr);
  EXPECT_FALSE(accepted.AcceptFrom(listener));
  EXPECT_FALSE(accepted.Allocated());
  EXPECT_EQ(accepted.Descriptor(), -1);

  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  EXPECT_FALSE(accepted.AcceptFrom(pipeEnds[0])) << "ENOTSOCK is tolerated";
  close(pipeEnds[0]);
  close(pipeEnds[1]);

  // Any other failure raises: a socket that is not listening.
  TIdSocketHandle notListening(nullptr);
  notListening.Allocate(SOCK_STREAM, 0);
  EXPECT_EQ(SocketErrorOf([&] { accepted.AcceptFrom(notListening.Descriptor()); }),
            "22|Socket Error # 22\r\nInvalid argument.");
}

// Holds `count` consecutive ports of 127.0.0.1 bound, so that binding them
// again fails with EADDRINUSE.
class THeldPorts {
 public:
  explicit THeldPorts(int count) {
    for (int attempt = 0; attempt < 100 && Fds_.empty(); ++attempt) TryHold(count);
  }
  ~THeldPorts() { Release(); }
  bool Held() const { return !Fds_.empty(); }
  int First() const { return First_; }
  // Lets one of the ports go again.
  void Free(int port) {
    close(Fds_[static_cast<size_t>(port - First_)]);
    Fds_[static_cast<size_t>(port - First_)] = -1;
  }

 private:
  static int BindTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    close(fd);
    return -1;
  }
  void TryHold(int count) {
    const int first = BindTo(0);
    sockaddr_in address;
    socklen_t length = sizeof(address);
    getsockname(first, reinterpret_cast<sockaddr*>(&address), &length);
    First_ = ntohs(address.sin_port);
    Fds_.push_back(first);
    for (int i = 1; i < count; ++i) {
      const int fd = First_ + i <= 65535 ? BindTo(First_ + i) : -1;
      if (fd < 0) {
        Release();
        return;
      }
      Fds_.push_back(fd);
    }
  }
  void Release() {
    for (int fd : Fds_) {
      if (fd >= 0) close(fd);
    }
    Fds_.clear();
  }
  std::vector<int> Fds_;
  int First_ = 0;
};

TEST_F(SocketHandleTest, ClientPortRanges) {
  TIdSocketHandle handle(nullptr);
  handle.Allocate(SOCK_STREAM, 0);
  handle.SetIP("127.0.0.1");
  handle.SetClientPortMin(2000);
  handle.SetClientPortMax(1000);
  EXPECT_EQ(testing::MessageOf<EIdInvalidPortRange>([&] { handle.BindLocal(); }),
            "Invalid Port Range (2000 - 1000)");
  EXPECT_EQ(handle.Port(), 0) << "no port was tried";

  THeldPorts held(3);
  ASSERT_TRUE(held.Held()) << "found no three consecutive free ports";
  const int low = held.First();
  const int high = low + 2;
  handle.SetClientPortMin(low);
  handle.SetClientPortMax(high);
  try {
    handle.BindLocal();
    FAIL() << "bound a port that is in use";
  } catch (const EIdCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(), "Can not bind in port range (" + std::to_string(low) + " - " +
                               std::to_string(high) + ")");
  }
  EXPECT_EQ(handle.Port(), low);

  // The search runs downwards from the upper bound.
  held.Free(low);
  held.Free(low + 1);
  handle.SetPort(0);
  handle.BindLocal();
  EXPECT_EQ(handle.Port(), low + 1);
}

TEST_F(SocketHandleTest, ARangeNeedsPortZeroAndBothBounds) {
  THeldPorts held(1);
  ASSERT_TRUE(held.Held());
  const int busy = held.First();

  TIdSocketHandle oneBound(nullptr);
  oneBound.Allocate(SOCK_STREAM, 0);
  oneBound.SetIP("127.0.0.1");
  oneBound.SetClientPortMax(busy);  // the minimum stays 0: no range
  oneBound.BindLocal();
  EXPECT_NE(oneBound.Port(), 0);
  EXPECT_NE(oneBound.Port(), busy);

  TIdSocketHandle fixed(nullptr);
  fixed.Allocate(SOCK_STREAM, 0);
  fixed.SetIP("127.0.0.1");
  fixed.SetPort(busy);
  fixed.SetClientPortMin(1);
  fixed.SetClientPortMax(65535);
  EXPECT_EQ(testing::MessageOf<EIdCouldNotBindSocket>([&] { fixed.BindLocal(); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_EQ(fixed.Port(), busy);
}

TEST_F(SocketHandleTest, OtherBindFailuresRaiseAtOnce) {
  THeldPorts held(3);
  ASSERT_TRUE(held.Held());
  held.Free(held.First());
  held.Free(held.First() + 1);
  held.Free(held.First() + 2);
  // An address this machine does not have ends a range search on its first
  // port; no traffic is involved.
  TIdSocketHandle handle(nullptr);
  handle.Allocate(SOCK_STREAM, 0);
  handle.SetIP("192.0.2.1");
  handle.SetClientPortMin(held.First());
  handle.SetClientPortMax(held.First() + 2);
  EXPECT_EQ(SocketErrorOf([&] { handle.BindLocal(); }),
            "99|Socket Error # 99\r\nCannot assign requested address.");
  EXPECT_EQ(handle.Port(), held.First() + 2);
  EXPECT_TRUE(handle.Allocated()) << "the caller decides whether to close";

  handle.SetIP("127.0.0.1");
  handle.SetPort(0);
  handle.SetClientPortMin(0);
  handle.BindLocal();
  EXPECT_EQ(SocketErrorOf([&] { handle.BindLocal(); }),
            "22|Socket Error # 22\r\nInvalid argument.")
      << "a second bind of one socket";
}

TEST_F(SocketHandleTest, PrivilegedPortIsRefusedToOrdinaryUsers) {
  // A fresh network namespace has the default privileged range (ports below
  // 1024), whatever this machine's setting; uid 65534 may not bind there.
  auto outcome = testing::RunInChild({.OwnNetworkNamespace = true, .DropToNobody = true}, [] {
    TIdComponent keepStack(nullptr);
    TIdSocketHandle handle(nullptr);
    handle.Allocate(SOCK_STREAM, 0);
    handle.SetPort(37);
    try {
      handle.BindLocal();
    } catch (const EIdSocketError& e) {
      return std::to_string(e.ErrorNumber()) + "|" + e.Message();
    }
    return std::string("bound");
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  if (outcome.Text == "bound") GTEST_SKIP() << "this system lets uid 65534 bind port 37";
  EXPECT_EQ(outcome.Text, "13|Socket Error # 13\r\nAccess denied.");
}

TEST_F(SocketHandleTest, ConnectFailureIsLeftToTheCaller) {
  int32_t freePort = 0;
  {
    auto binding = Listen();
    freePort = binding->Port();
  }
  TIdSocketHandle client(nullptr);
  client.Allocate(SOCK_STREAM, 0);
  client.SetPeerAddress("127.0.0.1", freePort);
  EXPECT_EQ(client.ConnectToPeer(AF_INET), -1);
  EXPECT_EQ(SocketErrorOf([&] { GlobalStack()->CheckSocketResult(-1); }),
            "111|Socket Error # 111\r\nConnection refused.");
  EXPECT_EQ(client.IP(), "") << "no address was read after a failed connect";
  EXPECT_EQ(client.RemotePort(), freePort);
}

TEST_F(SocketHandleTest, OptionsAndDatagrams) {
  TIdSocketHandle receiver(nullptr);
  receiver.Allocate(SOCK_DGRAM, 0);
  const int32_t on = 1;
  receiver.SetOption(SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  EXPECT_EQ(SocketErrorOf([&] { receiver.SetOption(SOL_SOCKET, 9999, &on, sizeof(on)); }),
            "92|Socket Error # 92\r\nBad protocol option.");
  receiver.SetIP("127.0.0.1");
  receiver.BindLocal();

  TIdSocketHandle sender(nullptr);
  sender.Allocate(SOCK_DGRAM, 0);
  sender.SetIP("127.0.0.1");
  sender.BindLocal();
  ASSERT_EQ(GlobalStack()->SendToSocket(sender.Descriptor(), "hi", 2, 0, "127.0.0.1",
                                        static_cast<uint16_t>(receiver.Port())),
            2);
  ASSERT_TRUE(receiver.WaitReadable(2000));
  char buffer[4] = {};
  std::string ip;
  int32_t port = 0;
  EXPECT_EQ(receiver.ReceiveDatagram(buffer, sizeof(buffer), 0, ip, port), 2);
  EXPECT_EQ(std::string(buffer), "hi");
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(port, sender.Port());
  // Nothing waiting: -1 with EAGAIN, and the sender fields are filled anyway.
  EXPECT_EQ(receiver.ReceiveDatagram(buffer, sizeof(buffer), MSG_DONTWAIT, ip, port), -1);
  EXPECT_EQ(SocketErrorOf([&] { GlobalStack()->CheckSocketResult(-1); }),
            "11|Socket Error # 11\r\nOperation would block. ");
  EXPECT_EQ(ip, "0.0.0.0");
}

std::unique_ptr<TIdSocketHandle> ListenIPv6(const std::string& ip, bool dualStack) {
  auto binding = std::make_unique<TIdSocketHandle>(nullptr);
  binding->SetIPVersion(Id_IPv6);
  binding->SetDualStack(dualStack);
  binding->SetIP(ip);
  binding->Allocate(SOCK_STREAM, 0);
  binding->BindLocal();
  binding->StartListening(15);
  return binding;
}

// IPv6 over ::1 with its addresses; an IPv6 binding takes IPv6 only, so an
// IPv4 binding shares its port, unless it is asked to take both families,
// whose IPv4 peers are then reported in dotted text.
TEST_F(SocketHandleTest, IPv6BindingsAndOneForBothFamilies) {
  // The port the system picks for ::1 may be in use on 127.0.0.1 by another
  // socket of this machine (other tests run at the same time): try again.
  std::unique_ptr<TIdSocketHandle> v6;
  TIdSocketHandle v4(nullptr);
  for (int attempt = 0;; ++attempt) {
    v6 = ListenIPv6("::1", false);
    v4.SetIP("127.0.0.1");
    v4.SetPort(v6->Port());
    v4.Allocate(SOCK_STREAM, 0);
    try {
      v4.BindLocal();
      break;
    } catch (const EIdCouldNotBindSocket&) {
      if (attempt == 20) throw;
    }
  }
  EXPECT_EQ(v6->IP(), "::1");
  const int32_t port = v6->Port();

  TIdSocketHandle client(nullptr);
  client.SetIPVersion(Id_IPv6);
  client.Allocate(SOCK_STREAM, 0);
  client.SetPeerAddress("::1", port);
  ASSERT_EQ(client.ConnectToPeer(AF_INET6), 0);
  EXPECT_EQ(client.IP(), "::1");
  TIdSocketHandle accepted(nullptr);
  ASSERT_TRUE(accepted.AcceptFrom(v6->Descriptor()));
  EXPECT_EQ(accepted.IPVersion(), Id_IPv6);
  EXPECT_EQ(accepted.RemoteIP(), "::1");
  EXPECT_EQ(accepted.RemotePort(), client.Port());
  ASSERT_EQ(client.SendBytes("6", 1, 0), 1);
  char byte = 0;
  EXPECT_EQ(accepted.ReceiveBytes(&byte, 1, 0), 1);
  EXPECT_EQ(byte, '6');

  auto both = ListenIPv6("", true);
  EXPECT_EQ(both->IP(), "::");
  auto v4Client = Connect(both->Port());
  TIdSocketHandle fromV4(nullptr);
  ASSERT_TRUE(fromV4.AcceptFrom(both->Descriptor()));
  EXPECT_EQ(fromV4.RemoteIP(), "127.0.0.1");
  EXPECT_EQ(fromV4.IP(), "127.0.0.1");

  TIdSocketHandle copy(nullptr);
  copy.Assign(both.get());
  EXPECT_EQ(copy.IPVersion(), Id_IPv6);
  EXPECT_TRUE(copy.DualStack());
}

// Counts the closes of each descriptor.
class TCloseCountingStack : public TIdStackLinux {
 public:
  int32_t CloseSocket(int32_t ASocket) override {
    {
      std::lock_guard<std::mutex> guard(Lock);
      ++Closes[ASocket];
    }
    return TIdStackLinux::CloseSocket(ASocket);
  }
  static inline std::mutex Lock;  // guards Closes
  static inline std::map<int, int> Closes;
};

TEST(SocketHandleRace, CloseFromTwoThreadsClosesOnce) {
  TIdStack::SetPlatformStackClass([] { return std::make_unique<TCloseCountingStack>(); });
  {
    TIdComponent keepStack(nullptr);
    TIdStack::SetPlatformStackClass(nullptr);
    for (int round = 0; round < 200; ++round) {
      TIdSocketHandle handle(nullptr);
      handle.Allocate(SOCK_STREAM, 0);
      const int fd = handle.Descriptor();
      std::atomic<bool> go{false};
      auto closer = [&] {
        while (!go.load()) {
        }
        handle.Close();
      };
      std::thread a(closer);
      std::thread b(closer);
      go = true;
      a.join();
      b.join();
      std::lock_guard<std::mutex> guard(TCloseCountingStack::Lock);
      ASSERT_EQ(TCloseCountingStack::Closes[fd], 1) << "round " << round;
      TCloseCountingStack::Closes.clear();
    }
  }
}

}  // namespace
}  // namespace ostrevan
