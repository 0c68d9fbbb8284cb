#include "platform/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

namespace est {
namespace {

TEST(TextBoolValue, FirstSignificantCharacterWithinTheViewDecides) {
  for (const char* yes : {"1", "yes", "Y", "true", "T", "t", " +007", "\t\n 9", "-5", "0001",
                          "YES please", "y", "000t", "-0y"})
    EXPECT_TRUE(textBoolValue(yes)) << '"' << yes << '"';
  for (const char* no : {"",   " ",   "0",   "-0",  "+000", "No",   "no", "false",    "F",   "0x1",
                         "x1", "+-1", "- 1", "+ y", "\v",   "00.5", ".5", "\xc3\x9d", "0 1", "n0"})
    EXPECT_FALSE(textBoolValue(no)) << '"' << no << '"';
  EXPECT_FALSE(textBoolValue(std::string_view("0001").substr(0, 3)));  // stops at the view end
}

TEST(TextIntegerValue, LeadingDecimalDigitsAfterBlanksAndSignSaturatingAtThe64BitLimits) {
  EXPECT_EQ(textIntegerValue("30"), 30);
  EXPECT_EQ(textIntegerValue("  -45 min"), -45);
  EXPECT_EQ(textIntegerValue("+007"), 7);
  EXPECT_EQ(textIntegerValue("12.9"), 12);
  EXPECT_EQ(textIntegerValue("0x1F"), 0);
  EXPECT_EQ(textIntegerValue(""), 0);
  EXPECT_EQ(textIntegerValue("-"), 0);
  EXPECT_EQ(textIntegerValue("abc"), 0);
  EXPECT_EQ(textIntegerValue("- 3"), 0);
  EXPECT_EQ(textIntegerValue("9223372036854775807"), LLONG_MAX);
  EXPECT_EQ(textIntegerValue("9223372036854775808"), LLONG_MAX);
  EXPECT_EQ(textIntegerValue("-9223372036854775808"), LLONG_MIN);
  EXPECT_EQ(textIntegerValue("-9223372036854775809"), LLONG_MIN);
  EXPECT_EQ(textIntegerValue("99999999999999999999999999"), LLONG_MAX);
  EXPECT_EQ(textIntegerValue("4294967296"), 4294967296LL);
}

TEST(TextDoubleValue, DecimalNumbersOnly) {
  EXPECT_DOUBLE_EQ(textDoubleValue("12.5"), 12.5);
  EXPECT_DOUBLE_EQ(textDoubleValue("  -0.25kg"), -0.25);
  EXPECT_DOUBLE_EQ(textDoubleValue("+1e3"), 1000);
  EXPECT_DOUBLE_EQ(textDoubleValue("2E-2x"), 0.02);
  EXPECT_DOUBLE_EQ(textDoubleValue("5e"), 5);  // an exponent without digits is not read
  EXPECT_DOUBLE_EQ(textDoubleValue(".5"), 0.5);
  EXPECT_DOUBLE_EQ(textDoubleValue("7."), 7);
  EXPECT_DOUBLE_EQ(textDoubleValue("12,5"), 12);
  for (const char* none : {"", ".", "-", "inf", "nan", "abc", "e5", "+.e1"})
    EXPECT_EQ(textDoubleValue(none), 0.0) << '"' << none << '"';
  EXPECT_EQ(textDoubleValue("0x10"), 0.0);
  EXPECT_TRUE(std::isinf(textDoubleValue("1e999")));
}

}  // namespace
}  // namespace est
