#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ficht/FichtFrames.h"
#include "kline/Format.h"
#include "kline/Format.h"
#include "trace/Text.h"

// Captured Ficht frames and what their bytes say.
namespace quorvan {
namespace {

TEST(FichtFrames, RequestsAreFramedWithTheirChecksum) {
  const struct {
    std::string payload;
    std::string frame;
  } rows[] = {
      {FichtReadPayload(92, 1), Bytes({0x01, 0x01, 0x00, 0x5C, 0x5E})},
      {FichtReadPayload(118, 32), Bytes({0x01, 0x20, 0x00, 0x76, 0x97})},
      {FichtReadPayload(0x0140, 2), Bytes({0x01, 0x02, 0x01, 0x40, 0x44})},  // high byte first
      {FichtCommandPayload(2), Bytes({0x01, 0x82, 0x00, 0x66, 0x02, 0x01, 0xEC})},
      {FichtCommandPayload(0), Bytes({0x01, 0x81, 0x00, 0x67, 0x00, 0xE9})},
      {FichtWritePayload(0x40, Bytes({0xAA, 0x00, 0x55})),
       Bytes({0x01, 0x83, 0x00, 0x40, 0xAA, 0x00, 0x55, 0xC3})},
      {FichtWritePayload(0x10, ""), Bytes({0x01, 0x80, 0x00, 0x10, 0x91})},
  };
  for (const auto& row : rows) EXPECT_EQ(PktToHex(FichtFrame(row.payload)), PktToHex(row.frame));
}

TEST(FichtFrames, RepliesAreCheckedForLeadLengthAndChecksum) {
  const struct {
    std::string received;
    std::size_t n;  // bytes cut out after the lead
    bool valid;
  } rows[] = {
      {Bytes({0x01, 0x02, 0x12, 0x34, 0x49}), 3, true},
      {Bytes({0x01, 0x02, 0x12, 0x34, 0x49, 0xEE}), 3, true},  // a byte behind it is not read
      {Bytes({0x01, 0x02, 0x12, 0x34, 0x48}), 3, false},       // checksum
      {Bytes({0x02, 0x02, 0x12, 0x34, 0x4A}), 3, false},       // lead byte
      {Bytes({0x01, 0x03, 0x12, 0x34, 0x4A}), 3, false},       // count says 3, 2 came
      {Bytes({0x01, 0x02, 0x03}), 1, true},                    // a write's status
      {Bytes({0x01, 0x80, 0x81}), 1, true},                    // a NAK passes the length test
      {Bytes({0x01, 0x00, 0x01}), 1, true},                    // a read of 0 bytes
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(PktToHex(row.received));
    const std::string reply = row.received.substr(1, row.n);
    EXPECT_EQ(FichtReplyValid(row.received, reply), row.valid);
  }
}

TEST(FichtFrames, NumbersAreReadMostSignificantByteFirst) {
  const std::string reply = Bytes({0x04, 0x00, 0x00, 0x01, 0x02});
  EXPECT_EQ(ExtractLong(reply, 2, 4), 258);
  EXPECT_EQ(ExtractLong(Bytes({0x04, 0xFF, 0xFF, 0xFF, 0xFF}), 2, 4), -1);
  EXPECT_EQ(ExtractLong(reply, 4, 2), 0x0102);
  EXPECT_EQ(ExtractLong(reply, 4, 3), 0);  // past the end
  EXPECT_EQ(ExtractLong(reply, 2, 0), 0);
}

TEST(FichtFrames, ReadsAreDecodedByTheirSize) {
  using N = std::vector<std::int32_t>;
  const struct {
    int size;
    std::string reply;
    N numbers;
  } rows[] = {
      {1, Bytes({0x01, 0xC8}), N{200}},
      {2, Bytes({0x02, 0x05, 0xDC}), N{1500}},
      {3, Bytes({0x03, 0x01, 0x00, 0x00}), N{65536}},
      {4, Bytes({0x04, 0x00, 0x00, 0x01, 0x02}), N{258}},
      {4, Bytes({0x04, 0x80, 0x00, 0x00, 0x00}), N{-2147483647 - 1}},
      {6, Bytes({0x06, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}), N{256, 16777215}},
      {5, Bytes({0x05, 0x00, 0x00, 0x00, 0x07, 0x09}), N{7}},      // 5 / 4 rounds to 1
      {10, Bytes({0x0A, 0, 0, 0, 1, 0, 0, 0, 2, 3, 4}), N{1, 2}},  // 2.5 rounds to 2
      {14, Bytes({0x0E, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 9, 9}), N{1, 2, 3, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    EXPECT_EQ(DecodeFichtRead(row.reply, row.size), row.numbers);
  }
}

TEST(FichtFrames, HistoryRecordsGiveTheirCodes) {
  using N = std::vector<std::int32_t>;
  const struct {
    N records;
    std::string text;
  } rows[] = {
      {N{0x0C0304D2, 0, 0, 0, 0, 0, 0, 0}, "H012 @1234 #3/"},
      {N{0x00FFFFFF, 0, 0, 0, 0, 0, 0, 0}, ""},
      {N{static_cast<std::int32_t>(0xFF01FFFF), 0, 0, 0, 0, 0, 0, 0x01000000},
       "H255 @65535 #1/H001 @0 #0/"},
      {N{0, 0}, ""},  // a failed read
  };
  for (const auto& row : rows) EXPECT_EQ(ExtractFichtHistoric(row.records), row.text);
}

TEST(FichtFrames, CurrentFaultBitsGiveTheirCodes) {
  std::string bitmap(33, '\0');
  bitmap[0] = ' ';  // the count byte
  bitmap[1] = '\x81';
  EXPECT_EQ(ExtractFichtCurrent(bitmap), "C001/C008/");
  bitmap[1] = 0;
  bitmap[2] = '\x01';
  bitmap[32] = '\x80';
  EXPECT_EQ(ExtractFichtCurrent(bitmap), "C009/C256/");
  EXPECT_EQ(ExtractFichtCurrent(Bytes({0x20, 0x01})), "C001/");  // short: what came
}

}  // namespace
}  // namespace quorvan
