#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "support/Regex.h"
#include "trace/Text.h"

namespace quorvan {
namespace {

struct FormatCase {
  double value;
  const char* pattern;
  const char* expected;
};

TEST(FormatNumber, RendersThePatternsOfTheTraceAndInfoTexts) {
  const FormatCase cases[] = {
      // list time column: seconds with three decimals and at least one integer digit
      {0.016, "####0.000", "0.016"},
      {0, "####0.000", "0.000"},
      {12.5, "####0.000", "12.500"},
      {123456.789, "####0.000", "123456.789"},
      {4294967.295, "####0.000", "4294967.295"},
      // ring gap column
      {12, "###0 mS: ", "12 mS: "},
      {0, "###0 mS: ", "0 mS: "},
      {4294967295.0, "###0 mS: ", "4294967295 mS: "},
      // watch table columns: "#" alone writes nothing for 0, longer numbers come whole
      {7, "  ###", "  7"},
      {0, "  ###", "  "},
      {1234, "  ###", "  1234"},
      {0, "###", ""},
      {0, "####", ""},
      {255, "###", "255"},
      {-2, "####", "-2"},
      {-32768, "###", "-32768"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatNumber(c.value, c.pattern), c.expected) << c.value << " / " << c.pattern;
}

TEST(FormatNumber, RoundsHalfAwayFromZeroOnTheDecimalValue) {
  const FormatCase cases[] = {
      {2.5, "###", "3"},
      {-2.5, "###", "-3"},
      {0.4, "###", ""},
      {-0.4, "###", ""},
      {0.0005, "0.000", "0.001"},
      {0.0004999, "0.000", "0.000"},
      {1.0005, "0.000", "1.001"},  // 1.000499999... in binary
      {9.9996, "0.000", "10.000"},
      {99.5, "0", "100"},
      {-0.0001, "0.000", "0.000"},  // no sign on a rendered zero
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatNumber(c.value, c.pattern), c.expected) << c.value << " / " << c.pattern;
}

TEST(FormatNumber, OptionalDecimalsDropTrailingZeros) {
  EXPECT_EQ(FormatNumber(1.5, "#0.0##"), "1.5");
  EXPECT_EQ(FormatNumber(1.25, "#0.0##"), "1.25");
  EXPECT_EQ(FormatNumber(1, "#0.0##"), "1.0");
}

TEST(FormatAt, RightAlignsAndNeverCuts) {
  EXPECT_EQ(FormatAt("5", "@@@@"), "   5");
  EXPECT_EQ(FormatAt("1A2B", "@@@@"), "1A2B");
  EXPECT_EQ(FormatAt("12345", "@@@@"), "12345");
  EXPECT_EQ(FormatAt("", "@@@@"), "    ");
}

TEST(HexText, UpperCaseWithoutLeadingZerosInTwosComplement) {
  EXPECT_EQ(Hex(0), "0");
  EXPECT_EQ(Hex(255), "FF");
  EXPECT_EQ(Hex(0x1A2B), "1A2B");
  EXPECT_EQ(Hex(-1), "FFFFFFFF");
  EXPECT_EQ(Hex(std::numeric_limits<std::int32_t>::min()), "80000000");
  EXPECT_EQ(Hex16(-1), "FFFF");
  EXPECT_EQ(Hex16(-32768), "8000");
  EXPECT_EQ(Hex16(0x12), "12");
  EXPECT_EQ(Hex16(0), "0");
}

TEST(PktToHex, TwoDigitsAndABlankPerByteForEveryByteValue) {
  EXPECT_EQ(PktToHex(std::string("\x01\xA0", 2)), "01 A0 ");
  EXPECT_EQ(PktToHex(std::string(1, '\0')), "00 ");
  EXPECT_EQ(PktToHex(""), "");
  EXPECT_EQ(PktToHex("\x68\x6A\x01", true), "686A01");

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string text = PktToHex(all);
  ASSERT_EQ(text.size(), 256u * 3);
  for (int b = 0; b < 256; ++b) {
    char expected[4];
    std::snprintf(expected, sizeof expected, "%02X ", b);
    EXPECT_EQ(text.substr(static_cast<std::size_t>(b) * 3, 3), expected);
  }
}

TEST(BoolText, WordsOfTheTrace) {
  EXPECT_STREQ(BoolText(true), "True");
  EXPECT_STREQ(BoolText(false), "False");
}

TEST(DateAndTime, MonthDayYearAndTwentyFourHourClock) {
  EXPECT_TRUE(std::regex_match(TodayMmDdYyyy(),
                               std::regex("(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])-[0-9]{4}")))
      << TodayMmDdYyyy();
  EXPECT_TRUE(
      std::regex_match(TimeOfDayText(), std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]")))
      << TimeOfDayText();
}

}  // namespace
}  // namespace quorvan
