#pragma once
// The table of watched data items: 200 records, item numbers 1..200.
#include <array>
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

}  // namespace quorvan
