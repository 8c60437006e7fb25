#include <gtest/gtest.h>

#include "kline/FaultCodes.h"
#include "kline/Format.h"
#include "trace/Text.h"
#include "visteon/PacketLayer.h"
#include "visteon/VisteonFaults.h"

namespace quorvan {
namespace {

std::string B(std::initializer_list<int> list) {
  return Bytes(list);
}

TEST(Framing, HeaderByServiceAndFlashState) {
  const struct {
    std::string request;
    bool flash;
    std::string packet;
  } cases[] = {
      {B({0x01, 0x0C}), false, "68 6A F1 01 0C D0 "},
      {B({0x10, 0x85}), false, "44 10 F1 10 85 DA "},  // fixed 0x44 whatever the length
      {B({0x20}), false, "44 10 F1 20 65 "},
      {B({0x33, 0x01}), false, "44 10 F1 33 01 79 "},
      {B({0x31, 0xA0, 0x01, 0x00, 0x07, 0x01}), false, "54 10 F1 31 A0 01 00 07 01 2F "},
      {B({0x31, 0xA0, 0x01, 0x00, 0x07, 0x01}), true, "94 10 F1 31 A0 01 00 07 01 6F "},
      {B({0x27, 0x01}), false, "54 10 F1 27 01 7D "},
      {B({0xA0}), true, "44 10 F1 A0 E5 "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PktToHex(FramePacket(c.request, c.flash)), c.packet) << PktToHex(c.request);
  }
  // Twelve bytes is the longest request the length nibble can carry.
  EXPECT_EQ(static_cast<unsigned char>(FrameHeader(std::string(12, '\x36'), false)[0]), 0xF4);
}

TEST(Framing, ReplyLengthFromFirstByte) {
  const struct {
    int first;
    std::string request;
    int length;
  } cases[] = {
      {0x48, B({0x01, 0x0C}), 8}, {0x48, B({0x01, 0x00}), 10}, {0x48, B({0x01, 0x05}), 7},
      {0x48, B({0x02, 0x0C}), 9}, {0x48, B({0x02, 0x02}), 9},  {0x48, B({0x02, 0x05}), 8},
      {0x48, B({0x03}), 11},      {0x48, B({0x04}), 5},        {0x84, B({0x31}), 9},
      {0x44, B({0x10}), 5},       {0x43, B({0x10}), 0},        {0x00, B({0x10}), 0},
      {0x48, B({0x27, 0x01}), 0},  // an SAE reply to a non-SAE request: malformed
      {0x48, std::string(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReplyPacketLength(static_cast<std::uint8_t>(c.first), c.request), c.length)
        << std::hex << c.first << " " << PktToHex(c.request);
  }
}

TEST(Framing, ResponseClassification) {
  EXPECT_EQ(ResponseResult(-0x41), kExchangeOk);
  EXPECT_EQ(ResponseResult(0), kExchangeOk);
  EXPECT_EQ(ResponseResult(0x23), kExchangeOk);  // routine not complete
  EXPECT_EQ(ResponseResult(0x21), 0);            // busy: repeat
  EXPECT_EQ(ResponseResult(0x22), kExchangeRefused);
}

TEST(Faults, CodesAreNibbleCharacters) {
  EXPECT_EQ(GetOneFaultCode(B({0x1A, 0xBC})), "1:;<");
  const struct {
    std::string reply;
    std::string listed;
    std::string all;
    bool done;
  } cases[] = {
      {B({0x43, 0x01, 0x23, 0, 0, 0, 0}), "0123/", "0123/0000/0000/", true},
      {B({0x43, 0x01, 0x33, 0x02, 0x21, 0x10, 0x05}), "0133/0221/1005/", "0133/0221/1005/", false},
      {B({0x43, 0x01, 0x33, 0x02, 0x21, 0x10}), "", "", false},  // too short
  };
  for (const auto& c : cases) {
    bool done = false;
    EXPECT_EQ(ExtractVFaults(c.reply, done), c.listed);
    EXPECT_EQ(done, c.done);
    EXPECT_EQ(ExtractAllFaults(c.reply), c.all);
  }
}

TEST(Format, SmallConversions) {
  EXPECT_EQ(Hex2(0x05), "05");
  EXPECT_EQ(Hex2(0xAB), "AB");
  EXPECT_EQ(UnsignedToLong(4294967295.0), -1);
  EXPECT_EQ(UnsignedToLong(2147483648.0), -2147483647 - 1);
  EXPECT_EQ(UnsignedToLong(2147483647.0), 2147483647);
  EXPECT_EQ(UnsignedToLong(2.5), 2);  // ties to even
  EXPECT_EQ(UnsignedToLong(3.5), 4);
  EXPECT_EQ(CleanStr(std::string("A\0B\0", 4)), "AB");
  EXPECT_EQ(ByteAt(B({7, 0xFF}), 2), 255);
  EXPECT_EQ(ByteAt(B({7}), 2), -1);
}

TEST(Framing, AReplyAnswersOnlyItsOwnRequest) {
  const struct {
    std::string reply;
    std::string request;
    bool answers;
  } cases[] = {
      {B({0x41, 0x0C, 0x1A, 0xF8}), B({0x01, 0x0C}), true},
      {B({0x41, 0x05, 0x5A}), B({0x01, 0x0C}), false},  // another PID's reading
      {B({0x42, 0x0C, 0x00, 0x0B, 0xB8}), B({0x02, 0x0C, 0x00}), true},
      {B({0x41, 0x0C, 0x1A, 0xF8}), B({0x02, 0x0C, 0x00}), false},
      {B({0x7F, 0x01, 0x12}), B({0x01, 0x0C}), true},  // a refusal of this service
      {B({0x7F, 0x31, 0x22}), B({0x01, 0x0C}), false},
      {B({0x7F}), B({0x01, 0x0C}), false},
      {B({0x43, 0x01, 0x23, 0, 0, 0, 0}), B({0x03}), true},
      {B({0x44}), B({0x03}), false},
      {B({0x71, 0x02, 0x00}), B({0x31, 0x02}), true},
      {B({0xE0}), B({0xA0}), true},  // the reflash ping
      {"", B({0x01, 0x0C}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AnswersRequest(c.reply, c.request), c.answers)
        << PktToHex(c.reply) << "for " << PktToHex(c.request);
  }
}

}  // namespace
}  // namespace quorvan
