#include "client/WatchTable.h"

namespace quorvan {

WatchCursor NextWatchItem(WatchCursor c, std::int16_t maxItem) {
  if (maxItem <= 0) return WatchCursor{0, 0, true};
  ++c.curItem;
  if (c.curItem <= maxItem) return c;
  // The scan wrapped: a pass in which nothing ran gives one idle turn.
  c.pollCycle = static_cast<std::int16_t>((c.pollCycle + 1) % 1000);
  c.curItem = c.passWasIdle ? 0 : 1;
  c.passWasIdle = true;
  return c;
}

}  // namespace quorvan
