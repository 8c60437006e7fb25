// What the bytes of the MBE link mean: requests, values in the module's byte order, and
// fault bytes as codes.
#include <gtest/gtest.h>

#include "kline/Format.h"
#include "mbe/MbeDecode.h"

namespace quorvan::mbe {
namespace {

TEST(MbeDecode, ARequestIsTheAddressHighByteFirstAndOnlySixteenBitAddressesHaveOne) {
  EXPECT_EQ(ReadRequest(13), Bytes({0x00, 0x0D}));
  EXPECT_EQ(ReadRequest(0x1234), Bytes({0x12, 0x34}));
  EXPECT_EQ(ReadRequest(0xFFFF), Bytes({0xFF, 0xFF}));
  EXPECT_EQ(ReadRequest(-1), std::nullopt);
  EXPECT_EQ(ReadRequest(0x10000), std::nullopt);
}

struct ValueCase {
  const char* name;
  std::string reply;
  Variant value;
};

class ReplyValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ReplyValues, AreReadInTheModulesByteOrder) {
  EXPECT_EQ(ReplyValue(GetParam().reply), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    MbeDecode, ReplyValues,
    ::testing::Values(ValueCase{"OneByteIsUnsigned", Bytes({0xFF}), Variant(255)},
                      ValueCase{"TwoBytesComeLowByteFirst", Bytes({0x34, 0x12}), Variant(0x1234)},
                      ValueCase{"TwoBytesAtTheTop", Bytes({0xFF, 0xFF}), Variant(0xFFFF)},
                      ValueCase{"ThreeBytesAreText", Bytes({0x34, 0x12, 0x00}),
                                Variant(Bytes({0x34, 0x12, 0x00}))},
                      ValueCase{"TheIdentificationIsText", "E9A4 V3.12",
                                Variant(std::string("E9A4 V3.12"))}),
    [](const auto& info) { return info.param.name; });

struct FaultCase {
  const char* name;
  std::int32_t bits;
  bool isCurrent;
  const char* codes;
};

class FaultBytes : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultBytes, GiveOneCodePerBitLowestFirst) {
  EXPECT_EQ(ExtractMBEFaults(GetParam().bits, GetParam().isCurrent), GetParam().codes);
}

INSTANTIATE_TEST_SUITE_P(MbeDecode, FaultBytes,
                         ::testing::Values(FaultCase{"None", 0x00, true, ""},
                                           FaultCase{"CurrentOneAndThree", 0x05, true, "C01/C03/"},
                                           FaultCase{"HistoryEight", 0x80, false, "H08/"},
                                           FaultCase{"AllEightInOrder", 0xFF, false,
                                                     "H01/H02/H03/H04/H05/H06/H07/H08/"},
                                           // Only the eight bits of the byte are faults.
                                           FaultCase{"BitsAboveTheByte", 0x0102, true, "C02/"}),
                         [](const auto& info) { return info.param.name; });

TEST(ExtractLong, ReadsTheFirstByteAsMostSignificantAndAShortReplyAsZero) {
  const std::string reply = Bytes({0x04, 0x00, 0x00, 0x01, 0x02});
  EXPECT_EQ(ExtractLong(reply, 2, 4), 258);
  EXPECT_EQ(ExtractLong(reply, 4, 2), 0x0102);
  EXPECT_EQ(ExtractLong(Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 1, 4), -1);
  EXPECT_EQ(ExtractLong(reply, 3, 4), 0);  // reaches past the reply
}

}  // namespace
}  // namespace quorvan::mbe
