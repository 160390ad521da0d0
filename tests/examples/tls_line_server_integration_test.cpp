// SPDX-License-Identifier: MIT
// The example TLS line server, talked to with openssl s_client over loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/process.h"

namespace ostrevan::testing {
namespace {

using namespace std::chrono_literals;

#ifdef OSTREVAN_TLS_LINE_SERVER
TEST(TlsLineServerExample, ServesOverTLSAndRefusesAKeyOfAnotherCertificate) {
  TTempDir dir;
  for (const char* name : {"a", "b"}) {
    ASSERT_EQ(RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                          "-nodes", "-keyout", dir.File(std::string(name) + ".key"), "-out",
                          dir.File(std::string(name) + ".pem"), "-days", "1", "-subj", "/CN=localhost"})
                  .Status,
              0);
  }
  const TRunResult mismatch = RunProgram({OSTREVAN_TLS_LINE_SERVER, dir.File("a.pem"), dir.File("b.key")});
  EXPECT_EQ(mismatch.Status, 1);
  EXPECT_NE(mismatch.Output.find("TLS settings failed"), std::string::npos) << mismatch.Output;

  TChildProcess server({OSTREVAN_TLS_LINE_SERVER, dir.File("a.pem"), dir.File("a.key")});
  const std::string listening = "Listening on 127.0.0.1 port ";
  ASSERT_TRUE(server.WaitForOutput(listening, 10s));
  ASSERT_TRUE(server.WaitForOutput("\n", 10s, server.Output().find(listening)));
  const std::string port = std::to_string(std::stoi(server.Output().substr(server.Output().find(listening) + listening.size())));
  TChildProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + port, "-CAfile", dir.File("a.pem"),
                        "-verify_return_error", "-quiet"});
  ASSERT_TRUE(client.WaitForOutput("200 Ostrevan TLS line server ready\r\n", 10s)) << client.ErrorOutput();
  client.Write("UPPER secret\r\nQUIT\r\n");
  EXPECT_TRUE(client.WaitForOutput("200 SECRET\r\n221 Goodbye\r\n", 10s)) << client.Output();
  EXPECT_EQ(client.WaitForExit(10s), 0);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitForExit(10s), 0);
}
#endif

}  // namespace
}  // namespace ostrevan::testing
