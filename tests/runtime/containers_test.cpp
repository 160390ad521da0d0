// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "ostrevan/runtime/collection.h"
#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/stream.h"
#include "ostrevan/runtime/string_list.h"

namespace ostrevan {
namespace {

class TNamedItem : public TCollectionItem {
 public:
  using TCollectionItem::TCollectionItem;
  std::string Text;

 protected:
  void AssignTo(TPersistent* dest) const override {
    if (auto* item = dynamic_cast<TNamedItem*>(dest)) {
      item->Text = Text;
      return;
    }
    TCollectionItem::AssignTo(dest);
  }
};

TEST(Collection, RunningIdsAreNeverReused) {
  TOwnedCollection<TNamedItem> items(nullptr);
  auto* a = items.Add();
  auto* b = items.Add();
  EXPECT_EQ(a->ID(), 0);
  EXPECT_EQ(b->ID(), 1);
  delete a;
  EXPECT_EQ(items.Count(), 1);
  EXPECT_EQ(b->Index(), 0);
  EXPECT_EQ(items.Add()->ID(), 2);
}

TEST(Collection, AssignCopiesItemsAndRefusesOtherClasses) {
  TOwnedCollection<TNamedItem> source(nullptr), target(nullptr);
  source.Add()->Text.push_back('x');
  source.Add()->Text.push_back('y');
  target.Add();
  target.Assign(&source);
  ASSERT_EQ(target.Count(), 2);
  EXPECT_EQ(target.Items(1)->Text, "y");

  TStringList list;
  try {
    target.Items(0)->Assign(&list);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TStringList to a TNamedItem");
  }
}

TEST(StringList, SetTextSplitsAtEveryLineEnd) {
  TStringList list;
  list.SetText("a\r\nb\rc\nd\n");
  EXPECT_EQ(list, (TStringList{"a", "b", "c", "d"}));
  list.SetText("\n\nx");
  EXPECT_EQ(list, (TStringList{"", "", "x"}));
  list.SetText("");
  EXPECT_EQ(list.Count(), 0);
  list.AddObject("v", 7);
  EXPECT_EQ(list.Objects(0), 7);
  EXPECT_THROW(list.Strings(1), EListError);
}

TEST(MemoryStream, WriteSeekReadAndGrow) {
  TMemoryStream stream;
  std::string big(100000, 'q');
  stream.WriteBuffer(big.data(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(stream.Size(), 100000);
  stream.SetPosition(99998);
  char tail[4] = {};
  EXPECT_EQ(stream.Read(tail, 4), 2);
  stream.SetSize(10);
  EXPECT_EQ(stream.Position(), 10);
  EXPECT_THROW(stream.ReadBuffer(tail, 1), EStreamError);
}

TEST(FileStream, MissingFileRaisesOpenError) {
  EXPECT_FALSE(FileExists("/nonexistent/ostrevan"));
  EXPECT_THROW(TFileStream("/nonexistent/ostrevan", fmOpenRead), EFOpenError);
}

}  // namespace
}  // namespace ostrevan
