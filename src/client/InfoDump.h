#pragma once
// The diagnostic texts behind the client's GetInfo: the watch-table overview and the
// ways to take the on-screen trace list out of the server.
#include <cstdint>
#include <string>

#include "client/WatchTable.h"
#include "trace/TraceLog.h"

namespace quorvan {

struct InfoSources {
  const WatchTableArray& table;
  std::int16_t gMaxItem = 0;
  std::int16_t gCurItem = 0;
  std::int16_t lastVisteonResult = 0;  // last result code of the Visteon controller
};

// Index 1 overview, 2 list to file, 3 last Visteon code, 4 list size, 5 next chunk,
// anything else "You picked button #" & index. File errors propagate to the caller.
std::string InfoDump(std::int16_t index, TraceLog& trace, Clock& clock, const DriveC& driveC,
                     const InfoSources& sources);

// The choices that take lines out of the on-screen list (2 and 5); the others only read.
bool InfoDumpTakesLines(std::int16_t index);

}  // namespace quorvan
