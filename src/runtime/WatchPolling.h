#pragma once
// What the request loops share when they poll the watch table.
#include <cstdint>
#include <optional>

#include "client/WatchTable.h"

namespace quorvan {

class frmCommThread;

// The next due watch item, as it stands when taken, to be run now: the pass is no
// longer idle and the pause before an item has passed (the wait yields). Nothing when
// the pass had no item due (an idle turn).
std::optional<WatchItem> NextItemToRun(frmCommThread& f, std::int32_t pauseMs);

}  // namespace quorvan
