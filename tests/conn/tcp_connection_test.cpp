// SPDX-License-Identifier: MIT
#include "ostrevan/conn/tcp_connection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ostrevan/conn/io_handler.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

using testing::SocketErrorOf;

// A framework user's transport, with no socket of the stack under it: its
// receives and sends fail with the error it is given, left in errno as a
// failed system call leaves it.
class TFailingTransport : public TIdIOHandler {
 public:
  using TIdIOHandler::TIdIOHandler;
  ~TFailingTransport() override { TFailingTransport::Close(); }

  bool Connected() override { return !Closed; }
  bool WaitReadable(int32_t) override { return true; }
  int32_t Receive(void*, int32_t) override { return Fail(); }
  int32_t Send(const void*, int32_t) override { return Fail(); }
  void Close() override { Closed = true; }

  int Error = 0;
  bool Closed = false;

 private:
  int32_t Fail() {
    errno = Error;
    return -1;
  }
};

// The connection checks its transport's -1 by errno, whoever made the
// call: the errors it tolerates close the transport, the others leave it
// open; all are raised with their own number.
TEST(TCPConnection, AUserTransportReportsItsFailuresThroughErrno) {
  TFailingTransport transport(nullptr);
  TIdTCPConnection connection(nullptr);
  connection.SetIOHandler(&transport);

  transport.Error = ETIMEDOUT;
  const std::string timedOut = "110|Socket Error # 110\r\nConnection timed out.";
  EXPECT_EQ(SocketErrorOf([&] { connection.ReadLn(); }), timedOut);
  EXPECT_EQ(SocketErrorOf([&] { connection.Write("x"); }), timedOut);
  EXPECT_FALSE(transport.Closed);

  transport.Error = ECONNABORTED;
  EXPECT_EQ(SocketErrorOf([&] { connection.ReadLn(); }),
            "103|Socket Error # 103\r\nSoftware caused connection abort.");
  EXPECT_TRUE(transport.Closed);

  transport.Closed = false;
  connection.ResetReadState();
  transport.Error = EPIPE;
  EXPECT_EQ(SocketErrorOf([&] { connection.Write("x"); }),
            "104|Socket Error # 104\r\nConnection reset by peer.");
  EXPECT_TRUE(transport.Closed);
}

}  // namespace
}  // namespace ostrevan
