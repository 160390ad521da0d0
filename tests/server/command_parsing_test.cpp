// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ostrevan/server/command_match.h"
#include "ostrevan/server/param_split.h"
#include "tests/support/printers.h"

namespace ostrevan {
namespace {

using Entries = std::vector<std::pair<std::string, intptr_t>>;

Entries EntriesOf(const TStringList& list) {
  Entries entries;
  for (int i = 0; i < list.Count(); ++i) entries.emplace_back(list[i], list.Objects(i));
  return entries;
}

// The parameter text of a match, or "<no match>".
std::string Match(std::string_view command, char delimiter, std::string_view line) {
  std::string params = "<untouched>";
  return MatchCommand(command, delimiter, line, params) ? params : "<no match>";
}

TEST(CommandMatch, CommandWordWithDelimiter) {
  EXPECT_EQ(Match("QUIT", ' ', "QUIT"), "");
  EXPECT_EQ(Match("QUIT", ' ', "quit"), "");
  EXPECT_EQ(Match("QUIT", ' ', "Quit now"), "now");
  EXPECT_EQ(Match("QUIT", ' ', "QUIT "), "");
  EXPECT_EQ(Match("QUIT", ' ', "QUIT  two"), " two");  // only one delimiter is taken off
  EXPECT_EQ(Match("QUIT", ' ', "QUITE"), "<no match>");
  EXPECT_EQ(Match("QUIT", ' ', "QUI"), "<no match>");
  EXPECT_EQ(Match("QUIT", ' ', " QUIT"), "<no match>");
  EXPECT_EQ(Match("SET", '=', "set=a=b"), "a=b");
}

TEST(CommandMatch, WithoutDelimiterThePrefixIsEnough) {
  EXPECT_EQ(Match("GET", '\0', "GETX"), "X");
  EXPECT_EQ(Match("GET", '\0', "get"), "");
  EXPECT_EQ(Match("GET", '\0', "GE"), "<no match>");
  // An empty command matches every line, with the whole line as parameters.
  EXPECT_EQ(Match("", '\0', "anything at all"), "anything at all");
  EXPECT_EQ(Match("", ' ', "anything"), "<no match>");
}

TEST(CommandMatch, TextComparison) {
  EXPECT_TRUE(SameCommandText("help", "HELP"));
  EXPECT_TRUE(SameCommandText("", ""));
  EXPECT_FALSE(SameCommandText("HELP", "HELPS"));
  // Bytes above 127 are no letters of the "C" locale: compared as they are.
  EXPECT_TRUE(SameCommandText("\xe9t\xe9", "\xe9T\xe9"));
  EXPECT_FALSE(SameCommandText("\xe9", "\xc9"));
  EXPECT_FALSE(SameCommandText("\xe9", "\xea"));
  // A NUL does not end the text.
  EXPECT_FALSE(SameCommandText(std::string("QUIT\0x", 6), "QUIT"));
  EXPECT_TRUE(SameCommandText(std::string("quit\0x", 6), std::string("QUIT\0X", 6)));
}

TEST(ParamSplit, PlainSplitKeepsPiecesAndTheirPositions) {
  TStringList list{"stale"};
  SplitParams("a  b", list, " ");
  EXPECT_EQ(EntriesOf(list), (Entries{{"a", 1}, {"b", 4}}));
  SplitParams(" a b ", list, " ");
  EXPECT_EQ(EntriesOf(list), (Entries{{"a", 2}, {"b", 4}}));
  SplitParams("one", list, " ");
  EXPECT_EQ(EntriesOf(list), (Entries{{"one", 1}}));
  SplitParams("", list, " ");
  EXPECT_EQ(EntriesOf(list), Entries{});
  SplitParams("   ", list, " ");
  EXPECT_EQ(EntriesOf(list), Entries{});
  SplitParams(" x ,y", list, ",");  // no trimming
  EXPECT_EQ(EntriesOf(list), (Entries{{" x ", 1}, {"y", 5}}));
}

TEST(ParamSplit, TrimmedSplitKeepsBlankPiecesAsEmptyEntries) {
  TStringList list{"stale"};
  SplitTrimmedParams(" a , ,b ", list, ",");
  EXPECT_EQ(EntriesOf(list), (Entries{{"a", 2}, {"", 5}, {"b", 7}}));
  SplitTrimmedParams("a,,b", list, ",");
  EXPECT_EQ(EntriesOf(list), (Entries{{"a", 1}, {"b", 4}}));
  SplitTrimmedParams("a,", list, ",");
  EXPECT_EQ(EntriesOf(list), (Entries{{"a", 1}}));
  SplitTrimmedParams(" \t ", list, ",");
  EXPECT_EQ(EntriesOf(list), Entries{});
  // A piece's position is where it began before its own trimming.
  SplitTrimmedParams("\t x ;\ty", list, ";");
  EXPECT_EQ(EntriesOf(list), (Entries{{"x", 3}, {"y", 6}}));
}

}  // namespace
}  // namespace ostrevan
