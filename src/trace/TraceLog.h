#pragma once
// The trace: an on-screen list of time-stamped lines (lstTrace) and a ring of the last
// 1000 event lines that is written to the day's trace-back file when the link is lost
// or an error is reported. Nothing is traced while the form's debug switch is off.
#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Alerts.h"
#include "platform/Clock.h"
#include "platform/DriveC.h"
#include "platform/MessageLoop.h"

namespace quorvan {

// What the trace needs from the comm form it belongs to.
struct TraceHooks {
  const bool* mbDebugMode = nullptr;     // the form's trace switch
  const bool* gDebugMode = nullptr;      // the process-wide switch for debug alerts
  Timer* tmrWatchDog = nullptr;          // paused while a trace-back is written
  std::uint32_t* gWatchTimer = nullptr;  // reset after the dump
  bool* haveShutDown = nullptr;          // set when the ring is put on screen
  std::function<void()> showForm;        // makes the comm form visible (may be empty)
};

// Run-time error number and description of a failure, as failure reports show them.
struct ErrInfo {
  std::int32_t number = 0;
  std::string description;
};
ErrInfo ErrFromException(const std::exception& e);

// A failure with its own error number (what the original's run-time errors carry).
class RunTimeError : public std::runtime_error {
 public:
  RunTimeError(std::int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  std::int32_t number() const { return number_; }

 private:
  std::int32_t number_;
};

class TraceLog {
 public:
  static constexpr int kRingSize = 1000;
  static constexpr int kDumpLines = 900;
  static constexpr std::size_t kListLimit = 32700;

  TraceLog(Clock& clock, Alerts& alerts, const DriveC& driveC, TraceHooks hooks);

  void LogIt(const std::string& message);      // LogToList then LogToRing
  void LogToList(const std::string& message);  // one time-stamped line on screen
  void LogToRing(const std::string& message);  // one entry in the event ring
  void DumpTraceBack();                        // ring to the day's file, then wipe
  // Whether DumpTraceBack would write anything now, what it would write, and the name of
  // the file in drive C it would write to.
  bool HasTraceBack() const { return debugOn() && ringIndex_ != 0; }
  std::string TraceBackText() const;
  static std::string TraceBackFileName();
  // Counts the changes of the ring, so that a copy of it can tell when it is out of date.
  std::uint64_t ringChanges() const { return ringChanges_; }
  void ReportError(const std::string& message, int buttons, const std::string& title);
  void ShowTraceBack();  // ring back onto the on-screen list
  void ClearRing();      // empties every slot (restart button)

  // The debug error alert: acts only while the process-wide debug switch is on.
  void DebugAlert(int code, const ErrInfo& err);
  // The failure report that ends a procedure that guards itself: DebugAlert(code) when
  // code > 0, then ReportError("Blew up in " & name & ...), plus the extra lines given.
  void ReportFailure(const std::string& procName, int alertCode, const ErrInfo& err,
                     const std::vector<std::string>& extraLines = {});

  // State readable by the rest of the form.
  std::vector<std::string>& lstTrace() { return list_; }
  const std::vector<std::string>& lstTrace() const { return list_; }
  int ringIndex() const { return ringIndex_; }
  const std::string& ringSlot(int slot) const { return ring_[static_cast<std::size_t>(slot - 1)]; }
  std::uint32_t gElapsed() const { return gElapsed_; }
  std::uint32_t deltaN = 0;  // diagnostic value written by the smart-cable test

  // Test hook: runs before each line is added to lstTrace; a throw from it stands for a
  // failing list.
  std::function<void()> onListAdd;

 private:
  bool debugOn() const { return hooks_.mbDebugMode && *hooks_.mbDebugMode; }
  std::vector<std::string> ringInOrder() const;
  void reportListFailure(const ErrInfo& err);
  void reportFileFailure(const std::string& fileName, const std::error_code& ec);

  Clock& clock_;
  Alerts& alerts_;
  const DriveC& driveC_;
  TraceHooks hooks_;
  std::vector<std::string> list_;
  std::array<std::string, kRingSize> ring_{};
  int ringIndex_ = 0;
  std::uint64_t ringChanges_ = 0;
  std::uint32_t lastEventTime_ = 0;
  std::uint32_t currentTime_ = 0;
  std::uint32_t gElapsed_ = 0;
  std::uint32_t lastListTime_ = 0;
  int listFailureDepth_ = 0;
  bool fileFailureTold_ = false;  // until a dump reaches the file again
};

}  // namespace quorvan
