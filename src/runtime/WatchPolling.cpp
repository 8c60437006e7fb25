#include "runtime/WatchPolling.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

std::optional<WatchItem> NextItemToRun(frmCommThread& f, std::int32_t pauseMs) {
  const std::int16_t itemNum =
      f.NextDueWatchItem([](std::int16_t, const WatchItem&) { return true; });
  if (itemNum == 0) return std::nullopt;
  const WatchItem item = f.globals.ecuWatchTable[static_cast<std::size_t>(itemNum)];
  f.passWasIdle = false;
  f.waits.WaitFor(pauseMs);
  return item;
}

}  // namespace quorvan
