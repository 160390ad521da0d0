// SPDX-License-Identifier: MIT
#include "ostrevan/server/tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/client/server_intercept.h"
#include "ostrevan/conn/errors.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/conn/server_io_handler.h"
#include "ostrevan/server/errors.h"
#include "ostrevan/server/listener_thread.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/thread_mgr_default.h"
#include "ostrevan/server/udp_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"
#include "tests/support/platform_stack.h"
#include "tests/support/raises.h"
#include "tests/threads/probe_thread.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::ActivateOnLoopback;
using testing::Describe;
using testing::Journal;
using testing::MessageOf;
using testing::PollUntil;
using testing::Signal;
using testing::TTestClient;
using Log = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Journals the connect, disconnect and exception events of a server.
void Watch(TIdTCPServer& server, Journal& journal) {
  server.OnConnect = [&journal](TIdPeerThread&) { journal.Add("connect"); };
  server.OnDisconnect = [&journal](TIdPeerThread&) { journal.Add("disconnect"); };
  server.OnException = [&journal](TIdPeerThread&, const std::exception& e) {
    journal.Add("exception " + Describe(e));
  };
}

bool NoPeersLeft(TIdTCPServer& server) {
  return PollUntil([&] { return server.PeerThreads().Empty(); });
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One client against a server set up by configure; the client does its
// part, then the events are collected once the peer thread has gone.
Log ServeOne(const std::function<void(TIdTCPServer&, Journal&)>& configure,
             const std::function<void(TTestClient&, Journal&)>& client) {
  TIdTCPServer server(nullptr);
  Journal journal;
  Watch(server, journal);
  configure(server, journal);
  TTestClient peer(ActivateOnLoopback(server));
  client(peer, journal);
  if (peer.Fd >= 0) {
    EXPECT_TRUE(peer.AwaitClose()) << "the server did not close the connection";
  }
  EXPECT_TRUE(NoPeersLeft(server));
  server.SetActive(false);
  return journal.Entries();
}

TEST(TcpServer, PeerEndsAreReportedAsTheyShouldBe) {
  auto reading = [](TIdTCPServer& server, Journal& journal) {
    server.OnExecute = [&journal](TIdPeerThread& thread) {
      journal.Add("execute");
      thread.Connection()->ReadLn();
    };
  };
  auto afterExecute = [](TTestClient&, Journal& journal) { journal.WaitCount("execute", 1); };

  // No execute step at all: reported once, then dropped.
  EXPECT_EQ(ServeOne([](TIdTCPServer&, Journal&) {}, [](TTestClient&, Journal&) {}),
            (Log{"connect", "exception EIdNoExecuteSpecified: No execute handler found.",
                 "disconnect"}));

  // A reset during the execute step: error 104, and the server disconnects.
  auto log = ServeOne(reading, [&](TTestClient& client, Journal& journal) {
    afterExecute(client, journal);
    client.Reset();
  });
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2].rfind("exception EIdSocketError 104: Socket Error # 104", 0), 0u) << log[2];
  EXPECT_EQ(log[3], "disconnect");

  // The client closes while a line is read.
  EXPECT_EQ(ServeOne(reading,
                     [&](TTestClient& client, Journal& journal) {
                       afterExecute(client, journal);
                       client.Close();
                     }),
            (Log{"connect", "execute",
                 "exception EIdConnClosedGracefully: Connection Closed Gracefully.",
                 "disconnect"}));

  // OnConnect that disconnects: no execute step, but OnDisconnect.
  EXPECT_EQ(ServeOne(
                [&](TIdTCPServer& server, Journal& journal) {
                  reading(server, journal);
                  server.OnConnect = [&journal](TIdPeerThread& thread) {
                    journal.Add("connect");
                    thread.Connection()->Disconnect();
                  };
                },
                [](TTestClient&, Journal&) {}),
            (Log{"connect", "disconnect"}));

  // OnConnect that raises: nothing reported, no execute, no disconnect
  // event; the thread still leaves the server and closes the connection.
  EXPECT_EQ(ServeOne(
                [&](TIdTCPServer& server, Journal& journal) {
                  reading(server, journal);
                  server.OnConnect = [&journal](TIdPeerThread&) {
                    journal.Add("connect");
                    throw EIdException("refused");
                  };
                },
                [](TTestClient&, Journal&) {}),
            (Log{"connect"}));
}

// Fails the next Faults sends with ENOBUFS, as a system short of buffers
// does.
class TShortOfBuffersStack : public TIdStackLinux {
 public:
  int32_t SendSocket(int32_t ASocket, const void* ABuffer, int32_t ALength,
                     int32_t AFlags) override {
    if (Faults.fetch_sub(1) > 0) return Failed(ENOBUFS);
    return TIdStackLinux::SendSocket(ASocket, ABuffer, ALength, AFlags);
  }
  static inline std::atomic<int> Faults{0};
};

// A socket error that leaves the connection open is reported, and the next
// execute step, which tries again, comes a pause later.
TEST(TcpServer, ASocketErrorThatKeepsTheConnectionPausesItsPeer) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  testing::TPlatformStackInUse<TShortOfBuffersStack> stack;
  TShortOfBuffersStack::Faults = 3;
  const Log log = ServeOne(
      [](TIdTCPServer& server, Journal&) {
        server.OnExecute = [](TIdPeerThread& thread) {
          thread.Connection()->Write("ok");
          thread.Connection()->Disconnect();
        };
      },
      [](TTestClient& client, Journal&) {
        const Clock::time_point connected = Clock::now();
        EXPECT_EQ(client.ReceiveAll(), "ok");
        EXPECT_GE(MillisecondsSince(connected), 300)
            << "three failed steps, each followed by a pause";
      });
  const std::string noBuffers =
      "exception EIdSocketError 105: Socket Error # 105\r\nNo buffer space available.";
  EXPECT_EQ(log, (Log{"connect", noBuffers, noBuffers, noBuffers, "disconnect"}));
}

TEST(TcpServer, ConnectionLimitRefusesWithItsReplyAndServesAgainLater) {
  TIdTCPServer server(nullptr);
  server.SetMaxConnections(1);
  server.MaxConnectionReply().SetCodeAndText(421, "too busy");
  server.OnExecute = [](TIdPeerThread& thread) {
    TIdTCPServerConnection* connection = thread.Connection();
    connection->WriteLn("echo " + connection->ReadLn());
    connection->Disconnect();
  };
  const uint16_t port = ActivateOnLoopback(server);

  TTestClient first(port);
  ASSERT_TRUE(PollUntil([&] { return server.PeerThreads().Count() == 1; }));
  TTestClient second(port);
  EXPECT_EQ(second.ReceiveAll(), "421 too busy\r\n");
  EXPECT_TRUE(second.Closed());
  EXPECT_EQ(server.ThreadMgr()->ActiveThreads().Count(), 1);

  first.Send("one\n");
  EXPECT_EQ(first.ReceiveAll(), "echo one\r\n");
  ASSERT_TRUE(NoPeersLeft(server));
  TTestClient third(port);
  third.Send("three\n");
  EXPECT_EQ(third.ReceiveAll(), "echo three\r\n");
  server.SetActive(false);
}

// Corked, what the peer thread writes waits for the close; uncorked (the
// default) it leaves at once.
TEST(TcpServer, CorkedConnectionsHoldTheirAnswerUntilTheClose) {
  for (const bool cork : {false, true}) {
    TIdTCPServer server(nullptr);
    server.SetCorkConnections(cork);
    Signal written, release;
    server.OnExecute = [&](TIdPeerThread& thread) {
      thread.Connection()->Write("abc");
      written.Set();
      release.Wait();
      thread.Connection()->Disconnect();
    };
    TTestClient client(ActivateOnLoopback(server));
    ASSERT_TRUE(written.Wait());
    EXPECT_EQ(client.ReceiveAll(50), cork ? "" : "abc") << "cork " << cork;
    release.Set();
    EXPECT_EQ(client.ReceiveAll(), cork ? "abc" : "") << "cork " << cork;
    EXPECT_TRUE(client.Closed());
    server.SetActive(false);
  }
}

// A Unix socket handed to a corked server has nothing to cork; it is served
// as it is rather than failing the activation.
TEST(TcpServer, AnAdoptedUnixSocketIsServedUncorked) {
  const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listening, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name: nothing is left in the file system.
  const std::string name = "ostrevan-cork-test-" + std::to_string(getpid());
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listening, 4), 0);
  TIdTCPServer server(nullptr);
  server.SetCorkConnections(true);
  server.OnExecute = [](TIdPeerThread& thread) {
    thread.Connection()->Write("abc");
    thread.Connection()->Disconnect();
  };
  server.Bindings().Add()->Adopt(listening);  // the server closes it
  ASSERT_NO_THROW(server.SetActive(true));
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
  const timeval patience{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  char answer[8] = {};
  EXPECT_EQ(recv(client, answer, sizeof answer, MSG_WAITALL), 3);  // then the end of stream
  EXPECT_STREQ(answer, "abc");
  close(client);
  server.SetActive(false);
}

TEST(TcpServer, GreetingTakesItsTextFromTheCatalogue) {
  TIdTCPServer server(nullptr);
  server.ReplyTexts().Add()->SetCodeAndText(220, "ready");
  server.Greeting().SetNumericCode(220);
  server.OnExecute = [](TIdPeerThread& thread) { thread.Connection()->Disconnect(); };
  TTestClient client(ActivateOnLoopback(server));
  EXPECT_EQ(client.ReceiveAll(), "220 ready\r\n");
  EXPECT_EQ(server.Greeting().Text(), (TStringList{"ready"}));
}

// The peer's address, as the server saw it.
void AnswerWithPeerAddress(TIdTCPServer& server) {
  server.OnExecute = [](TIdPeerThread& thread) {
    auto* handler = dynamic_cast<TIdIOHandlerSocket*>(thread.Connection()->IOHandler());
    thread.Connection()->Write(handler->Binding()->RemoteIP());
    thread.Connection()->Disconnect();
  };
}

// One socket on "::" for IPv6 and IPv4 clients alike; an IPv4 client's
// address in plain dotted text.
TEST(TcpServer, ActivationWithoutBindingsListensOnDefaultPortEverywhere) {
  TIdTCPServer server(nullptr);
  server.SetDefaultPort(0);  // the system chooses
  AnswerWithPeerAddress(server);
  server.SetActive(true);
  server.SetActive(true);  // the current value: nothing happens
  ASSERT_EQ(server.Bindings().Count(), 1);
  TIdSocketHandle* binding = server.Bindings().Items(0);
  EXPECT_EQ(binding->IP(), "::");
  EXPECT_EQ(binding->IPVersion(), Id_IPv6);
  ASSERT_NE(binding->Port(), 0);
  const auto port = static_cast<uint16_t>(binding->Port());
  EXPECT_EQ(TTestClient(port).ReceiveAll(), "127.0.0.1");
  EXPECT_EQ(TTestClient(port, Id_IPv6).ReceiveAll(), "::1");
  server.SetActive(false);
  EXPECT_EQ(server.Bindings().Count(), 1);
  EXPECT_FALSE(binding->Allocated());
}

// Where the system has no IPv6, the binding is the IPv4 one of every local
// address; datagram servers do the same.
TEST(TcpServer, WithoutIPv6TheDefaultBindingIsIPv4) {
  ASSERT_EQ(LiveComponentCount(), 0) << "the stack class is chosen before any component";
  testing::TPlatformStackInUse<testing::TNoIPv6Stack> noIPv6;
  TIdTCPServer server(nullptr);
  server.SetDefaultPort(0);
  AnswerWithPeerAddress(server);
  server.SetActive(true);
  const TIdSocketHandle& binding = *server.Bindings().Items(0);
  EXPECT_EQ(binding.IP(), "0.0.0.0");
  EXPECT_EQ(binding.IPVersion(), Id_IPv4);
  TTestClient client(static_cast<uint16_t>(binding.Port()));
  EXPECT_EQ(client.ReceiveAll(), "127.0.0.1");

  TIdUDPServer udp(nullptr);
  udp.SetDefaultPort(0);
  udp.OnUDPRead = [](TIdUDPServer& sender, const std::string& data, TIdSocketHandle& from,
                     const std::string& ip, int32_t port) {
    sender.SendTo(from, ip, port, data.data(), static_cast<int32_t>(data.size()));
  };
  udp.SetActive(true);
  const TIdSocketHandle& datagrams = *udp.Bindings().Items(0);
  EXPECT_EQ(datagrams.IP(), "0.0.0.0");
  testing::TUdpClient udpClient("127.0.0.1", static_cast<uint16_t>(datagrams.Port()));
  EXPECT_EQ(udpClient.Ask("echo"), "echo");
  udp.SetActive(false);
  server.SetActive(false);
}

TEST(TcpServer, ActiveSetWhileLoadingIsAppliedWhenLoadingEnds) {
  TIdTCPServer server(nullptr);
  server.SetDefaultPort(0);
  server.BeginLoading();
  server.SetActive(true);  // only recorded
  EXPECT_TRUE(server.Active());
  EXPECT_EQ(server.ListenerThreads(), nullptr);
  server.Loaded();
  EXPECT_TRUE(server.Active());
  ASSERT_NE(server.ListenerThreads(), nullptr);
  EXPECT_EQ(server.ListenerThreads()->Count(), 1);
  server.SetActive(false);
}

TEST(TcpServer, FailedActivationClosesWhatItOpened) {
  uint16_t takenPort = 0;
  int taken = testing::ListenOnLoopback(takenPort);
  TIdTCPServer server(nullptr);
  TIdSocketHandle* first = server.Bindings().Add();
  first->SetIP("127.0.0.1");
  first->SetPort(0);
  TIdSocketHandle* second = server.Bindings().Add();
  second->SetIP("127.0.0.1");
  second->SetPort(takenPort);
  EXPECT_EQ(MessageOf<EIdCouldNotBindSocket>([&] { server.SetActive(true); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ListenerThreads(), nullptr);
  EXPECT_FALSE(first->Allocated());
  EXPECT_FALSE(second->Allocated());
  testing::TLoopbackPair::CloseFd(taken);
  server.SetActive(true);  // the port is free now
  EXPECT_TRUE(server.Active());
  server.SetActive(false);
}

TEST(TcpServer, DeactivationWaitsInQuarterSecondSteps) {
  TIdTCPServer server(nullptr);
  ActivateOnLoopback(server);
  server.SetTerminateWaitTime(249);  // no step at all: raises at once
  auto start = Clock::now();
  EXPECT_THROW(server.SetActive(false), EIdTerminateThreadTimeout);
  EXPECT_LT(MillisecondsSince(start), 250);
  EXPECT_TRUE(server.Active());

  server.SetTerminateWaitTime(5000);  // no peers: the first check succeeds
  start = Clock::now();
  server.SetActive(false);
  const int64_t elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 2000);
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.CurrentThreadMgr(), nullptr);  // the implicit manager went
}

TEST(TcpServer, PeerThatOutlastsTheWaitKeepsTheServerActive) {
  TIdTCPServer server(nullptr);
  server.SetTerminateWaitTime(500);
  Signal entered, release;
  server.OnExecute = [&](TIdPeerThread& thread) {
    entered.Set();
    release.Wait();
    thread.Connection()->Disconnect();
  };
  TTestClient client(ActivateOnLoopback(server));
  ASSERT_TRUE(entered.Wait());
  for (int attempt = 0; attempt < 2; ++attempt) {  // a second deactivation waits again
    const auto start = Clock::now();
    EXPECT_EQ(MessageOf<EIdTerminateThreadTimeout>([&] { server.SetActive(false); }),
              "Terminate Thread Timeout");
    EXPECT_GE(MillisecondsSince(start), 500);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.ListenerThreads(), nullptr);
    EXPECT_NE(server.CurrentThreadMgr(), nullptr);  // kept while a peer remains
  }
  EXPECT_TRUE(client.AwaitClose());  // its socket was closed all the same
  release.Set();
  server.SetActive(false);
  EXPECT_FALSE(server.Active());
}

TEST(TcpServer, DeactivationAndDestructionWithClientsConnected) {
  auto server = std::make_unique<TIdTCPServer>(nullptr);
  server->OnExecute = [](TIdPeerThread& thread) {
    TIdTCPServerConnection* connection = thread.Connection();
    connection->WriteLn(connection->ReadLn());
  };
  uint16_t port = ActivateOnLoopback(*server);
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<TTestClient>(port));
  clients[0]->Send("ping\n");
  EXPECT_EQ(clients[0]->ReceiveLine(), "ping\r\n");
  ASSERT_TRUE(PollUntil([&] { return server->PeerThreads().Count() == 4; }));
  server->SetActive(false);  // closes their sockets and waits for the threads
  for (auto& client : clients) EXPECT_TRUE(client->AwaitClose());
  server.reset();  // right after deactivation

  // Destroying an active server deactivates it first.
  server = std::make_unique<TIdTCPServer>(nullptr);
  server->OnExecute = [](TIdPeerThread& thread) { thread.Connection()->ReadLn(); };
  port = ActivateOnLoopback(*server);
  clients.clear();
  for (int i = 0; i < 4; ++i) clients.push_back(std::make_unique<TTestClient>(port));
  ASSERT_TRUE(PollUntil([&] { return server->PeerThreads().Count() == 4; }));
  server.reset();
  for (auto& client : clients) EXPECT_TRUE(client->AwaitClose());
}

TEST(TcpServer, ListenerReportsAFailedPassAndGoesOn) {
  TIdTCPServer server(nullptr);
  Journal journal;
  server.SetPeerThreadClass(nullptr);  // every accepted connection fails
  server.OnListenException = [&](TIdListenerThread&, const std::exception& e) {
    journal.Add(Describe(e));
  };
  const uint16_t port = ActivateOnLoopback(server);
  for (int i = 1; i <= 2; ++i) {
    TTestClient client(port);
    EXPECT_TRUE(client.AwaitClose());  // the accepted socket went with its connection
    EXPECT_TRUE(journal.WaitCount("EIdThreadClassNotSpecified: Thread Class Not Specified.", i));
  }
  EXPECT_EQ(server.ThreadMgr()->ActiveThreads().Count(), 0);
  EXPECT_TRUE(server.PeerThreads().Empty());
  server.SetActive(false);
  // A class of threads that are no peer threads: refused, the thread freed.
  server.SetPeerThreadClass([](bool) -> std::unique_ptr<TIdThread> {
    return std::make_unique<TIdListenerThread>(nullptr, nullptr);
  });
  EXPECT_TRUE(TTestClient(ActivateOnLoopback(server)).AwaitClose());
  EXPECT_TRUE(journal.WaitCount("EIdThreadMgrError: Thread Class is not a peer thread class.", 1));
  EXPECT_EQ(server.ThreadMgr()->ActiveThreads().Count(), 0);
}

// A connection to 127.0.0.1:port from the address source, by plain calls.
int ConnectFrom(const char* source, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &address.sin_addr);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// What the server sends until it closes, within five seconds; "timeout"
// when it does not close.
std::string ReceiveUntilClosed(int fd) {
  std::string received;
  const Clock::time_point start = Clock::now();
  char chunk[256];
  while (MillisecondsSince(start) < 5000) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    const ssize_t count = ::recv(fd, chunk, sizeof chunk, 0);
    if (count <= 0) return received;
    received.append(chunk, static_cast<size_t>(count));
  }
  return "timeout";
}

// The filter sees both ends before anything is spent on the connection: a
// refused peer gets no byte, no thread and no event; a filter that raises
// refuses as well and is reported; an admitted peer sees the usual events
// in the usual order, after the filter's.
TEST(TcpServer, ConnectionFilterRefusesBeforeGreetingOrThread) {
  TIdTCPServer server(nullptr);
  Journal journal;
  Watch(server, journal);
  std::atomic<int> threadsMade{0};
  server.SetPeerThreadClass([&](bool suspended) -> std::unique_ptr<TIdThread> {
    ++threadsMade;
    return std::make_unique<TIdPeerThread>(suspended);
  });
  server.Greeting().SetCodeAndText(200, "hello");
  server.OnExecute = [&](TIdPeerThread& thread) {
    journal.Add("execute");
    thread.Connection()->Disconnect();
  };
  server.OnListenException = [&](TIdListenerThread&, const std::exception& e) {
    journal.Add("listener " + Describe(e));
  };
  server.OnFilterConnection = [&](TIdTCPServer& sender, const TIdConnectionAddresses& ends) {
    EXPECT_EQ(&sender, &server);
    EXPECT_EQ(ends.Binding, server.Bindings().Items(0));
    EXPECT_EQ(ends.LocalIP, "127.0.0.1");
    EXPECT_EQ(ends.LocalPort, ends.Binding->Port());
    EXPECT_GT(ends.PeerPort, 0);
    journal.Add("filter " + ends.PeerIP);
    if (ends.PeerIP == "127.0.0.3") throw EIdException("no verdict");
    return ends.PeerIP == "127.0.0.1";
  };
  const uint16_t port = ActivateOnLoopback(server);

  for (const char* refused : {"127.0.0.2", "127.0.0.3"}) {
    const int fd = ConnectFrom(refused, port);
    EXPECT_EQ(ReceiveUntilClosed(fd), "") << refused;
    ::close(fd);
  }
  EXPECT_EQ(threadsMade.load(), 0);
  EXPECT_EQ(server.FilterRefusedCount(), 2u);

  TTestClient admitted(port);
  EXPECT_EQ(admitted.ReceiveAll(), "200 hello\r\n");
  ASSERT_TRUE(NoPeersLeft(server));
  server.SetActive(false);
  EXPECT_EQ(threadsMade.load(), 1);
  EXPECT_EQ(server.FilterRefusedCount(), 2u);
  EXPECT_EQ(journal.Entries(),
            (Log{"filter 127.0.0.2", "filter 127.0.0.3", "listener EIdException: no verdict",
                 "filter 127.0.0.1", "connect", "execute", "disconnect"}));
}

// A thread manager whose first hand-out waits until the test lets it go,
// which holds the listener inside its first pass.
class TGatedThreadMgr : public TIdThreadMgrDefault {
 public:
  using TIdThreadMgrDefault::TIdThreadMgrDefault;
  std::unique_ptr<TIdThread> AcquireThread() override {
    if (!FirstDone_.exchange(true)) {
      InFirst.Set();
      Release.Wait();
    }
    return TIdThreadMgrDefault::AcquireThread();
  }
  Signal InFirst, Release;

 private:
  std::atomic<bool> FirstDone_{false};
};

// A client that connects and resets while the listener is busy is still
// taken from the queue without a listener error (asking for its address
// after the reset would fail), and the listener serves on at once.
TEST(TcpServer, AClientThatResetWhileQueuedIsNoListenerError) {
  TGatedThreadMgr mgr(nullptr);
  TIdTCPServer server(nullptr);
  server.SetThreadMgr(&mgr);
  server.OnExecute = [](TIdPeerThread& thread) {
    thread.Connection()->Write("served");
    thread.Connection()->Disconnect();
  };
  server.OnException = [](TIdPeerThread&, const std::exception&) {};
  std::atomic<int> listenErrors{0};
  server.OnListenException = [&](TIdListenerThread&, const std::exception&) { ++listenErrors; };
  const uint16_t port = ActivateOnLoopback(server);

  TTestClient first(port);
  ASSERT_TRUE(mgr.InFirst.Wait());
  TTestClient(port).Reset();  // queued, then gone
  mgr.Release.Set();
  EXPECT_EQ(first.ReceiveAll(), "served");
  EXPECT_EQ(TTestClient(port).ReceiveAll(), "served");
  EXPECT_EQ(listenErrors, 0);
  server.SetActive(false);
}

// A thread that the system refuses to create (here: a stack it cannot map)
// shows at the peer's Start, when its POSIX thread is made: the pass is
// reported, the connection dropped, nothing stays listed, and the next
// client is served once threads can be made again. The listener's own
// thread, refused the same way, fails the activation instead.
TEST(TcpServer, AThreadThatCannotBeCreatedIsReported) {
  struct TStackSizeGuard {
    ~TStackSizeGuard() { TThread::SetDefaultStackSize(TThread::kDefaultStackSize); }
  } restore;
  constexpr size_t kUnmappable = size_t{1} << 50;
  TIdTCPServer server(nullptr);
  server.OnExecute = [](TIdPeerThread& thread) {
    thread.Connection()->Write("served");
    thread.Connection()->Disconnect();
  };
  std::mutex reportsLock;
  Log reports;
  server.OnListenException = [&](TIdListenerThread&, const std::exception& e) {
    std::lock_guard<std::mutex> lock(reportsLock);
    reports.push_back(Describe(e));
  };
  const uint16_t port = ActivateOnLoopback(server);

  TThread::SetDefaultStackSize(kUnmappable);
  TTestClient refused(port);
  EXPECT_EQ(refused.ReceiveAll(), "") << "closed without being served";
  ASSERT_TRUE(PollUntil([&] {
    std::lock_guard<std::mutex> lock(reportsLock);
    return !reports.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(reportsLock);
    EXPECT_EQ(reports.front().rfind("EThread: Thread creation error: ", 0), 0u) << reports.front();
  }
  EXPECT_EQ(server.ThreadMgr()->ActiveThreads().Count(), 0);
  EXPECT_TRUE(server.PeerThreads().Empty());

  TThread::SetDefaultStackSize(TThread::kDefaultStackSize);
  EXPECT_EQ(TTestClient(port).ReceiveAll(), "served");
  server.SetActive(false);

  TThread::SetDefaultStackSize(kUnmappable);
  EXPECT_EQ(MessageOf<EThread>([&] { server.SetActive(true); }).rfind("Thread creation error: ", 0),
            0u);
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.ListenerThreads(), nullptr);
  EXPECT_FALSE(server.Bindings().Items(0)->Allocated());
  TThread::SetDefaultStackSize(TThread::kDefaultStackSize);
  server.SetActive(true);
  EXPECT_EQ(TTestClient(static_cast<uint16_t>(server.Bindings().Items(0)->Port())).ReceiveAll(),
            "served");
  server.SetActive(false);
}

TEST(TcpServer, ImplicitPartsComeAndGoWithTheirServer) {
  TIdTCPServer server(nullptr);
  TIdThreadMgr* implicit = server.ThreadMgr();
  ASSERT_NE(implicit, nullptr);
  EXPECT_EQ(server.ThreadMgr(), implicit);
  EXPECT_EQ(server.ComponentCount(), 1);  // owned by the server
  auto external = std::make_unique<TIdThreadMgrDefault>(nullptr);
  server.SetThreadMgr(external.get());  // frees the implicit one at once
  EXPECT_EQ(server.ComponentCount(), 0);
  EXPECT_EQ(server.ThreadMgr(), external.get());
  external.reset();  // the server forgets it
  EXPECT_EQ(server.CurrentThreadMgr(), nullptr);
}

// Serves lines back until the client goes.
void Echo(TIdTCPServer& server) {
  server.OnExecute = [](TIdPeerThread& thread) {
    TIdTCPServerConnection* connection = thread.Connection();
    connection->WriteLn(connection->ReadLn());
  };
  server.OnException = [](TIdPeerThread&, const std::exception&) {};
}

// Whether one client got its line back; false also when it was cut off.
bool Echoes(uint16_t port, const std::string& text) {
  try {
    TTestClient client(port);
    client.Send(text + "\n");
    return client.ReceiveLine() == text + "\r\n";
  } catch (const std::exception&) {
    return false;
  }
}

// The thread manager assigned to an active server may go at any time: the
// server cuts the connections it served, forgets it, and serves on with a
// manager of its own.
TEST(TcpServer, AnAssignedThreadManagerDestroyedWhileTheServerIsActive) {
  {  // with a client connected
    TIdTCPServer server(nullptr);
    Echo(server);
    auto* mgr = new TIdThreadMgrDefault(nullptr);
    server.SetThreadMgr(mgr);
    const uint16_t port = ActivateOnLoopback(server);
    TTestClient client(port);
    client.Send("ping\n");
    ASSERT_EQ(client.ReceiveLine(), "ping\r\n");
    delete mgr;
    EXPECT_TRUE(client.AwaitClose());
    EXPECT_EQ(server.CurrentThreadMgr(), nullptr);
    EXPECT_TRUE(Echoes(port, "served on"));
    server.SetActive(false);
  }
  {  // with clients arriving while it goes
    TIdTCPServer server(nullptr);
    Echo(server);
    auto* mgr = new TIdThreadMgrDefault(nullptr);
    server.SetThreadMgr(mgr);
    const uint16_t port = ActivateOnLoopback(server);
    std::atomic<bool> deleted{false};
    std::atomic<int> served{0};
    std::thread arrivals([&] {
      for (int i = 0; i < 100 && !deleted; ++i) served += Echoes(port, "arriving");
    });
    ASSERT_TRUE(PollUntil([&] { return served > 0; }));
    delete mgr;
    deleted = true;
    arrivals.join();
    EXPECT_TRUE(Echoes(port, "served on"));
    server.SetActive(false);
  }
  {  // freed by the owner it shares with the server, being the younger
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* server = new TIdTCPServer(owner.get());
    Echo(*server);
    server->SetThreadMgr(new TIdThreadMgrDefault(owner.get()));
    TTestClient client(ActivateOnLoopback(*server));
    client.Send("ping\n");
    ASSERT_EQ(client.ReceiveLine(), "ping\r\n");
    owner.reset();
    EXPECT_TRUE(client.AwaitClose());
  }
}

// A manager whose hand-out is held inside AcquireThread when it is
// destroyed: the destruction completes only once that call has returned.
class TRetiringGatedMgr : public TGatedThreadMgr {
 public:
  using TGatedThreadMgr::TGatedThreadMgr;
  ~TRetiringGatedMgr() override { Retire(); }
};

TEST(TcpServer, ADestroyedThreadManagerWaitsForTheCallInProgress) {
  auto* mgr = new TRetiringGatedMgr(nullptr);
  TIdTCPServer server(nullptr);
  Echo(server);
  server.SetThreadMgr(mgr);
  const uint16_t port = ActivateOnLoopback(server);
  TTestClient client(port);
  ASSERT_TRUE(mgr->InFirst.Wait());
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    delete mgr;
    destroyed = true;
  });
  EXPECT_TRUE(PollUntil([&] { return server.CurrentThreadMgr() == nullptr; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(destroyed) << "destroyed under the listener's call";
  mgr->Release.Set();
  destroyer.join();
  client.Send("ping\n");
  EXPECT_EQ(client.ReceiveLine(), "ping\r\n") << "the thread it handed out serves on";
  server.SetActive(false);
}

// Whether the call, made on another thread, returns: false when it waits
// for a lock that the calling thread holds. The thread is joined later.
bool AnswersFromAnotherThread(std::function<void()> call, std::vector<std::thread>& threads) {
  auto answered = std::make_shared<Signal>();
  threads.emplace_back([call, answered] {
    call();
    answered->Set();
  });
  return answered->Wait();
}

class TOneInterceptPerConnection : public TIdServerIntercept {
 public:
  using TIdServerIntercept::TIdServerIntercept;
  void Init() override {}
  TIdConnectionIntercept* InterceptFor(TIdTCPConnection* AConnection) override {
    auto* intercept = new TIdConnectionIntercept(AConnection);
    intercept->OnDisconnect = OnDisconnect;
    return intercept;
  }
  TIdInterceptNotifyEvent OnDisconnect;
};

// Tells, once its listener is stopped, whether the server's listener list
// can be read meanwhile.
class TListAskingAcceptor : public TIdServerIOHandlerSocket {
 public:
  TListAskingAcceptor(TIdTCPServer& AServer, std::vector<std::thread>& AThreads)
      : TIdServerIOHandlerSocket(nullptr), Server_(AServer), Threads_(AThreads) {}
  std::unique_ptr<TIdIOHandler> AcceptConnection(int32_t AListeningSocket, TIdThread* AThread) override {
    ++Accepts;
    auto handler = TIdServerIOHandlerSocket::AcceptConnection(AListeningSocket, AThread);
    if (handler == nullptr) {
      ListAnswered = AnswersFromAnotherThread([this] { Server_.ListenerThreads()->Count(); },
                                              Threads_);
    }
    return handler;
  }
  std::atomic<int> Accepts{0};
  std::atomic<bool> ListAnswered{false};

 private:
  TIdTCPServer& Server_;
  std::vector<std::thread>& Threads_;
};

// Counts the destruction notices the component is given.
template <class TBase>
class TNoticeCounting : public TBase {
 public:
  TNoticeCounting() : TBase(nullptr) {}
  int Notices = 0;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TBase::Notification(AComponent, Operation);
    if (Operation == opRemove) ++Notices;
  }
};

// An intercept or I/O handler the server was given and then replaced is no
// longer tied to it: only the one in place is told when the server goes.
TEST(TcpServer, AReplacedInterceptOrIOHandlerIsLetGo) {
  TNoticeCounting<TOneInterceptPerConnection> firstIntercept, secondIntercept;
  TNoticeCounting<TIdServerIOHandlerSocket> firstHandler, secondHandler;
  {
    TIdTCPServer server(nullptr);
    server.SetIntercept(&firstIntercept);
    server.SetIntercept(&secondIntercept);
    server.SetIOHandler(&firstHandler);
    server.SetIOHandler(&secondHandler);
  }
  EXPECT_EQ(firstIntercept.Notices, 0);
  EXPECT_EQ(firstHandler.Notices, 0);
  EXPECT_EQ(secondIntercept.Notices, 1);
  EXPECT_EQ(secondHandler.Notices, 1);
}

// Deactivation runs user code: the disconnect hook of every connection it
// cuts, and the accept step of a server I/O handler as its listener stops.
// It holds no list lock meanwhile, so that code may ask for the lists.
TEST(TcpServer, UserCodeThatDeactivationRunsMayReadTheServersLists) {
  std::vector<std::thread> threads;
  TIdTCPServer server(nullptr);
  TListAskingAcceptor acceptor(server, threads);
  TOneInterceptPerConnection intercept(nullptr);
  std::atomic<int> hooks{0};
  std::atomic<int> unanswered{0};
  const std::thread::id deactivating = std::this_thread::get_id();
  intercept.OnDisconnect = [&](TIdConnectionIntercept*) {
    ++hooks;
    if (std::this_thread::get_id() != deactivating) return;
    if (!AnswersFromAnotherThread([&] { server.PeerThreads().Count(); }, threads)) ++unanswered;
  };
  server.SetIOHandler(&acceptor);
  server.SetIntercept(&intercept);
  Echo(server);
  const uint16_t port = ActivateOnLoopback(server);
  TTestClient first(port), second(port);
  for (TTestClient* client : {&first, &second}) {  // served: their intercepts are in place
    client->Send("ping\n");
    ASSERT_EQ(client->ReceiveLine(), "ping\r\n");
  }
  ASSERT_TRUE(PollUntil([&] { return acceptor.Accepts == 3; })) << "the listener waits again";
  server.SetActive(false);
  EXPECT_EQ(hooks, 2);
  EXPECT_EQ(unanswered, 0);
  EXPECT_TRUE(acceptor.ListAnswered);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace ostrevan

namespace ostrevan {
namespace {

// Connections from four clients at once are each counted exactly once, as
// served, failed or refused; the counts outlive a deactivation; the
// listeners are alive exactly while the server is active and none ended.
TEST(TcpServer, StatisticsCountEveryConnectionOnce) {
  TIdTCPServer server(nullptr);
  server.OnExecute = [](TIdPeerThread& thread) {
    TIdTCPServerConnection* connection = thread.Connection();
    if (connection->ReadLn() == "fail") throw EIdTCPServerError("asked to fail");
    connection->WriteLn("ok");
    connection->Disconnect();
  };
  EXPECT_FALSE(server.ListenersAlive());
  const uint16_t port = ActivateOnLoopback(server);
  EXPECT_TRUE(server.ListenersAlive());
  constexpr uint64_t kClients = 4, kEach = 100;
  std::vector<std::thread> clients;
  for (uint64_t c = 0; c < kClients; ++c) {
    clients.emplace_back([port] {
      for (uint64_t i = 0; i < kEach; ++i) {
        TTestClient client(port);
        client.Send("hi\n");
        EXPECT_EQ(client.ReceiveAll(), "ok\r\n");
      }
    });
  }
  for (std::thread& client : clients) client.join();
  TTestClient failing(port);
  failing.Send("fail\n");
  EXPECT_TRUE(failing.AwaitClose());
  ASSERT_TRUE(NoPeersLeft(server));
  TIdTCPServerStatistics counts = server.Statistics();
  EXPECT_EQ(counts.Accepted, kClients * kEach + 1);
  EXPECT_EQ(counts.Served, kClients * kEach);
  EXPECT_EQ(counts.Failed, 1u);
  EXPECT_EQ(counts.Refused + counts.Filtered + counts.ListenerFailures + counts.CurrentPeers, 0u);
  EXPECT_GE(counts.PeakPeers, 1u);
  // A client's next connection may come before its last peer thread ended.
  EXPECT_LE(counts.PeakPeers, 2 * kClients);

  server.SetActive(false);
  EXPECT_FALSE(server.ListenersAlive());
  server.SetMaxConnections(1);
  server.SetActive(true);
  TTestClient holding(port);
  ASSERT_TRUE(PollUntil([&] { return server.Statistics().CurrentPeers == 1; }));
  for (int i = 0; i < 3; ++i) {
    TTestClient refused(port);
    EXPECT_TRUE(refused.AwaitClose());
  }
  holding.Send("bye\n");
  EXPECT_EQ(holding.ReceiveAll(), "ok\r\n");
  ASSERT_TRUE(NoPeersLeft(server));
  counts = server.Statistics();
  EXPECT_EQ(counts.Accepted, kClients * kEach + 5);
  EXPECT_EQ(counts.Refused, 3u);
  EXPECT_EQ(counts.Served, kClients * kEach + 1);

  // A listener that was told to end is no longer alive.
  server.ListenerThreads()->Pin().Items().front()->Terminate();
  EXPECT_FALSE(server.ListenersAlive());
  server.SetActive(false);
}

}  // namespace
}  // namespace ostrevan
