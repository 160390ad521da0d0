// SPDX-License-Identifier: MIT
#include "ostrevan/conn/io_handler_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ostrevan/client/socks_errors.h"
#include "ostrevan/client/socks_info.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/stack.h"
#include "ostrevan/net/stack_linux.h"
#include "ostrevan/runtime/format.h"
#include "tests/support/process.h"
#include "tests/support/loopback.h"
#include "tests/support/platform_stack.h"
#include "tests/support/raises.h"
#include "tests/support/scripted_socks_proxy.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan {
namespace {

using testing::ConnectToLoopback;
using testing::ListenOnLoopback;
using testing::MessageOf;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A worker thread that only idles: an accept loop watches its Stopped
// state. Never started it counts as stopped.
class TIdleThread : public TIdThread {
 public:
  TIdleThread() : TIdThread(true) {}

 protected:
  void Run() override { TIdStack::PauseMilliseconds(5); }
};

// Ends a started idle thread and frees it.
void EndThread(TIdleThread* thread) {
  thread->TerminateAndWaitFor();
  delete thread;
}

bool DescriptorIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

class IOHandlerTest : public ::testing::Test {
 protected:
  TIdComponent KeepStack{nullptr};
  TIdServerIOHandlerSocket Acceptor{nullptr};

  // A handler on the accepted end of a fresh loopback connection; the other
  // end is Peer.
  std::unique_ptr<TIdIOHandlerSocket> Accept() {
    uint16_t port = 0;
    const int listener = ListenOnLoopback(port);
    Peer = ConnectToLoopback(port);
    auto* handler = static_cast<TIdIOHandlerSocket*>(Acceptor.AcceptConnection(listener, nullptr).release());
    close(listener);
    return std::unique_ptr<TIdIOHandlerSocket>(handler);
  }

  void TearDown() override {
    if (Peer >= 0) close(Peer);
  }

  int Peer = -1;
};

TEST_F(IOHandlerTest, AcceptedHandlerMovesBytesUntilClosed) {
  auto handler = Accept();
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(handler->Connected());
  EXPECT_EQ(handler->Binding()->RemoteIP(), "127.0.0.1");
  EXPECT_EQ(handler->Send("ping", 4), 4);
  char buffer[8] = {};
  ASSERT_EQ(recv(Peer, buffer, sizeof(buffer), 0), 4);
  ASSERT_EQ(send(Peer, "pong", 4, 0), 4);
  EXPECT_TRUE(handler->WaitReadable(2000));
  EXPECT_EQ(handler->Receive(buffer, sizeof(buffer)), 4);
  EXPECT_FALSE(handler->WaitReadable(10)) << "nothing more came";

  const int fd = handler->Binding()->Descriptor();
  handler->Close();
  EXPECT_FALSE(handler->Connected());
  EXPECT_FALSE(DescriptorIsOpen(fd));
  EXPECT_EQ(MessageOf<EIdClosedSocket>([&] { handler->Send("x", 1); }), "Disconnected.");
  EXPECT_EQ(MessageOf<EIdClosedSocket>([&] { handler->Receive(buffer, 1); }), "Disconnected.");
  EXPECT_THROW(handler->WaitReadable(0), EIdConnClosedGracefully);
  EXPECT_NO_THROW(handler->Close());

  TIdIOHandlerSocket neverOpened(nullptr);
  EXPECT_FALSE(neverOpened.Connected());
  EXPECT_NO_THROW(neverOpened.Close());
  EXPECT_THROW(neverOpened.Send("x", 1), EIdClosedSocket);
}

TEST_F(IOHandlerTest, CloseFromAnotherThreadEndsABlockedReceiveBeforeTheDescriptorCloses) {
  auto handler = Accept();
  const int fd = handler->Binding()->Descriptor();
  std::atomic<int32_t> received{-5};
  std::thread reader([&] {
    char byte;
    received = handler->Receive(&byte, 1);
  });
  // Give the reader time to block in the receive; the outcome is the same
  // if it has not yet begun.
  TIdStack::PauseMilliseconds(50);
  const auto start = Clock::now();
  handler->Close();
  EXPECT_FALSE(handler->Connected()) << "closed at once for every caller";
  reader.join();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(received == 0 || received == -5) << received;
  EXPECT_FALSE(handler->Binding()->Allocated());
  EXPECT_FALSE(DescriptorIsOpen(fd)) << "the last use closed the descriptor";
}

TEST_F(IOHandlerTest, OpenCreatesOrResetsTheBinding) {
  TIdIOHandlerSocket handler(nullptr);
  handler.Open();
  ASSERT_NE(handler.Binding(), nullptr);
  EXPECT_FALSE(handler.Connected());

  auto accepted = Accept();
  const int fd = accepted->Binding()->Descriptor();
  accepted->Open();
  EXPECT_FALSE(accepted->Connected());
  EXPECT_FALSE(DescriptorIsOpen(fd)) << "reopening does not leak the socket";
  EXPECT_EQ(accepted->Binding()->Descriptor(), -1);
}

TEST_F(IOHandlerTest, AcceptingForAStoppedThreadReturnsNoneAndLeavesTheClientWaiting) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  const int client = ConnectToLoopback(port);
  TIdleThread stopped;  // never started
  ASSERT_TRUE(stopped.Stopped());
  const int32_t components = LiveComponentCount();
  EXPECT_EQ(Acceptor.AcceptConnection(listener, &stopped), nullptr);
  EXPECT_EQ(LiveComponentCount(), components) << "the handler made for it is freed";
  pollfd entry{listener, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 0), 1) << "the client was not accepted";

  TIdServerIOHandler base(nullptr);
  EXPECT_EQ(base.AcceptConnection(listener, nullptr), nullptr);
  close(client);
  close(listener);
}

TEST_F(IOHandlerTest, AClientArrivingDuringTheWaitIsAcceptedAtOnce) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  auto* thread = new TIdleThread();
  thread->Start();
  Clock::time_point connectedAt;
  int client = -1;
  std::thread connector([&] {
    TIdStack::PauseMilliseconds(150);  // lets the accept loop wait a slice or more
    connectedAt = Clock::now();
    client = ConnectToLoopback(port);
  });
  std::unique_ptr<TIdIOHandler> handler = Acceptor.AcceptConnection(listener, thread);
  const auto acceptedAt = Clock::now();
  connector.join();
  ASSERT_NE(handler, nullptr);
  EXPECT_TRUE(handler->Connected());
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(acceptedAt - connectedAt).count(),
            100);
  EndThread(thread);
  close(client);
  close(listener);
}

// What an accept for a running thread did when, 150 ms into its wait,
// another thread stopped the thread and then ran closeListener, as a
// server's deactivation does: what it returned or raised, and how long
// after the stop it returned.
struct TStopOutcome {
  std::unique_ptr<TIdIOHandler> Accepted;
  std::string Raised;
  int64_t MsAfterStop = 0;
};

TStopOutcome AcceptUntilStoppedAndClosed(TIdServerIOHandlerSocket& acceptor, int listener,
                                         const std::function<void()>& closeListener) {
  auto* thread = new TIdleThread();
  thread->Start();
  Clock::time_point stoppedAt;
  std::thread server([&] {
    TIdStack::PauseMilliseconds(150);
    stoppedAt = Clock::now();
    thread->Terminate();
    closeListener();
  });
  TStopOutcome outcome;
  try {
    outcome.Accepted = acceptor.AcceptConnection(listener, thread);
  } catch (const EIdSocketError& e) {
    outcome.Raised = e.what();
  }
  const auto returnedAt = Clock::now();
  server.join();
  outcome.MsAfterStop =
      std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - stoppedAt).count();
  EndThread(thread);
  return outcome;
}

TEST_F(IOHandlerTest, StoppingTheThreadAndClosingTheListenerEndsTheWaitWithinASlice) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  const int32_t components = LiveComponentCount();
  const TStopOutcome outcome =
      AcceptUntilStoppedAndClosed(Acceptor, listener, [listener] { close(listener); });
  EXPECT_EQ(outcome.Accepted, nullptr);
  EXPECT_EQ(outcome.Raised, "");
  EXPECT_EQ(LiveComponentCount(), components);
  EXPECT_LT(outcome.MsAfterStop, 100 + 50);
}

// A stack whose close comes well after its shutdown, as when the closing
// thread is descheduled between the two.
class TLateCloseStack : public TIdStackLinux {
 public:
  int32_t CloseSocket(int32_t ASocket) override {
    PauseMilliseconds(150);
    return TIdStackLinux::CloseSocket(ASocket);
  }
};

// The binding's Close shuts the listening socket down before it closes it;
// an accept woken by the shutdown fails with EINVAL. After the stop that is
// the end of the wait; without one it is an error.
TEST(AcceptConnection, AListenerShutDownUnderTheWaitAfterTheStopGivesNone) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  const testing::TPlatformStackInUse<TLateCloseStack> stackInUse;
  TIdServerIOHandlerSocket acceptor(nullptr);
  TIdSocketHandle listening(nullptr);
  listening.SetIP("127.0.0.1");
  listening.Allocate(SOCK_STREAM, 0);
  listening.BindLocal();
  listening.StartListening(1);
  const TStopOutcome outcome = AcceptUntilStoppedAndClosed(
      acceptor, listening.Descriptor(), [&listening] { listening.Close(); });
  EXPECT_EQ(outcome.Accepted, nullptr);
  EXPECT_EQ(outcome.Raised, "");
  EXPECT_LT(outcome.MsAfterStop, 100) << "ended by the shutdown, not by the close";

  TIdSocketHandle notListening(nullptr);
  notListening.SetIP("127.0.0.1");
  notListening.Allocate(SOCK_STREAM, 0);
  auto* thread = new TIdleThread();
  thread->Start();
  try {
    acceptor.AcceptConnection(notListening.Descriptor(), thread);
    ADD_FAILURE() << "nothing raised";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorNumber(), EINVAL);
  }
  EndThread(thread);
}

// Counts the waits and the local address look-ups of accepted sockets.
class TAcceptCountingStack : public TIdStackLinux {
 public:
  int32_t PollReadable(int32_t ASocket, int32_t ATimeout) override {
    ++Waits;
    return TIdStackLinux::PollReadable(ASocket, ATimeout);
  }
  void LocalSocketAddress(int32_t ASocket, int32_t& AFamily, std::string& AIP,
                          int32_t& APort) override {
    ++LocalLookUps;
    TIdStackLinux::LocalSocketAddress(ASocket, AFamily, AIP, APort);
  }
  static inline std::atomic<int> Waits{0};
  static inline std::atomic<int> LocalLookUps{0};
};

// Waiting in its accept a slice at a time, after starting out without
// waits (ANonBlocking) as a passed-in socket may.
void ListenInSlices(TIdSocketHandle& AListening, const std::string& AIP, bool ANonBlocking = false) {
  AListening.SetIP(AIP);
  AListening.Allocate(SOCK_STREAM, 0);
  AListening.BindLocal();
  AListening.StartListening(4);
  const int fd = AListening.Descriptor();
  if (ANonBlocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  AListening.AcceptInSlices(TIdServerIOHandlerSocket::kAcceptSlice);
}

// A listening socket whose accept waits in slices, whether it started out
// blocking or not: a waiting client is taken without a poll, and from a socket bound
// to one address without asking the system for the local address; the stop
// still ends a wait within a slice, and a thread-less accept still waits
// for its client.
TEST(AcceptConnection, AListenerThatDoesNotWaitTakesAWaitingClientAtOnce) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  testing::TPlatformStackInUse<TAcceptCountingStack> stack;
  TIdServerIOHandlerSocket acceptor(nullptr);
  for (const bool nonBlocking : {false, true})
  for (const std::string ip : {"127.0.0.1", "0.0.0.0"}) {
    SCOPED_TRACE(ip + (nonBlocking ? " passed in without waits" : ""));
    TIdSocketHandle listening(nullptr);
    ListenInSlices(listening, ip, nonBlocking);
    EXPECT_EQ(fcntl(listening.Descriptor(), F_GETFL) & O_NONBLOCK, 0);
    const int32_t fd = listening.Descriptor();
    const int client = ConnectToLoopback(static_cast<uint16_t>(listening.Port()));
    auto* thread = new TIdleThread();
    thread->Start();
    TAcceptCountingStack::Waits = 0;
    TAcceptCountingStack::LocalLookUps = 0;
    std::unique_ptr<TIdIOHandler> accepted = acceptor.AcceptConnection(fd, thread);
    ASSERT_NE(accepted, nullptr);
    const TIdSocketHandle& binding = *static_cast<TIdIOHandlerSocket&>(*accepted).Binding();
    EXPECT_EQ(binding.IP(), "127.0.0.1");
    EXPECT_EQ(binding.Port(), listening.Port());
    EXPECT_EQ(TAcceptCountingStack::Waits, 0);
    EXPECT_EQ(TAcceptCountingStack::LocalLookUps, ip == "0.0.0.0" ? 1 : 0);
    EndThread(thread);
    close(client);

    const TStopOutcome outcome =
        AcceptUntilStoppedAndClosed(acceptor, fd, [&listening] { listening.Close(); });
    EXPECT_EQ(outcome.Accepted, nullptr);
    EXPECT_EQ(outcome.Raised, "");
    EXPECT_LT(outcome.MsAfterStop, 100);
    EXPECT_FALSE(TIdSocketHandle::AcceptsInSlices(fd)) << "forgotten with the close";
  }

  for (const bool nonBlocking : {false, true}) {
    TIdSocketHandle listening(nullptr);
    ListenInSlices(listening, "127.0.0.1", nonBlocking);
    int client = -1;
    std::thread connector([&] {
      TIdStack::PauseMilliseconds(50);
      client = ConnectToLoopback(static_cast<uint16_t>(listening.Port()));
    });
    EXPECT_NE(acceptor.AcceptConnection(listening.Descriptor(), nullptr), nullptr);
    connector.join();
    close(client);
  }
}

TEST_F(IOHandlerTest, ConnectToReportsItsStepsAndHonoursUseNagle) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  TIdIOHandlerSocket handler(nullptr);
  std::vector<std::string> statuses;
  handler.OnStatus = [&](TObject*, TIdStatus, const std::string& text) {
    statuses.push_back(text);
  };
  handler.SetUseNagle(false);
  handler.ConnectTo("localhost", port);
  EXPECT_TRUE(handler.Connected());
  EXPECT_EQ(handler.Binding()->RemotePort(), port);
  EXPECT_EQ(statuses, (std::vector<std::string>{"Resolving hostname localhost.",
                                                "Connecting to 127.0.0.1."}));
  int noDelay = 0;
  socklen_t length = sizeof(noDelay);
  getsockopt(handler.Binding()->Descriptor(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
  EXPECT_NE(noDelay, 0);
  close(listener);
}

// A port on 127.0.0.1 where nothing listens.
int32_t RefusingPort() {
  uint16_t port = 0;
  close(ListenOnLoopback(port));
  return port;
}

TEST_F(IOHandlerTest, RefusedConnectsRaiseAndLeaveTheHandlerClosed) {
  const int32_t port = RefusingPort();
  TIdIOHandlerSocket handler(nullptr);
  try {
    handler.ConnectTo("127.0.0.1", port);
    FAIL() << "nothing raised";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.ErrorNumber(), 111);
  }
  EXPECT_FALSE(handler.Connected());
  EXPECT_FALSE(handler.Binding()->Allocated());

  EXPECT_EQ(MessageOf<EIdConnectException>([&] { handler.ConnectTo("127.0.0.1", port, "", 0, 0, 0, 1000); }),
            "Socket Error # 111\r\nConnection refused.");
  EXPECT_FALSE(handler.Connected());
}

// Binds a plain socket to 127.0.0.1:port; -1 when that port is taken.
int Occupy(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST_F(IOHandlerTest, ConnectToBindsTheGivenLocalPortOrRange) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  // Two neighbouring free ports: the range's candidates.
  int low = -1;
  int high = -1;
  uint16_t lowPort = 0;
  for (int attempt = 0; attempt < 50 && high < 0; ++attempt) {
    if (low >= 0) close(low);
    low = ListenOnLoopback(lowPort);
    close(low);
    low = Occupy(lowPort);
    high = low < 0 ? -1 : Occupy(static_cast<uint16_t>(lowPort + 1));
  }
  ASSERT_GE(high, 0) << "no two neighbouring free ports";

  TIdIOHandlerSocket handler(nullptr);
  EXPECT_EQ(MessageOf<EIdCouldNotBindSocket>([&] {
              handler.ConnectTo("127.0.0.1", port, "127.0.0.1", lowPort);
            }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(handler.Connected());
  EXPECT_EQ(MessageOf<EIdCanNotBindPortInRange>([&] {
              handler.ConnectTo("127.0.0.1", port, "127.0.0.1", 0, lowPort, lowPort + 1);
            }),
            Format("Can not bind in port range (%d - %d)", lowPort, lowPort + 1));
  EXPECT_FALSE(handler.Connected());
  EXPECT_EQ(MessageOf<EIdInvalidPortRange>([&] {
              handler.ConnectTo("127.0.0.1", port, "127.0.0.1", 0, lowPort + 1, lowPort);
            }),
            Format("Invalid Port Range (%d - %d)", lowPort + 1, lowPort));

  // Freed, the range's upper port is taken first, as the server sees.
  close(high);
  handler.ConnectTo("127.0.0.1", port, "127.0.0.1", 0, lowPort, lowPort + 1);
  sockaddr_in peer{};
  socklen_t length = sizeof(peer);
  const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  EXPECT_EQ(ntohs(peer.sin_port), lowPort + 1);
  close(accepted);
  close(low);
  close(listener);
}

TEST_F(IOHandlerTest, ConnectFromAPrivilegedPortIsRefusedToOrdinaryUsers) {
  auto outcome = testing::RunInChild({.OwnNetworkNamespace = true, .DropToNobody = true}, [] {
    TIdIOHandlerSocket handler(nullptr);
    try {
      handler.ConnectTo("127.0.0.1", 9, "", 37);
    } catch (const EIdSocketError& e) {
      return std::to_string(e.ErrorNumber()) + "|" + e.Message() + "|" +
             (handler.Connected() ? "connected" : "closed");
    }
    return std::string("bound");
  });
  if (outcome.Skipped) GTEST_SKIP() << outcome.Text;
  if (outcome.Text == "bound") GTEST_SKIP() << "this system lets uid 65534 bind port 37";
  EXPECT_EQ(outcome.Text, "13|Socket Error # 13\r\nAccess denied.|closed");
}

// A listening socket whose accept queue is full: the kernel drops further
// connection requests, so a connect to it neither succeeds nor fails until
// the system gives up minutes later. A backlog of 0 holds one connection.
struct TUnansweredPort {
  int Listener = -1;
  int Filler = -1;
  uint16_t Port = 0;

  TUnansweredPort() {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(Listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(Listener, 0);
    socklen_t length = sizeof(address);
    getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &length);
    Port = ntohs(address.sin_port);
    Filler = ConnectToLoopback(Port);
  }
  ~TUnansweredPort() {
    close(Filler);
    close(Listener);
  }
};

TEST_F(IOHandlerTest, TimedConnectToAPortThatNeverAnswersTimesOut) {
  TUnansweredPort silent;
  TIdIOHandlerSocket handler(nullptr);
  const auto start = Clock::now();
  EXPECT_EQ(MessageOf<EIdConnectTimeout>([&] {
              handler.ConnectTo("127.0.0.1", silent.Port, "", 0, 0, 0, 300);
            }),
            "Connect timed out.");
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 300 + 700);
  EXPECT_FALSE(handler.Connected());
  EXPECT_FALSE(handler.Binding()->Allocated());

}

// A stack whose connect begins late, as that of a connect thread the
// system schedules late would.
class TLateConnectStack : public TIdStackLinux {
 public:
  int32_t ConnectSocket(int32_t ASocket, uint16_t AFamily, const std::string& AIP,
                        uint16_t APort) override {
    PauseMilliseconds(50);
    return TIdStackLinux::ConnectSocket(ASocket, AFamily, AIP, APort);
  }
};

TEST(TimedConnect, ConnectThatBeginsOnlyAfterTheTimeOutIsEndedToo) {
  // Shutting down a socket that is not yet connecting does not stop a
  // connect begun after it, which the system would then retry for two
  // minutes; the time-out must end that connect as well.
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  const testing::TPlatformStackInUse<TLateConnectStack> stackInUse;
  TUnansweredPort silent;
  TIdIOHandlerSocket handler(nullptr);
  const auto start = Clock::now();
  EXPECT_THROW(handler.ConnectTo("127.0.0.1", silent.Port, "", 0, 0, 0, 10), EIdConnectTimeout);
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_FALSE(handler.Connected());
}

TEST_F(IOHandlerTest, TimedConnectThatSucceedsReturnsWithoutWaitingOutItsTime) {
  uint16_t port = 0;
  const int listener = ListenOnLoopback(port);
  TIdIOHandlerSocket handler(nullptr);
  const auto start = Clock::now();
  handler.ConnectTo("127.0.0.1", port, "", 0, 0, 0, 10000);
  EXPECT_LT(MsSince(start), 100) << "the connect's end cuts the poll step short";
  EXPECT_TRUE(handler.Connected());
  EXPECT_EQ(handler.Binding()->RemotePort(), port);

  handler.ConnectTo("127.0.0.1", port, "", 0, 0, 0, -2);
  EXPECT_TRUE(handler.Connected());
  close(listener);
}

TEST_F(IOHandlerTest, SocksInfoIsCreatedOnFirstReadOrReferenced) {
  auto* handler = new TIdIOHandlerSocket(nullptr);
  EXPECT_EQ(handler->SocksInfoIfAny(), nullptr);
  TIdSocksInfo* own = handler->SocksInfo();
  EXPECT_EQ(own->Owner(), handler);
  EXPECT_EQ(own->ProxyHandler(), handler);
  EXPECT_EQ(handler->SocksInfo(), own);

  auto* holder = new TIdComponent(nullptr);
  auto* shared = new TIdSocksInfo(holder);
  const int32_t components = LiveComponentCount();
  handler->SetSocksInfo(shared);
  EXPECT_EQ(LiveComponentCount(), components - 1) << "the owned instance is freed";
  EXPECT_EQ(shared->ProxyHandler(), handler);
  delete handler;
  EXPECT_EQ(shared->ProxyHandler(), nullptr) << "told of the handler's end";

  handler = new TIdIOHandlerSocket(nullptr);
  handler->SetSocksInfo(shared);
  delete holder;  // frees the shared instance
  EXPECT_EQ(handler->SocksInfoIfAny(), nullptr);
  delete handler;
}

TEST_F(IOHandlerTest, ConnectThroughAProxyConnectsToTheProxyAndThenNegotiates) {
  // SOCKS 5 without authentication, then a refusal: host unreachable.
  testing::TScriptedSocksProxy proxy({testing::Read(3), testing::Write({5, 0}), testing::Read(7 + 19),
                                      testing::Write({5, 4, 0, 1, 0, 0, 0, 0, 0, 0})});
  TIdIOHandlerSocket handler(nullptr);
  handler.SocksInfo()->SetVersion(svSocks5);
  handler.SocksInfo()->SetHost("127.0.0.1");
  handler.SocksInfo()->SetPort(proxy.Port());
  EXPECT_THROW(handler.ConnectTo("destination.invalid", 80), EIdSocksServerHostUnreachableError);
  EXPECT_TRUE(handler.Connected()) << "a refused negotiation leaves the proxy connection open";
  EXPECT_EQ(handler.Binding()->RemotePort(), proxy.Port());
  handler.Close();
  // The destination went to the proxy as a name, not looked up here.
  const testing::TBytes received = proxy.Received();
  EXPECT_EQ(std::string(received.begin() + 8, received.end() - 2), "destination.invalid");
}

}  // namespace
}  // namespace ostrevan
