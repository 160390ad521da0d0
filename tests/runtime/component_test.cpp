// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/component.h"

#include <gtest/gtest.h>

#include <vector>

#include "ostrevan/runtime/application.h"

namespace ostrevan {
namespace {

std::vector<std::string> events;

class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::string tag) : TComponent(owner), Tag(std::move(tag)) {}
  ~TProbe() override { events.push_back("destroy " + Tag); }
  TComponent* Watched = nullptr;
  std::string Tag;

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == Watched) {
      events.push_back(Tag + " forgets watched");
      Watched = nullptr;
    }
  }
};

TEST(Component, OwnerDeletesOwnedLastCreatedFirst) {
  events.clear();
  auto* app = new TApplication();
  new TProbe(app, "a");
  auto* b = new TProbe(app, "b");
  EXPECT_EQ(app->ComponentCount(), 2);
  EXPECT_EQ(b->Owner(), app);
  delete app;
  EXPECT_EQ(events, (std::vector<std::string>{"destroy b", "destroy a"}));
}

TEST(Component, DeletingOwnedComponentLeavesOwner) {
  TApplication app;
  auto* a = new TProbe(&app, "a");
  delete a;
  EXPECT_EQ(app.ComponentCount(), 0);
}

TEST(Component, FreeNotificationClearsReferenceBothWays) {
  events.clear();
  auto* watcher = new TProbe(nullptr, "watcher");
  auto* target = new TProbe(nullptr, "target");
  watcher->Watched = target;
  target->FreeNotification(watcher);
  delete target;
  EXPECT_EQ(watcher->Watched, nullptr);
  EXPECT_EQ(events, (std::vector<std::string>{"destroy target", "watcher forgets watched"}));

  // The other direction: a watcher that goes first is not told later.
  auto* target2 = new TProbe(nullptr, "target2");
  target2->FreeNotification(watcher);
  delete watcher;
  delete target2;  // must not touch the deleted watcher (ASan would say so)
}

}  // namespace
}  // namespace ostrevan
