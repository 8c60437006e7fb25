#include <gtest/gtest.h>

#include <system_error>

#include "client/InfoDump.h"
#include "support/Regex.h"
#include "trace/TraceFixture.h"

namespace quorvan {
namespace {

const std::string kMenu =
    "\r\nClick 2 to dump ALL to file & wipe.\r\nClick 3 for last Visteon result code."
    "\r\nClick 4 to get traceLog total Size info.\r\nClick 5 to grab next 60 kB chunk & wipe.";

struct InfoFixture : testing::TraceFixture {
  WatchTableArray table{};
  InfoSources sources{table};

  std::string Info(std::int16_t index) { return InfoDump(index, trace, clock, driveC, sources); }
};

TEST_F(InfoFixture, OverviewListsTheWatchTableMarksTheCurrentItemAndCountsTheLog) {
  table[1] = {0x1A2B, 2, 1, ecuData};
  table[2] = {0x12345, -2, 0, ecuFaults};  // priority 0 and kind 0 stay blank
  table[3] = {0x5, 1, 3, ecuFlags};
  sources.gMaxItem = 3;
  sources.gCurItem = 2;
  trace.lstTrace() = {"a", "b", "c"};

  EXPECT_EQ(Info(1),
            "ECU Watch Table:\r\n"
            "  1: 1A2B  2  2  1\r\n"
            "  2> 12345  -2    \r\n"
            "  3:    5  1  1  3\r\n"
            "\r\n2 event records in Log" +
                kMenu);
}

TEST_F(InfoFixture, OverviewOfAnEmptyTableAndLog) {
  EXPECT_EQ(Info(1), "ECU Watch Table:\r\n\r\n-1 event records in Log" + kMenu);
}

TEST_F(InfoFixture, OverviewNeverReadsPastTheTable) {
  sources.gMaxItem = 32000;
  const std::string text = Info(1);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + kWatchTableSize + 1 + 4);
  EXPECT_NE(text.find("\r\n  200:    0"), std::string::npos);
}

TEST_F(InfoFixture, DumpToFileWritesEveryLinePlusOneEmptyAndWipesTheList) {
  trace.lstTrace() = {"0.000: a", "0.016: b", "1.000: c"};
  const std::string today = TodayMmDdYyyy();
  EXPECT_EQ(Info(2), "");
  EXPECT_TRUE(trace.lstTrace().empty());
  const std::string file = DayFile("EcuInfo-", today);
  EXPECT_TRUE(std::regex_match(
      file, std::regex(" \r\n>>> ECU TraceLog -- Dump of 4 Events... at "
                       "[0-9]{2}:[0-9]{2}:[0-9]{2} <<<\r\n \r\n"
                       "0\\.000: a\r\n0\\.016: b\r\n1\\.000: c\r\n\r\n--- end tracelog ---\r\n")))
      << file;

  // A second dump of the day appends its own block.
  trace.lstTrace() = {"d"};
  Info(2);
  const std::string both = DayFile("EcuInfo-", today);
  EXPECT_EQ(both.substr(0, file.size()), file);
  EXPECT_NE(both.find("Dump of 2 Events", file.size()), std::string::npos);
}

TEST_F(InfoFixture, DumpToFileFailureReachesTheCallerAndKeepsTheList) {
  MakeDriveCUnwritable();
  trace.lstTrace() = {"a"};
  EXPECT_THROW(Info(2), std::system_error);
  EXPECT_EQ(trace.lstTrace(), std::vector<std::string>{"a"});
}

TEST_F(InfoFixture, LastVisteonResultCodeInHex) {
  const std::pair<std::int16_t, const char*> cases[] = {
      {0x12, "12"}, {0, "0"}, {-1, "FFFF"}, {-32768, "8000"}};
  for (const auto& [code, hex] : cases) {
    sources.lastVisteonResult = code;
    EXPECT_EQ(Info(3), std::string("Last result code returned from Visteon ECU was: $") + hex);
  }
}

TEST_F(InfoFixture, SizeCountsLinesAndCharacters) {
  trace.lstTrace() = {"ab", "cde", ""};
  EXPECT_EQ(Info(4), "Total # Records in Log = 3, Size = 5 bytes");
  EXPECT_EQ(trace.lstTrace().size(), 3u);
}

TEST_F(InfoFixture, NextChunkHandsOverShortListWhole) {
  trace.lstTrace() = {"one", "two"};
  EXPECT_EQ(Info(5), "one\r\ntwo\r\n(infoTransfer time = 0 mS\r\n");
  EXPECT_TRUE(trace.lstTrace().empty());
  EXPECT_EQ(Info(5), "(infoTransfer time = 0 mS\r\n");
}

TEST_F(InfoFixture, NextChunkStopsOnceTheTextReaches60000Characters) {
  auto& list = trace.lstTrace();
  for (int i = 0; i < 100; ++i) {
    std::string line = "line " + std::to_string(i);
    line.resize(1000, '.');
    list.push_back(line);
  }
  // 59 lines with their line breaks make 59118 characters, the 60th passes 60000.
  std::string first = Info(5);
  EXPECT_EQ(first.rfind("line 0", 0), 0u);
  EXPECT_EQ(first.size(), 60u * 1002 + std::string("(infoTransfer time = 0 mS\r\n").size());
  EXPECT_NE(first.find("line 59."), std::string::npos);
  EXPECT_EQ(first.find("line 60."), std::string::npos);
  ASSERT_EQ(list.size(), 40u);
  EXPECT_EQ(list.front().rfind("line 60.", 0), 0u);

  const std::string second = Info(5);
  EXPECT_EQ(second.size(), 40u * 1002 + std::string("(infoTransfer time = 0 mS\r\n").size());
  EXPECT_TRUE(list.empty());
}

TEST_F(InfoFixture, OtherIndexesNameTheButton) {
  for (std::int16_t index : {0, 6, -1, 32767})
    EXPECT_EQ(Info(index), "You picked button #" + std::to_string(index));
}

}  // namespace
}  // namespace quorvan
