// SPDX-License-Identifier: MIT
// TLS connections against real peers on loopback: openssl s_client and
// gnutls-cli against the TLS server, the TLS client against openssl
// s_server and through microsocks, with certificates made at run time.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "ostrevan/client/socks_info.h"
#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/server/command.h"
#include "ostrevan/server/command_handler.h"
#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/server/tcp_server_connection.h"
#include "ostrevan/tls/errors.h"
#include "ostrevan/tls/internal/tls_engine.h"
#include "ostrevan/tls/io_handler_tls.h"
#include "ostrevan/tls/server_io_handler_tls.h"
#include "ostrevan/tls/start_tls.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/socks_proxies.h"
#include "tests/support/wait.h"

namespace ostrevan::testing {
namespace {

// A CA, and certificates for localhost and 127.0.0.1: signed by it, signed
// by it but expired, self-signed, and a client's. Made once for all tests.
class TCertificates {
 public:
  TCertificates() {
    Req({"-x509", "-keyout", File("ca.key"), "-out", File("ca.pem"), "-days", "2", "-subj", "/CN=Test CA"});
    Dir_.Write("san", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    Signed("server", "2");
    Signed("expired", "-1");
    Signed("client", "2");
    Req({"-x509", "-keyout", File("self.key"), "-out", File("self.pem"), "-days", "2", "-subj",
         "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"});
  }
  std::string File(const std::string& name) const { return Dir_.File(name); }

 private:
  static void Run(std::vector<std::string> argv) {
    const TRunResult result = RunProgram(argv);
    if (result.Status != 0) throw std::runtime_error(argv[1] + " failed: " + result.Output);
  }
  void Req(std::vector<std::string> extra) {
    std::vector<std::string> argv = {"openssl", "req", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:P-256", "-nodes"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Run(argv);
  }
  void Signed(const std::string& name, const std::string& days) {
    Req({"-keyout", File(name + ".key"), "-out", File(name + ".csr"), "-subj", "/CN=" + name});
    Run({"openssl", "x509", "-req", "-in", File(name + ".csr"), "-CA", File("ca.pem"), "-CAkey",
         File("ca.key"), "-set_serial", "1", "-days", days, "-extfile", File("san"), "-out",
         File(name + ".pem")});
  }
  TTempDir Dir_;
};

// Open descriptors and threads of this process.
struct TCounts {
  size_t Fds = 0, Threads = 0;
  static TCounts Now() {
    auto count = [](const char* dir) {
      size_t n = 0;
      for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
      return n;
    };
    return {count("/proc/self/fd"), count("/proc/self/task")};
  }
  bool operator<=(const TCounts& other) const { return Fds <= other.Fds && Threads <= other.Threads; }
};

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Certs = new TCertificates(); }
  static void TearDownTestSuite() { delete Certs; }
  static inline TCertificates* Certs = nullptr;

  // The line server over TLS: a greeting, UPPER, QUIT and, for a server
  // left plain, STARTTLS.
  struct TServer {
    TIdServerIOHandlerTLS Handler{nullptr};
    TIdTCPServer Server{nullptr};
    int Port = 0;
    std::atomic<int> HandshakeFailures{0};
  };
  std::unique_ptr<TServer> StartServer(const std::string& cert, TIdTLSClientCertificate clients = ccNone,
                                       bool passThrough = false, int32_t handshakeTimeout = 10000) {
    auto s = std::make_unique<TServer>();
    TIdTLSSettings& settings = s->Handler.Settings();
    settings.SetCertificateFile(Certs->File(cert + ".pem"));
    settings.SetKeyFile(Certs->File(cert + ".key"));
    settings.SetCAFile(Certs->File("ca.pem"));
    settings.SetClientCertificate(clients);
    s->Handler.SetPassThrough(passThrough);
    s->Handler.SetHandshakeTimeout(handshakeTimeout);
    s->Server.SetIOHandler(&s->Handler);
    s->Server.Greeting().SetCodeAndText(200, "TLS line server ready");
    s->Server.ReplyUnknownCommand().SetCodeAndText(500, "Unknown command");
    auto add = [&](const char* word, TIdCommandEvent event) {
      TIdCommandHandler* handler = s->Server.CommandHandlers().Add();
      handler->SetCommand(word);
      handler->OnCommand = std::move(event);
      return handler;
    };
    add("UPPER", [](TIdCommand& c) {
      std::string text = c.UnparsedParams();
      for (char& ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      c.Reply().SetCodeAndText(200, text);
    });
    add("QUIT", [](TIdCommand& c) { c.Reply().SetCodeAndText(221, "Goodbye"); })->SetDisconnect(true);
    add("STARTTLS", [](TIdCommand& c) {
      c.Reply().SetCodeAndText(220, "Go ahead");
      c.SendReply();
      StartTLS(*c.Thread()->Connection());
    });
    TIdSocketHandle* binding = s->Server.Bindings().Add();
    binding->SetIP("127.0.0.1");
    binding->SetPort(0);
    s->Server.SetActive(true);
    s->Port = binding->Port();
    return s;
  }

  // A TLS client trusting the test CA.
  static std::unique_ptr<TIdTCPConnection> Client(int port, const std::function<void(TIdIOHandlerTLS&)>& setUp = {}) {
    auto handler = std::make_unique<TIdIOHandlerTLS>(nullptr);
    handler->Settings().SetCAFile(Certs->File("ca.pem"));
    if (setUp) setUp(*handler);
    handler->ConnectTo("127.0.0.1", port, "", 0, 0, 0, 5000);
    auto connection = std::make_unique<TIdTCPConnection>(nullptr);
    connection->SetReadTimeout(5000);
    connection->SetIOHandler(std::move(handler));
    return connection;
  }

  static std::string ConnectError(int port, const std::function<void(TIdIOHandlerTLS&)>& setUp) {
    try {
      auto connection = Client(port, setUp);
      connection->ReadLn();
      return "connected";
    } catch (const EIdTLSError& e) {
      return e.Message();
    }
  }
};

TEST_F(TlsTest, ServesOpensslAndGnutlsClients) {
  auto server = StartServer("server", ccOptional);
  const std::string port = std::to_string(server->Port);
  const std::vector<std::vector<std::string>> clients = {
      {"openssl", "s_client", "-connect", "127.0.0.1:" + port, "-CAfile", Certs->File("ca.pem"),
       "-verify_return_error", "-verify_hostname", "localhost", "-quiet"},
      {"gnutls-cli", "--x509cafile=" + Certs->File("ca.pem"), "--port=" + port,
       "--verify-hostname=localhost", "--x509certfile=" + Certs->File("client.pem"),
       "--x509keyfile=" + Certs->File("client.key"), "127.0.0.1"}};
  for (const auto& argv : clients) {
    TChildProcess client(argv);
    ASSERT_TRUE(client.WaitForOutput("200 TLS line server ready", 10s)) << argv[0] << client.ErrorOutput();
    client.Write("UPPER over tls\r\nQUIT\r\n");
    EXPECT_TRUE(client.WaitForOutput("200 OVER TLS\r\n221 Goodbye", 10s)) << argv[0] << client.Output();
    // The server's close (close_notify, then TCP) ends the client cleanly.
    EXPECT_EQ(client.WaitForExit(10s), 0) << argv[0] << client.ErrorOutput();
  }
}

TEST_F(TlsTest, RequiredClientCertificatesAdmitAndRefuse) {
  auto server = StartServer("server", ccRequired);
  const std::vector<std::string> base = {"openssl", "s_client", "-connect",
                                         "127.0.0.1:" + std::to_string(server->Port), "-CAfile",
                                         Certs->File("ca.pem"), "-quiet"};
  std::vector<std::string> withCert = base;
  withCert.insert(withCert.end(), {"-cert", Certs->File("client.pem"), "-key", Certs->File("client.key")});
  TChildProcess admitted(withCert);
  EXPECT_TRUE(admitted.WaitForOutput("200 TLS line server ready", 10s)) << admitted.ErrorOutput();
  admitted.Write("QUIT\r\n");
  EXPECT_EQ(admitted.WaitForExit(10s), 0);

  TChildProcess refused(base);
  EXPECT_TRUE(refused.WaitForExit(10s).has_value());
  EXPECT_EQ(refused.Output().find("200 TLS"), std::string::npos);
  EXPECT_NE(refused.ErrorOutput().find("certificate required"), std::string::npos) << refused.ErrorOutput();
  // Our own client, refused the same way, hears it on its first read.
  EXPECT_EQ(ConnectError(server->Port, {}), "TLS read failed: tlsv13 alert certificate required");
}

TEST_F(TlsTest, VerificationFailuresSayWhy) {
  auto expired = StartServer("expired");
  auto self = StartServer("self");
  auto good = StartServer("server");
  EXPECT_EQ(ConnectError(expired->Port, {}),
            "TLS handshake failed: certificate verify failed (certificate has expired)");
  EXPECT_EQ(ConnectError(self->Port, {}),
            "TLS handshake failed: certificate verify failed (self-signed certificate)");
  EXPECT_EQ(ConnectError(good->Port, [](TIdIOHandlerTLS& h) { h.Settings().SetHostName("other.test"); }),
            "TLS handshake failed: certificate verify failed (hostname mismatch)");
  // The same names are accepted where they fit, and without verification.
  EXPECT_EQ(ConnectError(good->Port, [](TIdIOHandlerTLS& h) { h.Settings().SetHostName("localhost"); }),
            "connected");
  EXPECT_EQ(ConnectError(self->Port, [](TIdIOHandlerTLS& h) { h.Settings().SetVerifyPeer(false); }),
            "connected");
  // A peer that takes the connection and never answers the hello.
  uint16_t mutePort = 0;
  const int mute = ListenOnLoopback(mutePort);
  EXPECT_EQ(ConnectError(mutePort, [](TIdIOHandlerTLS& h) { h.SetHandshakeTimeout(300); }),
            "TLS handshake timed out");
  close(mute);
  // Settings that do not load stop the activation and leave nothing behind.
  TIdServerIOHandlerTLS broken(nullptr);
  broken.Settings().SetCertificateFile(Certs->File("missing.pem"));
  EXPECT_THROW(broken.Prepare(), EIdTLSError);
  broken.Settings().SetCertificateFile(Certs->File("server.pem"));
  broken.Settings().SetKeyFile(Certs->File("client.key"));
  try {
    broken.Prepare();
    ADD_FAILURE() << "a key of another certificate was taken";
  } catch (const EIdTLSError& e) {
    EXPECT_NE(e.Message().find("key values mismatch"), std::string::npos) << e.Message();
  }
}

TEST_F(TlsTest, ClientTalksToOpensslServerAndResumes) {
  const uint16_t port = FreeLoopbackPort();
  TChildProcess server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                        Certs->File("server.pem"), "-key", Certs->File("server.key"), "-alpn", "line,other",
                        "-crlf"});
  ASSERT_TRUE(server.WaitForOutput("ACCEPT", 10s)) << server.ErrorOutput();
  auto settings = std::make_shared<TIdTLSSettings>();
  settings->SetCAFile(Certs->File("ca.pem"));
  settings->SetALPN({"line"});
  for (int round = 0; round < 2; ++round) {
    auto connection = Client(port, [&](TIdIOHandlerTLS& h) { h.SetSettings(settings); });
    auto& handler = dynamic_cast<TIdIOHandlerTLS&>(*connection->IOHandler());
    EXPECT_EQ(handler.ALPNProtocol(), "line");
    EXPECT_EQ(handler.TLSVersion(), "TLSv1.3");
    connection->WriteLn("hello from ostrevan " + std::to_string(round));
    ASSERT_TRUE(server.WaitForOutput("hello from ostrevan " + std::to_string(round), 10s));
    server.Write("hello back\n");
    EXPECT_EQ(connection->ReadLn(), "hello back");
    // The second connection resumes the first's session (its ticket came
    // with the first reply).
    EXPECT_EQ(handler.SessionReused(), round == 1);
    connection->Disconnect();
    // close_notify reached the server.
    EXPECT_TRUE(server.WaitForOutput("DONE", 10s)) << server.Output();
  }
}

TEST_F(TlsTest, TLSThroughSocksProxies) {
  auto server = StartServer("server");
  TMicrosocksProxy microsocks;
  TDantedProxy danted({.RequireUsername = false, .BlockedPort = 0});
  const std::vector<std::pair<const TSocksProxy*, TSocksVersion>> proxies = {
      {&microsocks, svSocks5}, {&danted, svSocks4}};
  for (const auto& [proxy, version] : proxies) {
    if (!proxy->SkipReason().empty()) continue;
    auto connection = Client(server->Port, [&](TIdIOHandlerTLS& h) {
      h.SocksInfo()->SetVersion(version);
      h.SocksInfo()->SetHost("127.0.0.1");
      h.SocksInfo()->SetPort(proxy->Port());
    });
    EXPECT_EQ(connection->ReadLn(), "200 TLS line server ready") << version;
    connection->WriteLn("UPPER via socks");
    EXPECT_EQ(connection->ReadLn(), "200 VIA SOCKS") << version;
  }
  if (!microsocks.SkipReason().empty() && !danted.SkipReason().empty()) GTEST_SKIP() << danted.SkipReason();
}

TEST_F(TlsTest, SilentClientIsDroppedAtHandshakeTimeoutLeavingNothing) {
  auto server = StartServer("server", ccNone, false, 300);
  // One full connection first, so that the pool and the library's own
  // per-thread state exist before the baseline is taken.
  Client(server->Port)->Disconnect();
  ASSERT_TRUE(PollUntil([&] { return server->Server.Statistics().CurrentPeers == 0; }, 5s));
  const TCounts before = TCounts::Now();
  {
    const int silent = ConnectToLoopback(static_cast<uint16_t>(server->Port));
    const TStopwatch watch;
    char byte;
    EXPECT_EQ(recv(silent, &byte, 1, 0), 0);  // closed by the server, nothing sent
    EXPECT_GE(watch.Seconds(), 0.25);
    EXPECT_LT(watch.Seconds(), 5.0);
    close(silent);
  }
  EXPECT_TRUE(PollUntil([&] { return TCounts::Now() <= before; }, 5s));
}

TEST_F(TlsTest, BlockedReadsEndOnCloseFromAnotherThreadAndOnTimeOut) {
  auto server = StartServer("server");
  auto connection = Client(server->Port);
  EXPECT_EQ(connection->ReadLn(), "200 TLS line server ready");
  EXPECT_EQ(connection->ReadLn("\n", 200), "");
  EXPECT_TRUE(connection->ReadLnTimedOut());
  std::thread closer([&] {
    std::this_thread::sleep_for(200ms);
    connection->CloseTransport();
  });
  const TStopwatch watch;
  EXPECT_ANY_THROW(connection->ReadLn("\n", -2));
  EXPECT_LT(watch.Seconds(), 5.0);
  closer.join();
  // The server's peers are blocked in TLS reads: stopping ends them.
  auto idle = Client(server->Port);
  EXPECT_EQ(idle->ReadLn(), "200 TLS line server ready");
  const TStopwatch stop;
  server->Server.SetActive(false);
  EXPECT_LT(stop.Seconds(), 5.0);
}

TEST_F(TlsTest, StartTLSKeepsPipelinedHelloAndRefusesPipelinedPlainText) {
  auto server = StartServer("server", ccNone, true);
  auto connection = Client(server->Port, [](TIdIOHandlerTLS& h) { h.SetPassThrough(true); });
  EXPECT_EQ(connection->ReadLn(), "200 TLS line server ready");

  // The command and the client's hello in one send: the server's line read
  // takes in the hello too, which must reach its handshake.
  auto context = std::make_shared<TIdTLSSettings>();
  context->SetCAFile(Certs->File("ca.pem"));
  TTLSEngine engine(context->Context(false), "127.0.0.1", "");
  ASSERT_EQ(engine.Handshake(), TTLSEngine::stWantInput);
  std::string hello;
  engine.TakeOutput(hello);
  connection->Write("STARTTLS\r\n" + hello);
  EXPECT_EQ(connection->ReadLn(), "220 Go ahead");
  // The rest is TLS: the connection's buffer and socket feed the engine.
  std::string raw = connection->InBuffer().TakeText(static_cast<int32_t>(connection->InBuffer().Size()));
  std::string plain;
  bool sent = false;
  for (TDeadline deadline(10s); plain.find("\r\n") == std::string::npos && !deadline.Passed();) {
    engine.PutInput(raw.data(), raw.size());
    if (!engine.HandshakeDone()) engine.Handshake();
    if (engine.HandshakeDone()) {
      if (!sent) engine.Write("UPPER secret\r\n", 14);
      sent = true;
      engine.Read(plain);
    }
    std::string out;
    if (engine.TakeOutput(out)) connection->Write(out);
    if (plain.find("\r\n") == std::string::npos) raw = connection->TakeAvailable();
  }
  EXPECT_EQ(plain, "200 SECRET\r\n");

  // Plain commands sent behind STARTTLS are no part of the TLS session.
  auto injected = Client(server->Port, [](TIdIOHandlerTLS& h) { h.SetPassThrough(true); });
  EXPECT_EQ(injected->ReadLn(), "200 TLS line server ready");
  injected->Write("STARTTLS\r\nUPPER injected\r\n");
  EXPECT_EQ(injected->ReadLn(), "220 Go ahead");
  EXPECT_EQ(injected->ReadAll().find("INJECTED"), std::string::npos);
}

}  // namespace
}  // namespace ostrevan::testing
