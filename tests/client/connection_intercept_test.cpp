// SPDX-License-Identifier: MIT
#include "ostrevan/client/connection_intercept.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "ostrevan/client/server_intercept.h"


namespace ostrevan {
namespace {

// Only concrete servers decide what intercept each connection gets.
static_assert(std::is_abstract_v<TIdServerIntercept>);

std::string Contents(TMemoryStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<size_t>(stream.Size()));
}

// Two intercepts A -> B whose events write their names into one log.
struct TChain {
  TIdConnectionIntercept A{nullptr};
  TIdConnectionIntercept* B = new TIdConnectionIntercept(nullptr);
  std::vector<std::string> Log;

  TChain() {
    A.SetNestedIntercept(B);
    Watch(A, "A");
    Watch(*B, "B");
  }
  ~TChain() { delete B; }

  void Watch(TIdConnectionIntercept& intercept, const std::string& name) {
    intercept.OnConnect = [this, name](TIdConnectionIntercept* sender) {
      Log.push_back(name + ".connect:" + (sender->Connection() ? "set" : "none"));
    };
    intercept.OnDisconnect = [this, name](TIdConnectionIntercept* sender) {
      Log.push_back(name + ".disconnect:" + (sender->Connection() ? "set" : "none"));
    };
    // Each appends its name, so the bytes show the order too.
    intercept.OnReceive = [this, name](TIdConnectionIntercept*, TStream& stream) {
      Log.push_back(name + ".receive@" + std::to_string(stream.Position()));
      stream.Seek(0, soEnd);
      stream.WriteBuffer(name.data(), 1);
    };
    intercept.OnSend = [this, name](TIdConnectionIntercept*, TStream& stream) {
      Log.push_back(name + ".send@" + std::to_string(stream.Position()));
      stream.Seek(0, soEnd);
      stream.WriteBuffer(name.data(), 1);
    };
  }
};

TEST(ConnectionIntercept, WithoutEventsPassesBlocksThroughUnchanged) {
  TIdConnectionIntercept intercept(nullptr);
  TMemoryStream block;
  block.WriteBuffer("bytes", 5);
  block.SetPosition(0);
  intercept.Receive(block);
  intercept.Send(block);
  EXPECT_EQ(Contents(block), "bytes");
  EXPECT_EQ(block.Position(), 0);
}

TEST(ConnectionIntercept, ChainSeesReceivedBytesInnermostFirstAndBytesToSendOutermostFirst) {
  TChain chain;
  TMemoryStream block;
  block.WriteBuffer("x", 1);
  block.SetPosition(0);
  chain.A.Receive(block);
  EXPECT_EQ(Contents(block), "xBA");
  EXPECT_EQ(block.Position(), 0) << "rewound after every handler";
  chain.A.Send(block);
  EXPECT_EQ(Contents(block), "xBAAB");
  EXPECT_EQ(chain.Log, (std::vector<std::string>{"B.receive@0", "A.receive@0", "A.send@0",
                                                 "B.send@0"}));
}

TEST(ConnectionIntercept, ConnectAndDisconnectMirrorEachOther) {
  TChain chain;
  TIdConnectionIntercept connection(nullptr);  // any component will do
  chain.A.Connect(&connection);
  EXPECT_EQ(chain.A.Connection(), &connection);
  EXPECT_EQ(chain.B->Connection(), &connection);
  chain.A.Disconnect();
  EXPECT_EQ(chain.A.Connection(), nullptr);
  EXPECT_EQ(chain.B->Connection(), nullptr);
  EXPECT_EQ(chain.Log, (std::vector<std::string>{"A.connect:set", "B.connect:set",
                                                 "B.disconnect:set", "A.disconnect:set"}));
}

TEST(ConnectionIntercept, DestroyingTheNestedInterceptClearsTheReference) {
  TChain chain;
  delete chain.B;
  chain.B = nullptr;
  EXPECT_EQ(chain.A.NestedIntercept(), nullptr);
  TMemoryStream block;
  chain.A.Send(block);
  EXPECT_EQ(Contents(block), "A") << "the outer one goes on alone";
}

}  // namespace
}  // namespace ostrevan
