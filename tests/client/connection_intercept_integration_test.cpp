// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrevan/client/connection_intercept.h"
#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/runtime/exception.h"
#include "tests/support/connection_pair.h"

namespace ostrevan {
namespace {

using testing::TConnectionPair;

void Append(TStream& stream, const std::string& bytes) {
  stream.Seek(0, soEnd);
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

TEST(ConnectionWithIntercept, BytesPassTheHooksBothWays) {
  TConnectionPair pair;
  TIdConnectionIntercept outer(nullptr);
  TIdConnectionIntercept inner(nullptr);
  outer.SetNestedIntercept(&inner);
  pair.Conn().SetIntercept(&outer);

  // Without events the bytes pass unchanged.
  pair.Conn().WriteLn("plain");
  EXPECT_EQ(pair.PeerReceive(7), "plain\r\n");
  pair.PeerSend("in\n");
  EXPECT_EQ(pair.Conn().ReadLn(), "in");

  // A send hook that appends makes the connection send the longer block;
  // received bytes reach the inner hook first.
  outer.OnSend = [](TIdConnectionIntercept*, TStream& s) { Append(s, "<A"); };
  inner.OnSend = [](TIdConnectionIntercept*, TStream& s) { Append(s, "<B"); };
  outer.OnReceive = [](TIdConnectionIntercept*, TStream& s) { Append(s, ">A\n"); };
  inner.OnReceive = [](TIdConnectionIntercept*, TStream& s) { Append(s, ">B"); };
  pair.Conn().Write("out");
  EXPECT_EQ(pair.PeerReceive(7), "out<A<B");
  pair.PeerSend("x");
  EXPECT_EQ(pair.Conn().ReadLn(), "x>B>A");
}

TEST(ConnectionWithIntercept, HookThatRaisesFailsTheWriteBeforeAnythingIsSent) {
  TConnectionPair pair;
  TIdConnectionIntercept intercept(nullptr);
  intercept.OnSend = [](TIdConnectionIntercept*, TStream&) { throw EIdException("refused"); };
  pair.Conn().SetIntercept(&intercept);
  EXPECT_THROW(pair.Conn().Write("secret"), EIdException);
  intercept.OnSend = nullptr;
  pair.Conn().Write("ok");
  EXPECT_EQ(pair.PeerReceive(2), "ok");
}

TEST(ConnectionWithIntercept, ClosingTheTransportCallsTheDisconnectHook) {
  TConnectionPair pair;
  TIdConnectionIntercept intercept(nullptr);
  int disconnects = 0;
  intercept.OnDisconnect = [&](TIdConnectionIntercept*) { ++disconnects; };
  intercept.Connect(&pair.Conn());
  pair.Conn().SetIntercept(&intercept);
  pair.Conn().CloseTransport();
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(intercept.Connection(), nullptr);
  pair.Conn().Disconnect();
  EXPECT_EQ(disconnects, 1) << "the transport is closed already";
  pair.Conn().Disconnect();
  EXPECT_EQ(disconnects, 1) << "without a handler there is nothing to close";
}

TEST(ConnectionWithIntercept, DestroyingTheInterceptClearsTheConnectionsReference) {
  TConnectionPair pair;
  auto* intercept = new TIdConnectionIntercept(nullptr);
  intercept->OnSend = [](TIdConnectionIntercept*, TStream& s) { Append(s, "!"); };
  pair.Conn().SetIntercept(intercept);
  delete intercept;
  EXPECT_EQ(pair.Conn().Intercept(), nullptr);
  pair.Conn().Write("x");
  EXPECT_EQ(pair.PeerReceive(2, 200), "x");
}

}  // namespace
}  // namespace ostrevan
