#include <gtest/gtest.h>

#include "catalog/Catalog.h"
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

TEST(ClientOutput, WatchTableShowsNamesUnitsAndTrends) {
  WatchRow rpm{
      WatchRequest{1, 0x10C, 2, ecuData, 1, catalog::FindItem(ecuVisteon, "rpm")}, 0, "-", {}};
  for (const std::int32_t raw : {4000, 6000, 8000, 6896}) {
    Record(rpm, DataReading(rpm.request, Variant(raw)));
  }
  WatchRow flags{WatchRequest{12, -1, 1, ecuFlags, 1}, 0, "-", {}};
  const auto lines = WatchTableLines({rpm, flags});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Item  Name              Kind    Updates  Value           Trend");
  EXPECT_EQ(lines[1], "   1  rpm               data          4  1724 rpm        ▁▅█▆");
  EXPECT_EQ(lines[2], "  12  0xFFFFFFFF        flags         0  -               ");
}

TEST(ClientOutput, TheTrendKeepsTheLastValuesScaledBetweenTheirExtremes) {
  EXPECT_EQ(Sparkline({}), "");
  EXPECT_EQ(Sparkline({3, 3, 3}), "▅▅▅");  // level
  EXPECT_EQ(Sparkline({0, 7, 14}), "▁▅█");
  WatchRow row{WatchRequest{1, 0x40, 1, ecuData, 1}, 0, "-", {}};
  for (int i = 0; i < 30; ++i) Record(row, DataReading(row.request, Variant(std::int32_t{i})));
  EXPECT_EQ(row.trend.size(), WatchRow::kTrendLength);
  EXPECT_EQ(row.trend.front(), 10);
  EXPECT_EQ(row.value, "29");  // no catalog item: the raw number
  Record(row, DataReading(row.request, Variant(std::string("\x01\x02"))));
  EXPECT_EQ(row.value, "01 02");
  EXPECT_EQ(row.trend.size(), WatchRow::kTrendLength);  // bytes have no trend
}

TEST(ClientOutput, CatalogValuesAreShownInTheirUnits) {
  const struct {
    const char* name;
    std::int32_t raw;
    const char* shown;
  } cases[] = {
      {"coolant", 123, "83 °C"},       {"timing-advance", 152, "12.0 °"},
      {"o2-voltage-1", 90, "0.450 V"}, {"short-fuel-trim", 128, "0.0 %"},
      {"obd-standard", 1, "1"},        {"monitor-status", 0x82, "0x00000082"},
  };
  for (const auto& c : cases) {
    const catalog::CatalogItem* item = catalog::FindItem(ecuVisteon, c.name);
    ASSERT_NE(item, nullptr) << c.name;
    WatchRow row{WatchRequest{1, item->address, item->size, item->kind, 1, item}, 0, "-", {}};
    Record(row,
           item->kind == ecuFlags ? FlagsReading(c.raw) : DataReading(row.request, Variant(c.raw)));
    EXPECT_EQ(row.value, c.shown) << c.name;
  }
}

TEST(ClientOutput, FaultListsSplitIntoCodes) {
  EXPECT_EQ(FaultCodes("0123/0133/"), (std::vector<std::string>{"0123", "0133"}));
  EXPECT_EQ(FaultCodes("//"), std::vector<std::string>{});
  EXPECT_EQ(FaultCodes("H012 @1234 #3/C001/"), (std::vector<std::string>{"H012 @1234 #3", "C001"}));
}

TEST(ClientOutput, TheItemsTableListsTheCatalog) {
  const auto lines = ItemsTableLines(ecuMBE);
  ASSERT_EQ(lines.size(), catalog::ItemsOf(ecuMBE).size() + 1);
  EXPECT_EQ(lines[0], "Name              Address   Size  Kind    Unit   Description");
  EXPECT_EQ(lines[1], "rpm               0x0040       2  data    rpm    Engine speed");
  EXPECT_EQ(ItemsTableLines(ecuMSE11).size(), 1u);
}

}  // namespace
}  // namespace quorvan::host
