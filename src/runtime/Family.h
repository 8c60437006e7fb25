#pragma once
// A controller family as the comm form sees it: a small descriptor and the operations the
// form's handlers call. Each family lives in a folder of its own with its private state;
// the form reaches it only through this interface and the table it is given when the
// server is put together, so that adding a family is one folder and one table row.
#include <cstdint>
#include <string>

namespace quorvan {

class frmCommThread;

// How a family wakes its controller (for the trace and the command line).
enum class WakeUp {
  None,        // nothing on the line: the family is not served
  FiveBaud,    // the address 0x10 at 5 baud on the line break
  FastInit,    // the 25 ms low / 25 ms high pattern at 10400 bit/s
  Request,     // no wake-up pattern: the first request identifies the controller
  FreeRunning  // a start-up of its own, then a loop that paces itself
};

// Where the common initialisation hands over to the family.
enum class HandOver {
  AfterOpen,        // right after the port is opened: no cable tests
  AfterCableTests,  // after the two loop-back cable tests, before the echo test
  AfterEchoTest     // after the echo test and the ecuInitializing report
};

struct FamilyInfo {
  const char* name = "";       // for traces and the command line
  std::uint32_t bitRate = 0;   // the line rate of a session
  bool setRateOnOpen = false;  // put the port on bitRate after each open and cable test
  WakeUp wakeUp = WakeUp::None;
  HandOver handOver = HandOver::AfterEchoTest;
  std::int16_t flashBlockSize = 0;  // bytes per FlashWrite block; 0: no reflash
  bool flashIdent = false;          // reads the controller's hard identification
  bool served = true;               // false for the row of device values nobody serves
};

class Family {
 public:
  explicit Family(const FamilyInfo& info) : info_(info) {}
  virtual ~Family() = default;
  Family(const Family&) = delete;
  Family& operator=(const Family&) = delete;

  const FamilyInfo& info() const { return info_; }

  // The comm form has loaded: per-form values that depend on the moment are set here.
  virtual void Load(frmCommThread& /*f*/) {}
  // The common initialisation hands over (see HandOver).
  virtual void Start(frmCommThread& f) = 0;
  // One receive event whose bytes are not discarded. By default the bytes are appended
  // to blockBuf for the family's own waits to find.
  virtual void Receive(frmCommThread& f);
  // One tick of tmrSampleRate. By default a family without a request loop refuses a
  // pending flash request (the client is never left at flashBusy) and stops the timer.
  virtual void SampleRateTick(frmCommThread& f);
  // FlashWrite from the client; true when the family took the block itself instead of
  // as a step of a reflash session.
  virtual bool TakeFlashWrite(frmCommThread& /*f*/, const std::string& /*dataBlock*/) {
    return false;
  }

 private:
  FamilyInfo info_;
};

// A family that cannot serve the controller now says why in the trace and leaves the
// retry to the watchdog, as for a silent controller.
void LeaveToWatchdog(frmCommThread& f, const std::string& why);

}  // namespace quorvan
