#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "net/errors.h"
#include "net/socket_list.h"
#include "net/stack_linux.h"
#include "tests/support/loopback.h"

namespace ostrevan {
namespace {

using testing::TLoopbackPair;

std::string RaisedBy(TIdStack& stack, int32_t result) {
  try {
    stack.CheckSocketResult(result);
  } catch (const EIdSocketError& e) {
    return std::to_string(e.ErrorNumber()) + "|" + e.Message();
  }
  return "nothing raised";
}

TEST(StackSockets, WritingAfterTheConnectionEndedIsAResetNotASignal) {
  TIdStackLinux stack;
  const std::string reset = "104|Socket Error # 104\r\nConnection reset by peer.";
  {
    // Our own side shut for writing: the system says EPIPE.
    TLoopbackPair pair;
    ASSERT_EQ(shutdown(pair.Client, SHUT_WR), 0);
    const int32_t sent = stack.SendSocket(pair.Client, "x", 1, 0);
    ASSERT_EQ(sent, -1);
    ASSERT_EQ(errno, EPIPE);
    EXPECT_EQ(RaisedBy(stack, sent), reset);
  }
  {
    // The peer closed: after its reset, writes keep failing; without
    // MSG_NOSIGNAL the first EPIPE would kill this process.
    TLoopbackPair pair;
    TLoopbackPair::CloseFd(pair.Server);
    int32_t sent = 0;
    for (int i = 0; i < 200 && sent != -1; ++i) {
      sent = stack.SendSocket(pair.Client, "abc", 3, 0);
      if (sent != -1) TIdStack::PauseMilliseconds(5);
    }
    ASSERT_EQ(sent, -1);
    EXPECT_EQ(RaisedBy(stack, sent), reset);
  }
}

TEST(StackSockets, AcceptOnAListeningSocketClosedElsewhereReportsEintr) {
  TIdStackLinux stack;
  TLoopbackPair pair;
  const int listener = pair.Listener;
  std::thread closer([&pair] { TLoopbackPair::CloseFd(pair.Listener); });
  closer.join();
  std::string ip;
  int32_t port = 0;
  EXPECT_EQ(stack.AcceptSocket(listener, ip, port), -1);
  EXPECT_EQ(errno, EINTR) << "EBADF is reported as EINTR";
  EXPECT_TRUE(stack.CheckSocketResult(-1, {EINTR, ENOTSOCK}));
  EXPECT_EQ(stack.LastError(), EINTR);
  // A connected socket is no listener: EINVAL raises.
  EXPECT_EQ(stack.AcceptSocket(pair.Server, ip, port), -1);
  EXPECT_EQ(RaisedBy(stack, -1), "22|Socket Error # 22\r\nInvalid argument.");
}

TEST(StackSockets, AcceptAndAddressesOfAConnection) {
  TIdStackLinux stack;
  uint16_t port = 0;
  int listener = testing::ListenOnLoopback(port);
  int client = testing::ConnectToLoopback(port);
  std::string peerIP;
  int32_t peerPort = 0;
  const int32_t accepted = stack.AcceptSocket(listener, peerIP, peerPort);
  ASSERT_GE(accepted, 0);
  int32_t family = 0;
  std::string ip;
  int32_t localPort = 0;
  stack.LocalSocketAddress(client, family, ip, localPort);
  EXPECT_EQ(family, AF_INET);
  EXPECT_EQ(ip, "127.0.0.1");
  EXPECT_EQ(peerIP, "127.0.0.1");
  EXPECT_EQ(peerPort, localPort);
  stack.PeerSocketAddress(accepted, family, ip, peerPort);
  EXPECT_EQ(peerPort, localPort);
  stack.PeerSocketAddress(client, family, ip, peerPort);
  EXPECT_EQ(peerPort, port);

  // A socket without a peer: the check raises ENOTCONN.
  EXPECT_THROW(stack.PeerSocketAddress(listener, family, ip, peerPort), EIdSocketError);
  EXPECT_EQ(stack.LastError(), ENOTCONN);
  close(accepted);
  close(client);
  close(listener);
}

TEST(StackSockets, DatagramsCarryTheSender) {
  TIdStackLinux stack;
  const int32_t receiver = stack.NewSocket(SOCK_DGRAM, 0);
  const int32_t sender = stack.NewSocket(SOCK_DGRAM, 0);
  ASSERT_EQ(stack.BindSocket(receiver, AF_INET, "127.0.0.1", 0), 0);
  ASSERT_EQ(stack.BindSocket(sender, AF_INET, "127.0.0.1", 0), 0);
  int32_t family = 0;
  std::string ip;
  int32_t receiverPort = 0;
  int32_t senderPort = 0;
  stack.LocalSocketAddress(receiver, family, ip, receiverPort);
  stack.LocalSocketAddress(sender, family, ip, senderPort);
  ASSERT_EQ(stack.SendToSocket(sender, "ping", 4, 0, "127.0.0.1",
                               static_cast<uint16_t>(receiverPort)),
            4);
  ASSERT_EQ(stack.PollReadable(receiver, 2000), 1);
  char buffer[16] = {};
  std::string from;
  int32_t fromPort = 0;
  EXPECT_EQ(stack.ReceiveFromSocket(receiver, buffer, sizeof(buffer), 0, from, fromPort), 4);
  EXPECT_STREQ(buffer, "ping");
  EXPECT_EQ(from, "127.0.0.1");
  EXPECT_EQ(fromPort, senderPort);
  // Nothing waiting: -1 with EAGAIN, and the address fields are still set.
  from = "stale";
  EXPECT_EQ(stack.ReceiveFromSocket(receiver, buffer, sizeof(buffer), MSG_DONTWAIT, from,
                                    fromPort),
            -1);
  EXPECT_EQ(RaisedBy(stack, -1), "11|Socket Error # 11\r\nOperation would block. ");
  EXPECT_EQ(from, "0.0.0.0");
  stack.CloseSocket(receiver);
  stack.CloseSocket(sender);
}

TEST(StackSockets, SocketOptionsAndFailures) {
  TIdStackLinux stack;
  const int32_t s = stack.NewSocket(SOCK_STREAM, 0);
  const int32_t on = 1;
  EXPECT_EQ(stack.SetSocketOption(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)), 0);
  int32_t value = 0;
  int32_t length = sizeof(value);
  EXPECT_EQ(stack.GetSocketOption(s, SOL_SOCKET, SO_REUSEADDR, &value, length), 0);
  EXPECT_NE(value, 0);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(stack.SetSocketOption(s, SOL_SOCKET, 9999, &on, sizeof(on)), -1);
  EXPECT_EQ(RaisedBy(stack, -1), "92|Socket Error # 92\r\nBad protocol option.");
  EXPECT_EQ(stack.CloseSocket(s), 0);
  EXPECT_EQ(stack.CloseSocket(s), -1);
  EXPECT_EQ(RaisedBy(stack, -1), "9|Socket Error # 9\r\nBad file number.");
  try {
    stack.NewSocket(12345, 0);
    FAIL() << "an impossible socket type was created";
  } catch (const EIdInvalidSocket& e) {
    EXPECT_STREQ(e.what(), "Cannot allocate socket.");
  }
}

// Opens descriptors until the next one is numbered above `floor`, so that
// sockets made afterwards lie beyond the 1024 of a descriptor set.
class HighDescriptors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &Saved), 0);
    if (Saved.rlim_cur < 2048) {
      rlimit raised = Saved;
      raised.rlim_cur = std::min<rlim_t>(2048, Saved.rlim_max);
      if (setrlimit(RLIMIT_NOFILE, &raised) != 0 || raised.rlim_cur < 2048) {
        GTEST_SKIP() << "cannot open more than 1100 descriptors";
      }
    }
    for (;;) {
      const int fd = open("/dev/null", O_RDONLY);
      ASSERT_GE(fd, 0);
      Fillers.push_back(fd);
      if (fd > 1100) break;
    }
  }
  void TearDown() override {
    for (int fd : Fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &Saved);
  }
  rlimit Saved{};
  std::vector<int> Fillers;
};

TEST_F(HighDescriptors, WaitAndReadOnADescriptorAbove1024) {
  TIdStackLinux stack;
  TLoopbackPair pair;
  ASSERT_GT(pair.Server, 1100);
  EXPECT_EQ(stack.PollReadable(pair.Server, 50), 0);
  ASSERT_EQ(stack.SendSocket(pair.Client, "hello", 5, 0), 5);
  EXPECT_EQ(stack.PollReadable(pair.Server, 2000), 1);
  char buffer[8] = {};
  EXPECT_EQ(stack.ReceiveSocket(pair.Server, buffer, sizeof(buffer), 0), 5);
  EXPECT_STREQ(buffer, "hello");

  // The descriptor set cannot hold it: refused, not written out of bounds.
  TIdHandleList reads{pair.Server};
  EXPECT_THROW(stack.SelectSockets(&reads, nullptr, nullptr, 0), EIdSetSizeExceeded);
  auto list = TIdSocketList::CreateSocketList();
  EXPECT_THROW(list->AddHandle(pair.Server), EIdSetSizeExceeded);
}

TEST(StackSockets, PollReadableCountsHangUpAsReadableAndClosedAsFailure) {
  TIdStackLinux stack;
  TLoopbackPair pair;
  TLoopbackPair::CloseFd(pair.Client);
  EXPECT_EQ(stack.PollReadable(pair.Server, 2000), 1);
  char c = 0;
  EXPECT_EQ(stack.ReceiveSocket(pair.Server, &c, 1, 0), 0);
  int closedNumber = socket(AF_INET, SOCK_STREAM, 0);
  close(closedNumber);
  EXPECT_EQ(stack.PollReadable(closedNumber, 1000), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(stack.PollReadable(-1, 1000), -1);
}

}  // namespace
}  // namespace ostrevan
