#pragma once
// The table of watched data items: 200 records, item numbers 1..200.
#include <array>
#include <cstddef>
#include <cstdint>

namespace quorvan {

// Kind of a watch-table item (published values).
enum ecuKind : std::int32_t {
  ecuFaults = 0,
  ecuFlags = 1,
  ecuData = 2,
  ecuClear = 3,
  ecuIdle = 4,
};

struct WatchItem {
  std::int32_t address = 0;
  std::int16_t size = 0;
  std::int16_t priority = 0;
  std::int32_t kind = ecuFaults;
};

inline constexpr int kWatchTableSize = 200;

// Index 0 is unused so that item numbers index the table directly.
using WatchTableArray = std::array<WatchItem, kWatchTableSize + 1>;

// Where the watch-item scheduler stands: the current item (0: none), the pass number
// (0..999) and whether the pass so far has run nothing. Whoever runs an item clears
// passWasIdle.
struct WatchCursor {
  std::int16_t curItem = 0;
  std::int16_t pollCycle = 0;
  bool passWasIdle = true;

  bool operator==(const WatchCursor&) const = default;
};

// One step: the next item number up to maxItem; at the end of a pass the next pass
// starts at item 1, or at 0 (an idle turn) when the pass ran nothing.
WatchCursor NextWatchItem(WatchCursor cursor, std::int16_t maxItem);

// An item runs in the passes whose number its priority divides; priority 0 never runs.
constexpr bool ItemDue(const WatchItem& item, std::int16_t pollCycle) {
  return item.priority != 0 && pollCycle % item.priority == 0;
}

// Steps on to the next item that is due and that accept(itemNum, item) takes, or to an
// idle turn (curItem 0). Ends within two passes.
template <typename Accept>
WatchCursor NextDueItem(const WatchTableArray& table, std::int16_t maxItem, WatchCursor cursor,
                        Accept accept) {
  for (;;) {
    cursor = NextWatchItem(cursor, maxItem);
    if (cursor.curItem == 0) return cursor;
    const WatchItem& item = table[static_cast<std::size_t>(cursor.curItem)];
    if (ItemDue(item, cursor.pollCycle) && accept(cursor.curItem, item)) return cursor;
  }
}

}  // namespace quorvan
