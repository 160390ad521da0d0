// SPDX-License-Identifier: MIT
#include "ostrevan/server/rfc_reply.h"

#include <gtest/gtest.h>

#include <memory>

#include "ostrevan/runtime/component.h"
#include "ostrevan/runtime/exception.h"
#include "tests/support/printers.h"

namespace ostrevan {
namespace {

std::unique_ptr<TIdRFCReply> Parsed(std::initializer_list<std::string> lines) {
  auto reply = std::make_unique<TIdRFCReply>();
  reply->ParseLines(TStringList(lines));
  return reply;
}

TEST(RFCReply, FormatReplyIsByteExact) {
  TIdRFCReply reply;
  EXPECT_FALSE(reply.HasContent());
  EXPECT_EQ(reply.FormatReply(), "");
  reply.SetNumericCode(250);
  EXPECT_EQ(reply.FormatReply(), "250\r\n");
  EXPECT_TRUE(reply.HasContent());
  reply.Text().Add("first");
  EXPECT_EQ(reply.FormatReply(), "250 first\r\n");
  reply.Text().Add("last");
  EXPECT_EQ(reply.FormatReply(), "250-first\r\n250 last\r\n");
  reply.Text().Add("");  // an empty last line keeps its blank separator
  EXPECT_EQ(reply.FormatReply(), "250-first\r\n250-last\r\n250 \r\n");

  TIdRFCReply bare;
  bare.SetText(TStringList{"a", "b"});
  EXPECT_TRUE(bare.HasContent());
  EXPECT_EQ(bare.FormatReply(), "a\nb\n");

  // The written code is NumericCode, even when TextCode says otherwise.
  TIdRFCReply mixed;
  mixed.SetTextCode("+OK");
  mixed.SetCodeAndText(421, "bye");
  EXPECT_EQ(mixed.TextCode(), "+OK");
  EXPECT_EQ(mixed.FormatReply(), "421 bye\r\n");
  mixed.SetNumericCode(-5);
  EXPECT_EQ(mixed.FormatReply(), "bye\n");
}

TEST(RFCReply, CodeSettersRewriteEachOther) {
  TIdRFCReply reply;
  reply.SetNumericCode(250);
  EXPECT_EQ(reply.TextCode(), "250");
  reply.SetNumericCode(-1);  // 0 or below keeps the text code
  EXPECT_EQ(reply.NumericCode(), -1);
  EXPECT_EQ(reply.TextCode(), "250");

  reply.SetTextCode("421");
  EXPECT_EQ(reply.NumericCode(), 421);
  reply.SetTextCode("");  // the empty text keeps the numeric code
  EXPECT_EQ(reply.NumericCode(), 421);
  EXPECT_EQ(reply.TextCode(), "");
  reply.SetTextCode("+OK");
  EXPECT_EQ(reply.NumericCode(), 0);
  reply.SetTextCode("$FA");  // the one integer conversion rule: hexadecimal too
  EXPECT_EQ(reply.NumericCode(), 250);
  EXPECT_EQ(reply.TextCode(), "$FA");
}

TEST(RFCReply, ParseLines) {
  auto multi = Parsed({"250-first", "250 last"});
  EXPECT_EQ(multi->NumericCode(), 250);
  EXPECT_EQ(multi->TextCode(), "250");
  EXPECT_EQ(multi->Text(), (TStringList{"first", "last"}));

  auto single = Parsed({"220 ready"});
  EXPECT_EQ(single->NumericCode(), 220);
  EXPECT_EQ(single->Text(), TStringList{"ready"});

  auto plus = Parsed({"+OK hello"});
  EXPECT_EQ(plus->TextCode(), "+OK");
  EXPECT_EQ(plus->NumericCode(), 0);
  EXPECT_EQ(plus->Text(), TStringList{"hello"});
  EXPECT_EQ(plus->FormatReply(), "hello\n");

  auto shortLine = Parsed({" 5"});
  EXPECT_EQ(shortLine->TextCode(), "5");
  EXPECT_EQ(shortLine->NumericCode(), 5);
  EXPECT_EQ(shortLine->Text(), TStringList{""});
  auto twoLetters = Parsed({"ab"});
  EXPECT_EQ(twoLetters->TextCode(), "ab");
  EXPECT_EQ(twoLetters->Text(), TStringList{""});

  // Only a hyphen in the fourth place is cut; "-ERR" has it in the first.
  EXPECT_EQ(Parsed({"-ERR no"})->TextCode(), "-ERR");
  EXPECT_EQ(Parsed({"12-x"})->TextCode(), "12-x");
  // Every line loses its first four characters, whatever they are.
  EXPECT_EQ(Parsed({"250-a", "xyz", "250 b"})->Text(), (TStringList{"a", "", "b"}));

  // Parsing nothing, or blanks only, clears everything; the empty code
  // leaves NumericCode at 0.
  auto reply = Parsed({"500 bad"});
  reply->ParseLines(TStringList{});
  EXPECT_FALSE(reply->HasContent());
  EXPECT_EQ(reply->TextCode(), "");
  reply->ParseLines(TStringList{"    text"});
  EXPECT_EQ(reply->NumericCode(), 0);
  EXPECT_EQ(reply->TextCode(), "");
  EXPECT_EQ(reply->Text(), TStringList{"text"});

  // A reply may parse its own lines.
  auto self = Parsed({"250-first", "250 last"});
  self->Text() = TStringList{"331 again"};
  self->ParseLines(self->Text());
  EXPECT_EQ(self->NumericCode(), 331);
  EXPECT_EQ(self->Text(), TStringList{"again"});
}

TEST(RFCReply, SetCodeAndTextSplitsAtEveryLineEnd) {
  TIdRFCReply reply;
  reply.SetTextCode("+OK");
  reply.SetCodeAndText(214, "a\r\nb\rc\nd\n");
  EXPECT_EQ(reply.NumericCode(), 214);
  EXPECT_EQ(reply.TextCode(), "+OK");
  EXPECT_EQ(reply.Text(), (TStringList{"a", "b", "c", "d"}));
  EXPECT_EQ(reply.FormatReply(), "214-a\r\n214-b\r\n214-c\r\n214 d\r\n");
  reply.SetCodeAndText(0, "");
  EXPECT_FALSE(reply.HasContent());
}

TEST(RFCReply, AssignCopiesAsItIsAndRefusesOtherClasses) {
  TIdRFCReply source;
  source.SetNumericCode(250);
  source.SetTextCode("+OK");  // TextCode and NumericCode now disagree on purpose
  source.SetNumericCode(-3);
  source.Text().AddObject("line", 7);
  TIdRFCReply target;
  target.SetCodeAndText(500, "old\nlines");
  target.Assign(&source);
  EXPECT_EQ(target.NumericCode(), -3);
  EXPECT_EQ(target.TextCode(), "+OK");
  EXPECT_EQ(target.Text(), source.Text());

  EXPECT_EQ(target.Text().Objects(0), 7);

  target.Assign(&target);  // assigning a reply to itself keeps it
  EXPECT_EQ(target.Text(), source.Text());
  EXPECT_EQ(target.TextCode(), "+OK");

  TStringList list;
  try {
    list.Assign(&source);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TIdRFCReply to a TStringList");
  }
  try {
    target.Assign(&list);
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TStringList to a TIdRFCReply");
  }
  EXPECT_EQ(target.Text(), source.Text()) << "a refused assignment changes nothing";
  source.Text().Add("later");
  EXPECT_EQ(target.Text().Count(), 1) << "the lines are copied, not shared";
}

TEST(RFCReplies, FindByCodeAndCompleteReply) {
  TComponent owner(nullptr);
  TIdRFCReplies replies(&owner);
  EXPECT_EQ(replies.GetOwner(), &owner);
  TIdRFCReply* other = replies.Add();
  other->SetCodeAndText(500, "Unknown command");
  TIdRFCReply* first = replies.Add();
  first->SetCodeAndText(421, "first\nsecond line");
  replies.Add()->SetCodeAndText(421, "second");
  EXPECT_EQ(first->Collection(), &replies);
  EXPECT_EQ(replies.FindByCode(421), first);
  EXPECT_EQ(replies.FindByCode(999), nullptr);

  TIdRFCReply reply;
  reply.SetNumericCode(421);
  reply.SetTextCode("abc");  // NumericCode 0 now: no item has that code
  reply.SetNumericCode(421);
  replies.CompleteReply(reply);
  EXPECT_EQ(reply.Text(), (TStringList{"first", "second line"}));
  EXPECT_EQ(reply.NumericCode(), 421);
  EXPECT_EQ(reply.TextCode(), "421");
  first->Text().Add("more");
  EXPECT_EQ(reply.Text().Count(), 2) << "the lines are copied, not shared";

  TIdRFCReply withText;
  withText.SetCodeAndText(421, "own");
  replies.CompleteReply(withText);
  EXPECT_EQ(withText.Text(), TStringList{"own"});

  TIdRFCReply unknown;
  unknown.SetNumericCode(404);
  replies.CompleteReply(unknown);
  EXPECT_TRUE(unknown.Text().Empty());
  EXPECT_EQ(unknown.FormatReply(), "404\r\n");

}

}  // namespace
}  // namespace ostrevan
