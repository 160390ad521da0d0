// SPDX-License-Identifier: MIT
#include "ostrevan/net/socket_handle.h"

#include <gtest/gtest.h>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/string_list.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

TEST(SocketHandles, NewBindingsTakeTheDefaultPort) {
  TIdSocketHandles bindings(nullptr);
  bindings.SetDefaultPort(37);
  TIdSocketHandle* first = bindings.Add();
  EXPECT_EQ(first->Port(), 37);
  EXPECT_EQ(first->Collection(), &bindings);
  bindings.SetDefaultPort(8037);
  auto* second = new TIdSocketHandle(&bindings);  // joins and is owned by the collection
  EXPECT_EQ(second->Port(), 8037);
  EXPECT_EQ(first->Port(), 37) << "existing bindings keep their port";
  EXPECT_EQ(bindings.Count(), 2);
  EXPECT_EQ(bindings.Items(1), second);
  EXPECT_EQ(second->ID(), first->ID() + 1);
  delete first;
  EXPECT_EQ(bindings.Count(), 1);
}

class TDerivedHandle : public TIdSocketHandle {
 public:
  using TIdSocketHandle::TIdSocketHandle;
};

TEST(SocketHandle, AssignmentCopiesAddressesOnlyFromItsOwnClass) {
  TIdSocketHandle source(nullptr);
  source.SetIP("10.1.2.3");
  source.SetPort(4000);
  source.SetPeerAddress("10.9.9.9", 5000);
  source.SetClientPortMin(100);
  source.SetClientPortMax(200);
  TIdSocketHandle target(nullptr);
  target.SetClientPortMin(7);
  target.SetClientPortMax(8);
  target.Assign(&source);
  EXPECT_EQ(target.IP(), "10.1.2.3");
  EXPECT_EQ(target.Port(), 4000);
  EXPECT_EQ(target.RemoteIP(), "10.9.9.9");
  EXPECT_EQ(target.RemotePort(), 5000);
  EXPECT_EQ(target.ClientPortMin(), 7);
  EXPECT_EQ(target.ClientPortMax(), 8);
  EXPECT_EQ(target.Descriptor(), -1);

  TDerivedHandle derived(nullptr);
  derived.SetIP("1.1.1.1");
  EXPECT_EQ(testing::MessageOf<EConvertError>([&] { target.Assign(&derived); }),
            "Cannot assign a TDerivedHandle to a TIdSocketHandle");
  EXPECT_EQ(target.IP(), "10.1.2.3");
  TStringList other;
  EXPECT_THROW(target.Assign(&other), EConvertError);
  // A descendant accepts a plain handle, by the same rule on the source.
  derived.Assign(&source);
  EXPECT_EQ(derived.IP(), "10.1.2.3");
}

}  // namespace
}  // namespace ostrevan
