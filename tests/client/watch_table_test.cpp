#include <gtest/gtest.h>

#include "support/ServerFixture.h"

namespace quorvan::testing {
namespace {

class WatchTable : public ServerFixture {};

TEST_F(WatchTable, ItemNumbersOutsideTheTableRaiseTheClientErrorAndChangeNothing) {
  const struct {
    std::int16_t item;
    bool ok;
  } cases[] = {{0, false}, {201, false}, {-1, false}, {1, true}, {200, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    const auto before = globals.gMaxItem;
    if (c.ok) {
      EXPECT_NO_THROW(ecu.AddItem(c.item, 0x10, 2, ecuData));
      continue;
    }
    try {
      ecu.AddItem(c.item, 0x10, 2, ecuData);
      ADD_FAILURE() << "no error";
    } catch (const WatchTableError& e) {
      EXPECT_EQ(e.number(), 0x80040001u);
      EXPECT_STREQ(e.source(), "MSE1");
      EXPECT_EQ(std::string(e.what()),
                "AddItem# outside ecuWatchTable boundary: " + std::to_string(c.item) + ".");
    }
    EXPECT_EQ(globals.gMaxItem, before);
    try {
      ecu.Watch(c.item, 1);
      ADD_FAILURE() << "no error";
    } catch (const WatchTableError& e) {
      EXPECT_EQ(std::string(e.what()),
                "WatchItem# outside ecuWatchTable boundary: " + std::to_string(c.item) + ".");
    }
    EXPECT_EQ(ecu.ecuActive, 0);
  }
}

TEST_F(WatchTable, AddItemStoresTheRecordAndRaisesTheHighestItem) {
  ecu.AddItem(5, 0x1234, 0, ecuData);
  EXPECT_EQ(globals.ecuWatchTable[5].size, 1);  // size 0 is read as 1
  EXPECT_EQ(globals.ecuWatchTable[5].address, 0x1234);
  ecu.AddItem(3, 1, 2, ecuFlags);
  ecu.AddItem(7, 1, 2, ecuFlags);
  ecu.AddItem(2, 1, 2, ecuFlags);
  EXPECT_EQ(globals.gMaxItem, 7);
  ecu.Watch(7, 3);
  ecu.AddItem(7, 9, 4, ecuData);  // resets the priority but not ecuActive
  EXPECT_EQ(globals.ecuWatchTable[7].priority, 0);
  EXPECT_EQ(ecu.ecuActive, 1);
}

TEST_F(WatchTable, WatchCountsRequestsNotItems) {
  ecu.Watch(4, 1);
  ecu.Watch(4, 0);
  EXPECT_EQ(ecu.ecuActive, 0);
  ecu.Watch(4, 0);
  EXPECT_EQ(ecu.ecuActive, -1);
  ecu.Watch(9, 2);
  ecu.Watch(9, 2);
  EXPECT_EQ(ecu.ecuActive, 1);
}

TEST_F(WatchTable, NumActiveLooksOnlyUpToTheHighestAddedItem) {
  ecu.AddItem(3, 1, 1, ecuData);
  ecu.Watch(2, 1);
  ecu.Watch(3, 1);
  ecu.Watch(10, 1);  // above gMaxItem: not counted
  EXPECT_EQ(ecu.NumActive(), 2);
  ecu.ClearItems();
  EXPECT_EQ(ecu.NumActive(), 0);
  EXPECT_EQ(globals.gMaxItem, 0);
  EXPECT_EQ(ecu.ecuActive, 0);
  EXPECT_EQ(globals.ecuWatchTable[3].kind, ecuIdle);
  EXPECT_EQ(globals.ecuWatchTable[10].priority, 1);  // beyond the cleared range
}

TEST_F(WatchTable, PacketNotifyDeliversByTheKindOfTheCurrentItem) {
  ecu.AddItem(1, 0, 1, ecuData);
  ecu.AddItem(2, 0, 1, ecuFlags);
  ecu.AddItem(3, 0, 1, ecuFaults);
  ecu.AddItem(4, 0, 1, ecuClear);
  ecu.AddItem(5, 0, 1, ecuIdle);
  const std::uint32_t stamp = ms();

  globals.gCurItem = 0;
  ecu.PacketNotify(Variant(std::int32_t{11}));
  globals.gCurItem = 1;
  ecu.PacketNotify(Variant(std::string("\x00\x80", 2)));
  globals.gCurItem = 2;
  ecu.PacketNotify(Variant(std::int32_t{0x0F0F}));
  for (std::int16_t item : {3, 4, 5}) {
    globals.gCurItem = item;
    ecu.PacketNotify(Variant(std::int32_t{1}));
  }
  ASSERT_EQ(events.data.size(), 2u);
  EXPECT_EQ(events.data[0].itemNum, 1);  // no current item: reported as item 1
  EXPECT_EQ(events.data[0].value, Variant(std::int32_t{11}));
  EXPECT_EQ(events.data[1].value, Variant(std::string("\x00\x80", 2)));
  EXPECT_EQ(static_cast<std::uint32_t>(events.data[1].timeStamp), stamp);
  ASSERT_EQ(events.flags.size(), 1u);
  EXPECT_EQ(events.flags[0].itemNum, 2);
  EXPECT_EQ(events.flags[0].rawFlags, 0x0F0F);
}

}  // namespace
}  // namespace quorvan::testing
