#include <gtest/gtest.h>

#include <algorithm>

#include "client/Enums.h"
#include "host/cli/DemoView.h"
#include "host/common/DemoChannels.h"

namespace quorvan::host {
namespace {

TEST(DemoView, FaultListsBecomeCodesForPeople) {
  const std::pair<const char*, const char*> cases[] = {
      {"0123/0133/", "0123 0133"},
      {"C012305/H022105/", "C012305 H022105"},
      {"0123", "0123"},
      {"", "none"},
      {"//", "none"},
      {"01\x01/", "01\\x01"},
  };
  for (const auto& [server, shown] : cases) EXPECT_EQ(FaultCodesText(server), shown) << server;
}

TEST(DemoView, TheScreenShowsLinkValuesAndFaults) {
  const auto channels = DemoChannels();
  DemoScreen screen;
  EXPECT_EQ(DemoScreenLines(screen).front(), "Link: (no status yet)");
  screen.status = ecuCommOK;
  screen.readings = {{&channels[0], 6896, 12}, {&channels[2], std::nullopt, 0}};
  EXPECT_EQ(DemoScreenLines(screen), (std::vector<std::string>{
                                         "Link: ecuCommOK",
                                         "Value                       Reading     Raw  Updates",
                                         "Engine speed               1724 rpm    6896       12",
                                         "Coolant temperature               -       -        0",
                                         "Fault codes: (not read yet)",
                                     }));
  screen.faults = "";
  screen.faultReads = 1;
  EXPECT_EQ(DemoScreenLines(screen).back(), "Fault codes: none  (read once)");
  screen.faults = "0123/";
  screen.faultReads = 3;
  EXPECT_EQ(DemoScreenLines(screen).back(), "Fault codes: 0123  (read 3 times)");
}

// Over a long run every value stays inside what its reading can say, so the view never
// shows a value held at a limit.
TEST(DemoChannels, ValuesDriftWithinTheirReadingsAndReadBack) {
  for (const DemoChannel& c : DemoChannels()) {
    SCOPED_TRACE(c.name);
    const double most = (c.size == 1 ? 255 : 65535) * c.scale + c.offset;
    for (double s = 0; s < 3600; s += 0.7) {
      const double value = c.course(s);
      ASSERT_GE(value, c.offset);
      ASSERT_LE(value, most);
      EXPECT_NEAR(PhysicalValue(c, RawReading(c, value)), value, c.scale / 2 + 1e-9);
    }
  }
  const DemoChannel& speed = DemoChannels()[0];
  EXPECT_EQ(RawReading(speed, -50), 0u);  // held to what the reading can say
  EXPECT_EQ(RawReading(speed, 1e9), 0xFFFFu);
  EXPECT_EQ(FormatPhysical(speed, 6896), "1724 rpm");
}

TEST(DemoChannels, EachFamilyFindsEveryValueInItsOwnPlace) {
  const auto channels = DemoChannels();
  for (std::size_t i = 0; i < channels.size(); ++i) {
    EXPECT_EQ(WatchAddress(channels[i], ecuVisteon), 0x0100 + channels[i].pid);
    EXPECT_EQ(WatchAddress(channels[i], ecuMSE10), channels[i].address);
    // Visteon answers a PID with two bytes for engine speed only.
    EXPECT_EQ(channels[i].size, channels[i].pid == 0x0C ? 2 : 1) << channels[i].name;
    for (std::size_t k = i + 1; k < channels.size(); ++k) {
      EXPECT_NE(channels[i].pid, channels[k].pid);
      const bool apart = channels[i].address + channels[i].size <= channels[k].address ||
                         channels[k].address + channels[k].size <= channels[i].address;
      EXPECT_TRUE(apart) << channels[i].name << " and " << channels[k].name;
    }
  }
}

}  // namespace
}  // namespace quorvan::host
