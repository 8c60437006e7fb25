#include "client/InfoDump.h"

#include <algorithm>

#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::size_t kChunkChars = 60000;

std::string WatchLine(int item, const WatchItem& w, bool current) {
  return FormatNumber(item, "  ###") + (current ? "> " : ": ") + FormatAt(Hex(w.address), "@@@@") +
         "  " + FormatNumber(w.size, "####") + "  " + FormatNumber(w.kind, "###") + "  " +
         FormatNumber(w.priority, "###") + kCrLf;
}

std::string Overview(const TraceLog& trace, const InfoSources& sources) {
  std::string text = std::string("ECU Watch Table:") + kCrLf;
  // gMaxItem is only a count kept elsewhere: never read past the table.
  const int last = std::clamp<int>(sources.gMaxItem, 0, kWatchTableSize);
  for (int i = 1; i <= last; ++i)
    text += WatchLine(i, sources.table[static_cast<std::size_t>(i)], i == sources.gCurItem);
  const auto lines = static_cast<long long>(trace.lstTrace().size());
  text += kCrLf + std::to_string(lines - 1) + " event records in Log";
  for (const char* menu :
       {"Click 2 to dump ALL to file & wipe.", "Click 3 for last Visteon result code.",
        "Click 4 to get traceLog total Size info.", "Click 5 to grab next 60 kB chunk & wipe."}) {
    text += kCrLf;
    text += menu;
  }
  return text;
}

std::string DumpListToFile(TraceLog& trace, const DriveC& driveC) {
  auto& list = trace.lstTrace();
  std::string text = std::string(" ") + kCrLf + ">>> ECU TraceLog -- Dump of " +
                     std::to_string(list.size() + 1) + " Events... at " + TimeOfDayText() + " <<<" +
                     kCrLf + " " + kCrLf;
  for (const auto& line : list) {
    text += line;
    text += kCrLf;
  }
  // The line count itself indexes one past the end: an empty line.
  text += kCrLf;
  text += "--- end tracelog ---";
  text += kCrLf;
  // Written before the list is emptied, so a file error loses no line.
  driveC.append("EcuInfo-" + TodayMmDdYyyy() + ".LOG", text);
  list.clear();
  return {};
}

std::string ListSize(const TraceLog& trace) {
  const auto& list = trace.lstTrace();
  std::size_t size = 0;
  for (const auto& line : list) size += line.size();
  return "Total # Records in Log = " + std::to_string(list.size()) +
         ", Size = " + std::to_string(size) + " bytes";
}

std::string NextChunk(TraceLog& trace, Clock& clock) {
  const std::uint32_t t0 = clock.timeGetTime();
  auto& list = trace.lstTrace();
  std::string text;
  std::size_t taken = 0;
  while (taken < list.size() && text.size() < kChunkChars) {
    text += list[taken++];
    text += kCrLf;
  }
  list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(taken));
  text +=
      "(infoTransfer time = " + std::to_string(ElapsedMs(clock.timeGetTime(), t0)) + " mS" + kCrLf;
  return text;
}

}  // namespace

bool InfoDumpTakesLines(std::int16_t index) {
  return index == 2 || index == 5;
}

std::string InfoDump(std::int16_t index, TraceLog& trace, Clock& clock, const DriveC& driveC,
                     const InfoSources& sources) {
  switch (index) {
    case 1:
      return Overview(trace, sources);
    case 2:
      return DumpListToFile(trace, driveC);
    case 3:
      return "Last result code returned from Visteon ECU was: $" + Hex16(sources.lastVisteonResult);
    case 4:
      return ListSize(trace);
    case 5:
      return NextChunk(trace, clock);
    default:
      return "You picked button #" + std::to_string(index);
  }
}

}  // namespace quorvan
