#include "json/decimal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace est {
namespace {

Decimal dec(const char* text) {
  auto d = Decimal::fromString(text);
  EXPECT_TRUE(d) << text;
  return d.value_or(Decimal());
}

TEST(Decimal, TextFormRoundTripsExactly) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "0"},
      {"-0", "-0"},
      {"7", "7"},
      {"1.50", "1.50"},
      {"-65.613616999999977", "-65.613616999999977"},
      {"2E+3", "2E+3"},
      {"2e3", "2E+3"},
      {"12e1", "1.2E+2"},
      {"1.0e1", "10"},
      {"0.000001", "0.000001"},
      {"0.0000001", "1E-7"},
      {"123e-2", "1.23"},
      {"0e5", "0E+5"},
      {"99999999999999999999999999999999999999", "99999999999999999999999999999999999999"},
      {"1.2345678901234567890123456789012345678e-999999962",
       "1.2345678901234567890123456789012345678E-999999962"},
  };
  for (const auto& [in, out] : cases) {
    Decimal d = dec(in);
    EXPECT_EQ(d.toString(), out) << in;
    auto again = Decimal::fromString(d.toString());
    ASSERT_TRUE(again) << in;
    EXPECT_EQ(again->coefficientHigh(), d.coefficientHigh()) << in;
    EXPECT_EQ(again->coefficientLow(), d.coefficientLow()) << in;
    EXPECT_EQ(again->exponent(), d.exponent()) << in;
    EXPECT_EQ(again->isNegative(), d.isNegative()) << in;
  }
}

// Digits are written in groups; every length, and the values on both sides of each power of
// ten, must come out as the usual decimal text, as integers and with a point.
TEST(Decimal, DigitsOfEveryLengthAreWrittenExactly) {
  std::vector<std::uint64_t> values = {0, std::numeric_limits<std::uint64_t>::max()};
  for (std::uint64_t power = 1, k = 0; k < 20; ++k, power *= 10) {
    for (std::uint64_t v : {power - 1, power, power + 1, power + power / 2 + 7})
      values.push_back(v);
  }
  for (std::uint64_t v : values) {
    const std::string text = std::to_string(v);
    EXPECT_EQ(Decimal::fromUint64(v).toString(), text);
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) && v != 0) {
      EXPECT_EQ(Decimal::fromInt64(-static_cast<std::int64_t>(v)).toString(), "-" + text);
    }
    if (text.size() > 1) {
      const std::string pointed = text.substr(0, 1) + "." + text.substr(1);
      EXPECT_EQ(dec(pointed.c_str()).toString(), pointed);
    }
  }
}

TEST(Decimal, RangeIs38DigitsAndAWideExponent) {
  EXPECT_TRUE(Decimal::fromString("12345678901234567890123456789012345678"));
  EXPECT_FALSE(Decimal::fromString("123456789012345678901234567890123456789"));
  EXPECT_FALSE(Decimal::fromString("1.23456789012345678901234567890123456789"));
  // Zeros past the 38th digit cost nothing: the value stays exact.
  Decimal wide = dec("1234567890123456789012345678901234567800000");
  EXPECT_EQ(wide, dec("12345678901234567890123456789012345678e5"));
  EXPECT_EQ(dec("0.00000000000000000000000000000000000000000000001"), dec("1e-47"));
  EXPECT_EQ(dec("1.00000000000000000000000000000000000000000000"), dec("1"));

  EXPECT_TRUE(Decimal::fromString("1e999999999"));
  EXPECT_TRUE(Decimal::fromString("1e-999999999"));
  EXPECT_FALSE(Decimal::fromString("1e1000000000"));
  EXPECT_FALSE(Decimal::fromString("1e-1000000000"));
  EXPECT_FALSE(Decimal::fromString("0.1e-999999999"));
  EXPECT_FALSE(Decimal::fromString("1e99999999999999999999999"));
  EXPECT_TRUE(Decimal::fromString("0e99999999999999999999999"));  // still zero
  EXPECT_TRUE(dec("0e-99999999999").isZero());
}

TEST(Decimal, RefusesWhatIsNotAJsonNumber) {
  for (const char* bad : {"", "-", "+1", "01", "1.", ".5", "1e", "1e+", "1x", " 1", "1 ", "--1",
                          "0x10", "NaN", "Infinity"})
    EXPECT_FALSE(Decimal::fromString(bad)) << bad;
}

TEST(Decimal, ToDoubleIsCorrectlyRounded) {
  for (const char* text : {"0.1", "-65.613616999999977", "1.7976931348623157e308",
                           "2.2250738585072014e-308", "5e-324", "123456789012345678901234567890",
                           "9007199254740993", "1e23", "0.30000000000000004", "48213"}) {
    EXPECT_EQ(dec(text).toDouble(), std::strtod(text, nullptr)) << text;
  }
  EXPECT_EQ(dec("1e400").toDouble(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(dec("-1e400").toDouble(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(dec("1e-400").toDouble(), 0.0);
  EXPECT_TRUE(std::signbit(dec("-0").toDouble()));
}

TEST(Decimal, ToInt64OnlyForExactIntegersThatFit) {
  EXPECT_EQ(dec("48213").toInt64(), 48213);
  EXPECT_EQ(dec("-7").toInt64(), -7);
  EXPECT_EQ(dec("1.000").toInt64(), 1);
  EXPECT_EQ(dec("12e1").toInt64(), 120);
  EXPECT_EQ(dec("-0.0").toInt64(), 0);
  EXPECT_EQ(dec("9223372036854775807").toInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(dec("-9223372036854775808").toInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(dec("-92233720368547758.08e2").toInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_FALSE(dec("9223372036854775808").toInt64());
  EXPECT_FALSE(dec("-9223372036854775809").toInt64());
  EXPECT_FALSE(dec("1.5").toInt64());
  EXPECT_FALSE(dec("1e19").toInt64());
  EXPECT_FALSE(dec("1e-50").toInt64());
  EXPECT_FALSE(dec("99999999999999999999999999999999999999").toInt64());
  EXPECT_TRUE(dec("25.00").isInteger());
  EXPECT_FALSE(dec("25.01").isInteger());
}

TEST(Decimal, EqualityIsNumeric) {
  EXPECT_EQ(dec("1.5"), dec("1.50"));
  EXPECT_EQ(dec("100"), dec("1e2"));
  EXPECT_EQ(dec("0"), dec("-0.000"));
  EXPECT_FALSE(dec("1.5") == dec("-1.5"));
  EXPECT_FALSE(dec("1.5") == dec("1.51"));
  EXPECT_FALSE(dec("1") == dec("10"));
}

TEST(Decimal, FromMachineNumbers) {
  EXPECT_EQ(Decimal::fromInt64(std::numeric_limits<std::int64_t>::min()).toString(),
            "-9223372036854775808");
  EXPECT_EQ(Decimal::fromUint64(std::numeric_limits<std::uint64_t>::max()).toString(),
            "18446744073709551615");
  EXPECT_EQ(Decimal::fromDouble(0.1)->toString(), "0.1");
  EXPECT_EQ(Decimal::fromDouble(25.5)->toString(), "25.5");
  EXPECT_EQ(Decimal::fromDouble(1e22)->toString(), "1E+22");
  EXPECT_EQ(Decimal::fromDouble(5e-324)->toDouble(), 5e-324);
  EXPECT_FALSE(Decimal::fromDouble(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(Decimal::fromDouble(std::numeric_limits<double>::infinity()));
}

}  // namespace
}  // namespace est
