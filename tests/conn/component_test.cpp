// SPDX-License-Identifier: MIT
#include "ostrevan/conn/component.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ostrevan/net/stack_linux.h"
#include "ostrevan/runtime/application.h"

namespace ostrevan {
namespace {

// A stack that counts how many were made and freed.
class TCountedStack : public TIdStackLinux {
 public:
  TCountedStack() { ++Made; }
  ~TCountedStack() override { ++Freed; }
  static inline std::atomic<int> Made{0};
  static inline std::atomic<int> Freed{0};
};

class ComponentLifetime : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LiveComponentCount(), 0);
    ASSERT_EQ(GlobalStack(), nullptr);
    TCountedStack::Made = 0;
    TCountedStack::Freed = 0;
    TIdStack::SetPlatformStackClass([] { return std::make_unique<TCountedStack>(); });
  }
  void TearDown() override { TIdStack::SetPlatformStackClass(nullptr); }
};

TEST_F(ComponentLifetime, TheStackLivesFromTheFirstComponentToTheLast) {
  auto* first = new TIdComponent(nullptr);
  TIdStack* stack = GlobalStack();
  ASSERT_NE(stack, nullptr);
  EXPECT_NE(dynamic_cast<TCountedStack*>(stack), nullptr);
  auto* second = new TIdComponent(nullptr);
  EXPECT_EQ(GlobalStack(), stack);
  EXPECT_EQ(LiveComponentCount(), 2);
  EXPECT_EQ(TCountedStack::Made, 1);
  delete first;
  EXPECT_EQ(GlobalStack(), stack);
  EXPECT_EQ(TCountedStack::Freed, 0);
  delete second;
  EXPECT_EQ(GlobalStack(), nullptr);
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(TCountedStack::Freed, 1);

  TIdComponent third(nullptr);
  EXPECT_NE(GlobalStack(), nullptr);
  EXPECT_EQ(TCountedStack::Made, 2) << "a later component makes a fresh stack";

  // Components of the base class alone neither make nor keep the stack.
  TIdBaseComponent plain(nullptr);
  EXPECT_EQ(LiveComponentCount(), 1);
}

// Records what it saw of the shared state while it was destroyed.
class TOwnedProbe : public TIdComponent {
 public:
  using TIdComponent::TIdComponent;
  ~TOwnedProbe() override {
    SawStack = GlobalStack() != nullptr;
    SawCount = LiveComponentCount();
  }
  static inline bool SawStack = false;
  static inline int32_t SawCount = -1;
};

TEST_F(ComponentLifetime, OwnedComponentsGoBeforeTheOwnersDecrement) {
  TApplication app;
  auto* owner = new TIdComponent(&app);
  new TOwnedProbe(owner);
  EXPECT_EQ(LiveComponentCount(), 2);
  delete owner;
  EXPECT_TRUE(TOwnedProbe::SawStack);
  EXPECT_EQ(TOwnedProbe::SawCount, 2) << "the owner still counted while its parts went";
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);
  EXPECT_EQ(app.ComponentCount(), 0);
  EXPECT_EQ(TCountedStack::Freed, 1);
}

TEST_F(ComponentLifetime, AStackThatCannotBeMadeLeavesNothingCounted) {
  TIdStack::SetPlatformStackClass(
      []() -> std::unique_ptr<TIdStack> { throw std::runtime_error("no stack"); });
  TApplication app;
  EXPECT_THROW(new TIdComponent(&app), std::runtime_error);
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);
  EXPECT_EQ(app.ComponentCount(), 0);
}

TEST_F(ComponentLifetime, ManyThreadsMakeAndFreeComponents) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 300; ++i) {
        TIdComponent component(nullptr);
        // The stack is usable while this component lives.
        EXPECT_TRUE(GlobalStack()->IsDottedAddress("127.0.0.1"));
        EXPECT_EQ(GlobalStack()->HostToNetShort(1), htons(1));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(LiveComponentCount(), 0);
  EXPECT_EQ(GlobalStack(), nullptr);
  EXPECT_EQ(TCountedStack::Made, TCountedStack::Freed);
}

struct TStatusRecord {
  TObject* Sender;
  TIdStatus Status;
  std::string Text;
};

TEST(ComponentStatus, TextsWithAndWithoutArguments) {
  TIdComponent component(nullptr);
  component.NotifyStatus(hsConnected);  // no handler: nothing to do
  std::vector<TStatusRecord> seen;
  component.OnStatus = [&](TObject* sender, const TIdStatus status, const std::string& text) {
    seen.push_back({sender, status, text});
  };
  const TIdStatus all[] = {hsResolving,  hsConnecting, hsConnected, hsDisconnecting, hsDisconnected,
                           hsStatusText, ftpTransfer,  ftpReady,    ftpAborted};
  for (TIdStatus status : all) component.NotifyStatus(status);
  const std::vector<std::string> bare = {"Resolving hostname .", "Connecting to .", "Connected.",
                                         "Disconnecting.",       "Disconnected.",   "",
                                         "",                     "",                ""};
  ASSERT_EQ(seen.size(), 9u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].Sender, &component);
    EXPECT_EQ(seen[i].Status, all[i]);
    EXPECT_EQ(seen[i].Text, bare[i]);
  }
  seen.clear();
  component.NotifyStatus(hsResolving, {"host1"});
  component.NotifyStatus(hsConnecting, {"127.0.0.1"});
  component.NotifyStatus(hsStatusText, {"some text"});
  component.NotifyStatus(ftpReady, {"50%s done", "ignored"});
  component.NotifyStatus(hsDisconnected, {"unused"});
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].Text, "Resolving hostname host1.");
  EXPECT_EQ(seen[1].Text, "Connecting to 127.0.0.1.");
  EXPECT_EQ(seen[2].Text, "some text");
  EXPECT_EQ(seen[3].Text, "50%s done") << "an argument is never read as a format";
  EXPECT_EQ(seen[4].Text, "Disconnected.");
  EXPECT_EQ(StatusText(hsConnecting), "Connecting to %s.");

  component.OnStatus = [](TObject*, const TIdStatus, const std::string&) {
    throw std::runtime_error("handler failed");
  };
  EXPECT_THROW(component.NotifyStatus(hsConnected), std::runtime_error);
}

// Records the work events of a component as text.
class WorkEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    Component.OnWorkBegin = [this](TObject* sender, TWorkMode mode, const int32_t max) {
      EXPECT_EQ(sender, &Component);
      Log.push_back(Name(mode) + " begin " + std::to_string(max));
    };
    Component.OnWork = [this](TObject*, TWorkMode mode, const int32_t count) {
      Log.push_back(Name(mode) + " work " + std::to_string(count));
    };
    Component.OnWorkEnd = [this](TObject*, TWorkMode mode) { Log.push_back(Name(mode) + " end"); };
  }
  static std::string Name(TWorkMode mode) { return mode == wmRead ? "read" : "write"; }

  TIdComponent Component{nullptr};
  std::vector<std::string> Log;
};

TEST_F(WorkEvents, NestedUnitsFireOnlyAtTheOutermostLevel) {
  Component.WorkProgress(wmWrite, 7);  // idle: nothing
  Component.WorkBegin(wmWrite, 100);
  Component.WorkBegin(wmWrite, 5);
  Component.WorkProgress(wmWrite, 10);
  Component.WorkBegin(wmRead, 0);  // the modes are independent
  Component.WorkProgress(wmRead, 3);
  Component.WorkEnd(wmRead);
  Component.WorkProgress(wmWrite, 20);
  EXPECT_EQ(Component.WorkLevel(wmWrite), 2);
  Component.WorkEnd(wmWrite);
  Component.WorkEnd(wmWrite);
  EXPECT_EQ(Component.WorkLevel(wmWrite), 0);
  EXPECT_EQ(Log, (std::vector<std::string>{"write begin 100", "write work 10", "read begin 0",
                                           "read work 3", "read end", "write work 30",
                                           "write end"}));
  Log.clear();
  Component.WorkBegin(wmWrite, 9);
  Component.WorkProgress(wmWrite, 4);
  EXPECT_EQ(Log, (std::vector<std::string>{"write begin 9", "write work 4"}))
      << "a new unit counts from 0";
}

TEST_F(WorkEvents, ARaisingHandlerKeepsWhatWasChangedBeforeIt) {
  auto failing = [](auto...) { throw std::runtime_error("handler failed"); };
  Component.OnWorkBegin = failing;
  EXPECT_THROW(Component.WorkBegin(wmRead, 50), std::runtime_error);
  EXPECT_EQ(Component.WorkLevel(wmRead), 1) << "the unit has begun";

  Component.OnWork = failing;
  EXPECT_THROW(Component.WorkProgress(wmRead, 5), std::runtime_error);
  SetUp();
  Component.WorkProgress(wmRead, 6);
  EXPECT_EQ(Log, (std::vector<std::string>{"read work 11"})) << "the position had advanced";

  Component.OnWorkEnd = failing;
  EXPECT_THROW(Component.WorkEnd(wmRead), std::runtime_error);
  EXPECT_EQ(Component.WorkLevel(wmRead), 1) << "the level drops only after the handler";
  SetUp();
  Component.WorkEnd(wmRead);
  EXPECT_EQ(Component.WorkLevel(wmRead), 0);
  Component.WorkEnd(wmRead);  // unbalanced: no event below level 1
  EXPECT_EQ(Log, (std::vector<std::string>{"read work 11", "read end"}));
}

TEST_F(WorkEvents, PositionWrapsInsteadOfOverflowing) {
  Component.WorkBegin(wmRead, 0);
  Component.WorkProgress(wmRead, 2147483647);
  Component.WorkProgress(wmRead, 2);
  EXPECT_EQ(Log.back(), "read work -2147483647");
}

}  // namespace
}  // namespace ostrevan
