#include <gtest/gtest.h>

#include <vector>

#include "client/WatchTable.h"

// The watch-item scheduler every polled family shares: which item comes next, and when
// a pass that ran nothing gives an idle turn.
namespace quorvan {
namespace {

TEST(WatchScheduler, StepsThroughThePassAndWraps) {
  const struct {
    WatchCursor from;
    std::int16_t maxItem;
    WatchCursor to;
  } rows[] = {
      {{1, 5, false}, 3, {2, 5, false}},   // the next item
      {{3, 5, false}, 3, {1, 6, true}},    // a pass ran an item: the next starts at 1
      {{3, 5, true}, 3, {0, 6, true}},     // a pass ran nothing: an idle turn
      {{0, 6, true}, 3, {1, 6, true}},     // after the idle turn
      {{3, 999, false}, 3, {1, 0, true}},  // the pass number wraps at 1000
      {{2, 7, false}, 0, {0, 0, true}},    // an empty table
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.from.curItem);
    EXPECT_EQ(NextWatchItem(row.from, row.maxItem), row.to);
  }
}

WatchTableArray tableOf(std::initializer_list<std::int16_t> priorities) {
  WatchTableArray table{};
  std::size_t n = 0;
  for (std::int16_t p : priorities) table[++n].priority = p;
  return table;
}

// The items of the first `count` turns, up to the first idle turn (0).
std::vector<std::int16_t> turns(const WatchTableArray& table, std::int16_t maxItem,
                                bool (*accept)(std::int16_t, const WatchItem&), int count = 8) {
  std::vector<std::int16_t> out;
  WatchCursor c;
  for (int i = 0; i < count; ++i) {
    c = NextDueItem(table, maxItem, c, accept);
    out.push_back(c.curItem);
    if (c.curItem == 0) break;
    c.passWasIdle = false;  // the caller ran it
  }
  return out;
}

TEST(WatchScheduler, RunsOnlyDueAndAcceptedItems) {
  const auto all = [](std::int16_t, const WatchItem&) { return true; };
  const auto notTwo = [](std::int16_t n, const WatchItem&) { return n != 2; };
  // Priority 0 never runs, priority 2 only in even passes (the first pass is pass 0).
  EXPECT_EQ(turns(tableOf({1, 0, 2}), 3, all), (std::vector<std::int16_t>{1, 3, 1, 1, 3, 1, 1, 3}));
  EXPECT_EQ(turns(tableOf({1, 1}), 2, notTwo, 3), (std::vector<std::int16_t>{1, 1, 1}));
  // Nothing due at all: an idle turn within two passes, not an endless search.
  EXPECT_EQ(turns(tableOf({0, 0, 0}), 3, all), std::vector<std::int16_t>{0});
  EXPECT_EQ(turns(tableOf({1}), 1, [](std::int16_t, const WatchItem&) { return false; }),
            std::vector<std::int16_t>{0});
}

}  // namespace
}  // namespace quorvan
