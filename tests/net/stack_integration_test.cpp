// SPDX-License-Identifier: MIT
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "ostrevan/conn/component.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/net/socket_list.h"
#include "ostrevan/net/stack_linux.h"
#include "tests/support/loopback.h"
#include "tests/support/raises.h"

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
  EXPECT_EQ(stack.LastSocketError(), EINTR) << "EBADF is reported as EINTR";
  EXPECT_TRUE(stack.CheckSocketResult(-1, {EINTR, ENOTSOCK}));
  EXPECT_EQ(stack.LastError(), EINTR);
  // A connected socket is no listener: EINVAL raises.
  EXPECT_EQ(stack.AcceptSocket(pair.Server, ip, port), -1);
  EXPECT_EQ(RaisedBy(stack, -1), "22|Socket Error # 22\r\nInvalid argument.");
}

TEST(StackSockets, FailedCreationAndSecondClose) {
  TIdStackLinux stack;
  const int32_t s = stack.NewSocket(SOCK_STREAM, 0);
  EXPECT_EQ(stack.CloseSocket(s), 0);
  EXPECT_EQ(stack.CloseSocket(s), -1);
  EXPECT_EQ(RaisedBy(stack, -1), "9|Socket Error # 9\r\nBad file number.");
  EXPECT_EQ(testing::MessageOf<EIdInvalidSocket>([&] { stack.NewSocket(12345, 0); }),
            "Cannot allocate socket.");
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

TEST_F(HighDescriptors, HandlesAbove1024AcceptWaitAndRead) {
  TIdComponent keepStack(nullptr);
  TIdSocketHandle binding(nullptr);
  binding.Allocate(SOCK_STREAM, 0);
  binding.SetIP("127.0.0.1");
  binding.BindLocal();
  binding.StartListening(15);
  ASSERT_GT(binding.Descriptor(), 1024);
  const int client = testing::ConnectToLoopback(static_cast<uint16_t>(binding.Port()));
  ASSERT_TRUE(TIdSocketHandle::WaitHandleReadable(binding.Descriptor(), 2000));
  TIdSocketHandle accepted(nullptr);
  ASSERT_TRUE(accepted.AcceptFrom(binding.Descriptor()));
  ASSERT_GT(accepted.Descriptor(), 1024);
  EXPECT_FALSE(accepted.WaitReadable(20));
  ASSERT_EQ(write(client, "abc", 3), 3);
  ASSERT_TRUE(accepted.WaitReadable(2000));
  char buffer[4] = {};
  EXPECT_EQ(accepted.ReceiveBytes(buffer, 3, 0), 3);
  EXPECT_STREQ(buffer, "abc");
  close(client);

  // A descriptor set cannot hold it: refused, not written out of bounds.
  TIdHandleList reads{accepted.Descriptor()};
  EXPECT_THROW(GlobalStack()->SelectSockets(&reads, nullptr, nullptr, 0), EIdSetSizeExceeded);
  auto list = TIdSocketList::CreateSocketList();
  EXPECT_THROW(list->AddHandle(accepted.Descriptor()), EIdSetSizeExceeded);
}

TEST(StackSockets, NegativeLengthsFailInsteadOfOverrunningTheBuffer) {
  TIdStackLinux stack;
  TLoopbackPair pair;
  ASSERT_EQ(stack.SendSocket(pair.Client, "0123456789", 10, 0), 10);
  ASSERT_EQ(stack.PollReadable(pair.Server, 2000), 1);
  char small[2] = {};
  const std::string invalid = "22|Socket Error # 22\r\nInvalid argument.";
  EXPECT_EQ(stack.ReceiveSocket(pair.Server, small, -1, 0), -1);
  EXPECT_EQ(RaisedBy(stack, -1), invalid);
  std::string ip;
  int32_t port = 0;
  EXPECT_EQ(stack.ReceiveFromSocket(pair.Server, small, -8, 0, ip, port), -1);
  EXPECT_EQ(RaisedBy(stack, -1), invalid);
  EXPECT_EQ(stack.SendSocket(pair.Client, small, -1, 0), -1);
  EXPECT_EQ(RaisedBy(stack, -1), invalid);
  EXPECT_EQ(stack.SendToSocket(pair.Client, small, -1, 0, "127.0.0.1", 9), -1);
  EXPECT_EQ(RaisedBy(stack, -1), invalid);
  EXPECT_EQ(stack.ReceiveSocket(pair.Server, small, 2, 0), 2) << "the data is still there";
}

}  // namespace
}  // namespace ostrevan
