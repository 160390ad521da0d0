// SPDX-License-Identifier: MIT
// A derived server deleted while its threads are at work is stopped before
// any of its destructors runs, so that those threads find it whole.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "ostrevan/server/peer_thread.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/server/udp_server.h"
#include "tests/server/server_test_support.h"
#include "tests/support/loopback.h"
#include "tests/support/wait.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;
using testing::ActivateOnLoopback;

// What the derived servers below saw; outside them, so that it outlives
// them.
struct TJournal {
  testing::Signal Busy;                // a thread is inside a derived step
  std::atomic<bool> Destroyed{false};  // the derived destructor has run
  std::atomic<int> WholeSteps{0};      // derived steps that ended on the whole object
  std::atomic<int> Disconnects{0};     // OnDisconnect, the base's step
};

// Waits for a line in ExecutePeer, and has a disconnect step of its own.
class TLineServer : public TIdTCPServer {
 public:
  TLineServer(TComponent* AOwner, TJournal& AJournal) : TIdTCPServer(AOwner), Journal_(AJournal) {
    OnDisconnect = [&AJournal](TIdPeerThread&) { ++AJournal.Disconnects; };
  }
  ~TLineServer() override { Journal_.Destroyed = true; }

  bool ExecutePeer(TIdPeerThread& AThread) override {
    Journal_.Busy.Set();
    AThread.Connection()->ReadLn();
    return true;
  }
  void PeerDisconnected(TIdPeerThread& AThread) override {
    if (!Journal_.Destroyed) ++Journal_.WholeSteps;
    TIdTCPServer::PeerDisconnected(AThread);
  }

 private:
  TJournal& Journal_;
};

// A client is connected when the server goes, by delete or with its owner:
// the peer ends with the derived server's own disconnect step, once.
TEST(ServerRetirement, ADeletedDerivedServerEndsItsPeersWithItsOwnSteps) {
  for (bool byOwner : {false, true}) {
    TJournal journal;
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* server = new TLineServer(byOwner ? owner.get() : nullptr, journal);
    testing::TTestClient client(ActivateOnLoopback(*server));
    ASSERT_TRUE(journal.Busy.Wait());
    if (byOwner) {
      owner.reset();
    } else {
      delete server;
    }
    EXPECT_EQ(journal.WholeSteps, 1) << (byOwner ? "freed by its owner" : "deleted");
    EXPECT_EQ(journal.Disconnects, 1) << (byOwner ? "freed by its owner" : "deleted");
  }
}

// Handles its datagrams slowly, for long enough that a destruction that
// did not wait for it would be seen.
class TSlowUDPServer : public TIdUDPServer {
 public:
  TSlowUDPServer(TJournal& AJournal) : TIdUDPServer(nullptr), Journal_(AJournal) {}
  ~TSlowUDPServer() override { Journal_.Destroyed = true; }

  void DoUDPRead(const std::string&, TIdSocketHandle&, const std::string&, int32_t) override {
    TJournal& journal = Journal_;
    journal.Busy.Set();
    // Waits for what must not come: the derived destructor running now.
    if (!testing::PollUntil([&] { return journal.Destroyed.load(); }, 300ms)) ++journal.WholeSteps;
  }

 private:
  TJournal& Journal_;
};

// A datagram is in hand when the server is deleted: its handling ends on
// the whole server, before the derived destructor runs.
TEST(ServerRetirement, ADeletedDerivedUDPServerFinishesTheDatagramInHand) {
  TJournal journal;
  auto* server = new TSlowUDPServer(journal);
  TIdSocketHandle* binding = server->Bindings().Add();
  binding->SetIP("127.0.0.1");
  binding->SetPort(0);
  server->SetActive(true);
  testing::TUdpClient client("127.0.0.1", static_cast<uint16_t>(binding->Port()));
  client.Send("x");
  ASSERT_TRUE(journal.Busy.Wait());
  delete server;
  EXPECT_EQ(journal.WholeSteps, 1);
}

}  // namespace
}  // namespace ostrevan
