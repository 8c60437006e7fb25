#include <gtest/gtest.h>

#include "client/Enums.h"
#include "host/cli/ClientOutput.h"

namespace quorvan::host {
namespace {

TEST(ClientOutput, ValuesOfEachKind) {
  EXPECT_EQ(FormatValue(Variant()), "-");
  EXPECT_EQ(FormatValue(Variant(std::int32_t{-12})), "-12");
  EXPECT_EQ(FormatValue(Variant(std::string("\x01\xA0\xFF"))), "01 A0 FF");
  EXPECT_EQ(FormatValue(Variant(std::string())), "");
  EXPECT_EQ(FormatValue(Variant(std::vector<std::int32_t>{3, -4})), "[3, -4]");
}

TEST(ClientOutput, PrintableEscapesControlHighAndBackslashBytes) {
  EXPECT_EQ(Printable(std::string("P0105\0\r\n\xE9\\ ok", 13)),
            "P0105\\x00\\x0D\\x0A\\xE9\\x5C ok");
}

TEST(ClientOutput, FlashChecksumIsTheSixteenBitSumOfTheBytes) {
  EXPECT_EQ(FlashChecksum(""), 0);
  EXPECT_EQ(FlashChecksum("\x01\x02\xFF"), 0x102);
  EXPECT_EQ(FlashChecksum(std::string(300, '\xFF')), (300 * 255) & 0xFFFF);  // wraps
}

// MSE 1.1 verifies its image by the 32-bit sum of its bytes, which a 16-bit sum would lose.
TEST(ClientOutput, TheVerifyValueAndTheImageCheckFollowTheDevice) {
  const std::string full(63232, '\xFF');
  EXPECT_EQ(FlashVerifyValue(ecuMSE11, full), 63232 * 255);
  EXPECT_EQ(FlashVerifyValue(ecuVisteon, full), (63232 * 255) & 0xFFFF);
  EXPECT_EQ(ImageProblem(ecuMSE11, full), "");
  EXPECT_EQ(ImageProblem(ecuMSE11, full.substr(1)),
            "an MSE 1.1 image is 63232 bytes, this one 63231");
}

// An image the controller cannot take is refused before anything is erased: a Visteon
// image fills the region (its verify sums all of it), and a family without a reflash
// takes none.
TEST(ClientOutput, AnImageIsCheckedAgainstWhatTheFamilyTakes) {
  const struct {
    std::int32_t device;
    std::size_t bytes;
    std::size_t regionBlocks;
    bool taken;
  } cases[] = {
      {ecuVisteon, 65536, 64, true}, {ecuVisteon, 4096, 4, true},  {ecuVisteon, 1000, 4, false},
      {ecuVisteon, 2048, 4, false},  {ecuVisteon, 8192, 4, false}, {ecuVisteon, 4097, 4, false},
      {ecuMSE10, 1024, 64, false},   {ecuFicht, 1024, 64, false},  {ecuMBE, 65536, 64, false},
  };
  for (const auto& c : cases) {
    const std::string problem = ImageProblem(c.device, std::string(c.bytes, 'x'), c.regionBlocks);
    EXPECT_EQ(problem.empty(), c.taken) << c.device << " " << c.bytes << ": " << problem;
  }
  EXPECT_EQ(ImageProblem(ecuVisteon, std::string(1000, 'x'), 4),
            "a Visteon image fills the controller's region of 4 blocks of 1024 bytes (4096 "
            "bytes), this one is 1000 bytes (--region-blocks names a smaller region)");
}

TEST(ClientOutput, ImageIsCutIntoBlocksWithAShortLastOne) {
  const auto blocks = SplitBlocks("abcdefg", 3);
  EXPECT_EQ(blocks, (std::vector<std::string>{"abc", "def", "g"}));
  EXPECT_EQ(SplitBlocks("abcdef", 3).size(), 2u);
  EXPECT_THROW(SplitBlocks("abc", 0), std::invalid_argument);
}

TEST(ClientOutput, ProgressBarFillsInProportion) {
  EXPECT_EQ(ProgressBar(0, 4, 8), "[--------] 0/4 blocks   0%");
  EXPECT_EQ(ProgressBar(1, 4, 8), "[##------] 1/4 blocks  25%");
  EXPECT_EQ(ProgressBar(4, 4, 8), "[########] 4/4 blocks 100%");
  EXPECT_EQ(ProgressBar(3, 12, 4), "[#---]  3/12 blocks  25%");
}

TEST(ClientOutput, WatchTableAlignsItsColumns) {
  const std::vector<WatchRow> rows = {
      {WatchRequest{1, 0x10C, 2, 2, 1}, 3, "1234"},
      {WatchRequest{12, -1, 1, 1, 1}, 0, "-"},
  };
  const auto lines = WatchTableLines(rows);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Item  Address     Size  Kind     Updates  Value");
  EXPECT_EQ(lines[1], "   1  0x0000010C     2  data           3  1234");
  EXPECT_EQ(lines[2], "  12  0xFFFFFFFF     1  flags          0  -");
}

}  // namespace
}  // namespace quorvan::host
