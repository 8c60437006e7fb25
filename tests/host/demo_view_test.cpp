#include <gtest/gtest.h>

#include <algorithm>

#include "catalog/Catalog.h"
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
  DemoScreen screen;
  EXPECT_EQ(DemoScreenLines(screen).front(), "Link: (no status yet)");
  screen.status = ecuCommOK;
  screen.readings = {{catalog::FindItem(ecuVisteon, "rpm"), 6896, 12},
                     {catalog::FindItem(ecuVisteon, "coolant"), std::nullopt, 0}};
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

// Over a long run every drifting value stays inside what its reading can say, so the
// view never shows a value held at a limit.
TEST(DemoChannels, ValuesDriftWithinTheirReadingsAndReadBack) {
  for (const std::int32_t device : {ecuVisteon, ecuMSE10, ecuMBE, ecuFicht}) {
    const auto channels = DemoChannels(device);
    ASSERT_EQ(channels.size(), 4u) << device;  // every family the demo simulates has them all
    for (const DemoChannel& c : channels) {
      SCOPED_TRACE(c.item->name);
      const double most = (c.item->size == 1 ? 255 : 65535) * c.item->scale + c.item->offset;
      for (double s = 0; s < 3600; s += 0.7) {
        const double value = c.course(s);
        ASSERT_GE(value, c.item->offset);
        ASSERT_LE(value, most);
        EXPECT_NEAR(catalog::ValueInUnits(*c.item, catalog::RawOf(*c.item, value)), value,
                    c.item->scale / 2 + 1e-9);
      }
    }
  }
}

// The simulator holds every reading of its family's catalog, at a value a running
// engine has, so that watching any of them by name shows a sensible number.
TEST(DemoChannels, TheSimulatorHoldsEveryCatalogReading) {
  for (const std::int32_t device : {ecuVisteon, ecuMSE10, ecuMBE, ecuFicht}) {
    const auto readings = SimulatedReadings(device, 30);
    std::size_t values = 0;
    for (const catalog::CatalogItem& item : catalog::ItemsOf(device)) {
      if (item.kind != ecuFaults) ++values;
    }
    EXPECT_EQ(readings.size(), values) << device;
    for (const CatalogReading& r : readings) {
      const double value = catalog::ValueInUnits(*r.item, r.raw);
      EXPECT_NEAR(value, r.item->typical, 700) << r.item->name;  // engine speed drifts most
    }
  }
  const auto visteon = SimulatedReadings(ecuVisteon, 0);
  const auto coolant = std::find_if(visteon.begin(), visteon.end(), [](const CatalogReading& r) {
    return std::string_view(r.item->name) == "coolant";
  });
  ASSERT_NE(coolant, visteon.end());
  EXPECT_EQ(coolant->raw, 60u);  // 20 °C: a cold start
}

}  // namespace
}  // namespace quorvan::host
