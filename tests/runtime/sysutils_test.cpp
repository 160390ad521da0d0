// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/sysutils.h"

#include <gtest/gtest.h>

#include "ostrevan/runtime/exception.h"

namespace ostrevan {
namespace {

int32_t Conv(const char* text) { return StrToIntDef(text, 12345); }

TEST(StrToInt, DecimalWithBlanksAndSign) {
  EXPECT_EQ(Conv("8037"), 8037);
  EXPECT_EQ(Conv(" 40"), 40);
  EXPECT_EQ(Conv("   -5"), -5);
  EXPECT_EQ(Conv("+7"), 7);
  EXPECT_EQ(Conv("007"), 7);
  EXPECT_EQ(Conv("0"), 0);
}

TEST(StrToInt, InvalidTexts) {
  for (const char* text : {"", " ", "40 ", "abc", "-", "+", "1a", "\t1", "- 5", "4 0", "--1",
                           "1.0", "0x", "$", "x", "X", "0X", "$G", "0x1g", "00x1"}) {
    int32_t value = 99;
    EXPECT_FALSE(TryStrToInt(text, value)) << '"' << text << '"';
    EXPECT_EQ(value, 99) << "an invalid text leaves the value alone";
  }
}

TEST(StrToInt, HexadecimalForms) {
  EXPECT_EQ(Conv("$1F"), 31);
  EXPECT_EQ(Conv("0x1F"), 31);
  EXPECT_EQ(Conv("0X1f"), 31);
  EXPECT_EQ(Conv("x1f"), 31);
  EXPECT_EQ(Conv("X1F"), 31);
  EXPECT_EQ(Conv("-$10"), -16);
  EXPECT_EQ(Conv(" +0x10"), 16);
  EXPECT_EQ(Conv("$000000000001"), 1) << "any number of leading zeros";
}

TEST(StrToInt, ThirtyTwoBitLimits) {
  EXPECT_EQ(Conv("2147483647"), 2147483647);
  EXPECT_EQ(Conv("-2147483648"), INT32_MIN);
  EXPECT_EQ(Conv("2147483648"), 12345);
  EXPECT_EQ(Conv("-2147483649"), 12345);
  EXPECT_EQ(Conv("99999999999999999999"), 12345);
  EXPECT_EQ(Conv("$FFFFFFFF"), -1) << "eight F digits read as two's complement";
  EXPECT_EQ(Conv("$80000000"), INT32_MIN);
  EXPECT_EQ(Conv("$7FFFFFFF"), INT32_MAX);
  EXPECT_EQ(Conv("-$FFFFFFFF"), 1);
  EXPECT_EQ(Conv("$100000000"), 12345) << "nine significant digits do not fit";
}

TEST(StrToInt, StrToIntRaisesConvertError) {
  EXPECT_EQ(StrToInt("0x1f"), 31);
  EXPECT_THROW(StrToInt("40 "), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
}

TEST(TextHelpers, CaseAndTrim) {
  EXPECT_EQ(UpperCase("port 0x1f\xe9"), "PORT 0X1F\xe9") << "only a to z change";
  EXPECT_TRUE(SameText("Quit", "qUIT"));
  EXPECT_FALSE(SameText("Quit", "Quite"));
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(Trim("   "), "");
}

}  // namespace
}  // namespace ostrevan
