#include "trace/TraceLog.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <system_error>

#include "platform/SerialDevice.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr const char* kErrorTitle = " Error in Quorvan";
constexpr int kListFailureAlert = 12;
// Failures that carry no number of their own report as an automation error.
constexpr std::int32_t kAutomationError = 440;

// The alert's code is in its title. Alerts never pause the server: its one thread serves
// the client, the timers and the line while a person reads them.
void ShowAlert(Alerts& alerts, int code, const std::string& text) {
  alerts.messageBox(text, mb::vbQuestion, "Alert " + std::to_string(code));
}

// The watchdog must not see a long file write as a silent link: after one, its period and
// time base start again. A quick write leaves them alone; restarting them at every dump
// would keep the watchdog from ever running on a line that spoils every reply. (Nothing
// else runs on the one thread while the file is written, so the timer need not stop.)
class WatchdogPause {
 public:
  WatchdogPause(const TraceHooks& hooks, Clock& clock)
      : hooks_(hooks), clock_(clock), t0_(clock.timeGetTime()) {}
  ~WatchdogPause() {
    if (ElapsedMs(clock_.timeGetTime(), t0_) < kLongWriteMs) return;
    if (hooks_.tmrWatchDog && hooks_.tmrWatchDog->Enabled()) hooks_.tmrWatchDog->setEnabled(true);
    if (hooks_.gWatchTimer) *hooks_.gWatchTimer = clock_.timeGetTime();
  }
  WatchdogPause(const WatchdogPause&) = delete;
  WatchdogPause& operator=(const WatchdogPause&) = delete;

 private:
  static constexpr std::uint32_t kLongWriteMs = 100;
  const TraceHooks& hooks_;
  Clock& clock_;
  std::uint32_t t0_;
};

}  // namespace

ErrInfo ErrFromException(const std::exception& e) {
  if (const auto* r = dynamic_cast<const RunTimeError*>(&e)) return {r->number(), r->what()};
  if (const auto* s = dynamic_cast<const SerialError*>(&e)) return {s->number(), s->what()};
  if (const auto* s = dynamic_cast<const std::system_error*>(&e))
    return {s->code().value(), s->what()};
  // The run-time errors these stand for: out of memory, subscript out of range, overflow.
  if (dynamic_cast<const std::bad_alloc*>(&e)) return {7, e.what()};
  if (dynamic_cast<const std::out_of_range*>(&e)) return {9, e.what()};
  if (dynamic_cast<const std::overflow_error*>(&e)) return {6, e.what()};
  return {kAutomationError, e.what()};
}

TraceLog::TraceLog(Clock& clock, Alerts& alerts, const DriveC& driveC, TraceHooks hooks)
    : clock_(clock),
      alerts_(alerts),
      driveC_(driveC),
      hooks_(std::move(hooks)),
      // The first entry's gap counts from the start of the trace, not from system start.
      lastEventTime_(clock.timeGetTime()) {}

void TraceLog::LogIt(const std::string& message) {
  LogToList(message);
  LogToRing(message);
}

void TraceLog::LogToList(const std::string& message) {
  if (!debugOn()) return;
  try {
    const std::uint32_t now = clock_.timeGetTime();
    if (lastListTime_ == 0) lastListTime_ = now;
    // A full list drops the line but still moves the time reference on.
    if (list_.size() < kListLimit) {
      const double seconds = ElapsedMs(now, lastListTime_) / 1000.0;
      if (onListAdd) onListAdd();
      list_.push_back(FormatNumber(seconds, "####0.000") + ": " + message);
    }
    lastListTime_ = now;
  } catch (const std::exception& e) {
    reportListFailure(ErrFromException(e));
  }
}

void TraceLog::reportListFailure(const ErrInfo& err) {
  // The report logs through LogIt again: a list that keeps failing is reported once, and
  // the nested failure only loses its list line (the ring still gets it).
  if (listFailureDepth_ > 0) return;
  ++listFailureDepth_;
  struct Leave {
    int& depth;
    ~Leave() { --depth; }
  } leave{listFailureDepth_};
  try {
    DebugAlert(kListFailureAlert, err);
    ReportError("Blew up in LogIt" + std::string(kCrLf) + ", errNumber was " +
                    std::to_string(err.number) + kCrLf + ", errDescription was " + err.description,
                mb::vbExclamation, kErrorTitle);
  } catch (const std::exception&) {
    // Logging never fails its caller, whatever the report itself meets.
  }
}

void TraceLog::LogToRing(const std::string& message) {
  if (!debugOn()) return;
  const std::uint32_t now = clock_.timeGetTime();
  const std::uint32_t gap = ElapsedMs(now, lastEventTime_);
  currentTime_ = now;
  gElapsed_ = gap;
  ringIndex_ = ringIndex_ % kRingSize + 1;
  ++ringChanges_;
  std::string& slot = ring_[static_cast<std::size_t>(ringIndex_ - 1)];
  slot = FormatNumber(gap, "###0 mS: ");
  slot += message;
  if (gap > 99) slot += " ##";
  lastEventTime_ = now;
}

std::vector<std::string> TraceLog::ringInOrder() const {
  std::vector<std::string> lines;
  lines.reserve(kRingSize);
  const bool wrapped = ringIndex_ < kRingSize && !ringSlot(ringIndex_ + 1).empty();
  if (wrapped)
    for (int slot = ringIndex_ + 1; slot <= kRingSize; ++slot) lines.push_back(ringSlot(slot));
  for (int slot = 1; slot <= ringIndex_; ++slot) lines.push_back(ringSlot(slot));
  return lines;
}

std::string TraceLog::TraceBackFileName() {
  return "EcuTrace-" + TodayMmDdYyyy() + ".LOG";
}

void TraceLog::DumpTraceBack() {
  if (!HasTraceBack()) return;
  const WatchdogPause pause(hooks_, clock_);
  // A drive that cannot be written costs the file, not the link: the ring is kept for a
  // later dump, and the failure is told once rather than at every dump that meets it.
  const std::string fileName = TraceBackFileName();
  if (const std::error_code ec = driveC_.tryAppend(fileName, TraceBackText())) {
    reportFileFailure(fileName, ec);
    return;
  }
  fileFailureTold_ = false;
  ClearRing();
}

std::string TraceLog::TraceBackText() const {
  std::string text = ">>> Lost Comms -- Dump of " + std::to_string(kDumpLines) +
                     " Events Before Loss... at " + TimeOfDayText() + " <<< @" +
                     std::to_string(ringIndex_) + kCrLf;
  // The most recent entries, oldest first: the whole ring short of its oldest 99.
  const std::vector<std::string> lines = ringInOrder();
  const std::size_t keep = std::min<std::size_t>(lines.size(), kDumpLines + 1);
  for (auto it = lines.end() - static_cast<std::ptrdiff_t>(keep); it != lines.end(); ++it) {
    text += *it;
    text += kCrLf;
  }
  text += "--- end traceBack ---";
  text += kCrLf;
  text += kCrLf;
  return text;
}

void TraceLog::reportFileFailure(const std::string& fileName, const std::error_code& ec) {
  if (fileFailureTold_) return;
  fileFailureTold_ = true;
  // Not through ReportError, which would dump (and fail) again.
  const std::string text = "Trace-back file " + fileName + " could not be written: " + ec.message();
  alerts_.messageBox(text, mb::vbExclamation, kErrorTitle);
  LogToRing(text);
}

void TraceLog::ReportError(const std::string& message, int buttons, const std::string& title) {
  LogIt(message);
  DumpTraceBack();
  if (debugOn()) alerts_.messageBox(message, buttons, title);
}

void TraceLog::ShowTraceBack() {
  if (hooks_.tmrWatchDog) hooks_.tmrWatchDog->setEnabled(false);
  if (hooks_.haveShutDown) *hooks_.haveShutDown = true;
  if (hooks_.showForm) hooks_.showForm();
  list_ = ringInOrder();
}

void TraceLog::ClearRing() {
  for (auto& slot : ring_) slot.clear();
  ringIndex_ = 0;
  ++ringChanges_;
}

void TraceLog::DebugAlert(int code, const ErrInfo& err) {
  if (!hooks_.gDebugMode || !*hooks_.gDebugMode) return;
  const std::string text =
      "Failed with Error #" + std::to_string(err.number) + kCrLf + err.description;
  ShowAlert(alerts_, code, text);
  // Then the error number, one alert per decimal digit, least significant first; a 0
  // digit is announced as 10 so that it can be counted.
  std::int64_t rest = std::llabs(std::int64_t{err.number});
  while (rest != 0) {
    const int digit = static_cast<int>(rest % 10);
    ShowAlert(alerts_, digit == 0 ? 10 : digit, text);
    rest /= 10;
  }
}

void TraceLog::ReportFailure(const std::string& procName, int alertCode, const ErrInfo& err,
                             const std::vector<std::string>& extraLines) {
  if (alertCode > 0) DebugAlert(alertCode, err);
  std::string message = "Blew up in " + procName + kCrLf + "errNumber was " +
                        std::to_string(err.number) + kCrLf + "errDescription was " +
                        err.description;
  for (const auto& line : extraLines) {
    message += kCrLf;
    message += line;
  }
  ReportError(message, mb::vbExclamation, kErrorTitle);
}

}  // namespace quorvan
