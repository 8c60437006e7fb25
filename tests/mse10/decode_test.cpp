#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kline/Format.h"
#include "mse10/Mse10Decode.h"
#include "trace/Text.h"

// Captured MSE 1.0 controller blocks (length, counter, title, data, end byte) and what
// they say.
namespace quorvan::mse10 {
namespace {

TEST(Mse10Decode, BlocksSplitIntoTitleAndData) {
  const struct {
    std::string block;
    std::optional<int> title;
    std::string data;
  } rows[] = {
      {Bytes({0x03, 0x02, 0x09, 0x03}), 0x09, ""},  // acknowledge
      {Bytes({0x05, 0x08, 0xFE, 0x34, 0x12, 0x03}), 0xFE, Bytes({0x34, 0x12})},
      {Bytes({0x03, 0x0A, 0x0A}), 0x0A, ""},    // no end byte yet
      {Bytes({0x03, 0x02}), std::nullopt, ""},  // header cut short
      {"", std::nullopt, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(PktToHex(row.block));
    const std::optional<BlockParts> parts = SplitBlock(row.block);
    ASSERT_EQ(parts.has_value(), row.title.has_value());
    if (!parts) continue;
    EXPECT_EQ(parts->title, *row.title);
    EXPECT_EQ(parts->data, row.data);
  }
}

TEST(Mse10Decode, IdentificationTextsLoseNulsAndSurroundingBlanks) {
  const struct {
    std::string data;
    std::string text;
  } rows[] = {
      {std::string("  0261204123 \0 \0", 17), "0261204123"},
      {"MSE 1.0", "MSE 1.0"},
      {std::string("\0\0", 2), ""},
      {"   ", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(IdentificationText(row.data), row.text) << row.text;
}

TEST(Mse10Decode, FaultCodesAreCurrentOrHistoric) {
  const struct {
    std::string data;
    std::optional<std::string> text;
  } rows[] = {
      {Bytes({0x01, 0x02, 0x03}), "C010203/"},
      {Bytes({0x12, 0x34, 0x85}), "H123405/"},
      {Bytes({0x12, 0x34, 0x80}), "H123400/"},
      {Bytes({0xAB, 0xCD, 0x7F, 0x99}), "CABCD7F/"},  // bytes past the code are ignored
      {Bytes({0x01, 0x02}), std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(FaultCodeText(row.data), row.text);
}

TEST(Mse10Decode, MemoryValuesFollowTheItemsByteOrder) {
  const struct {
    std::string data;
    std::int16_t size;
    Variant value;
  } rows[] = {
      {Bytes({0x34, 0x12}), 2, Variant(std::int32_t{0x1234})},
      {Bytes({0x34, 0x12}), -2, Variant(std::int32_t{0x3412})},
      {Bytes({0x34, 0x12}), 0, Variant(std::int32_t{0x3412})},
      {Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 4, Variant(std::int32_t{-1})},
      {Bytes({0x00, 0x00, 0x00, 0x80}), 4, Variant(std::int32_t{-2147483647 - 1})},
      // More bytes than asked for: still most significant first.
      {Bytes({0x12, 0x34}), -1, Variant(std::int32_t{0x1234})},
      {"", 1, Variant(std::int32_t{0})},
      {Bytes({1, 2, 3, 4, 5}), 5, Variant(Bytes({1, 2, 3, 4, 5}))},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    EXPECT_EQ(MemoryValue(row.data, row.size), row.value);
  }
}

}  // namespace
}  // namespace quorvan::mse10
