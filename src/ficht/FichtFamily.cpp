#include "ficht/FichtFamily.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

FichtFamily::FichtFamily()
    : Family(FamilyInfo{.name = "Ficht",
                        .bitRate = 9600,
                        .wakeUp = WakeUp::FreeRunning,
                        .handOver = HandOver::AfterOpen}) {}

// Ficht modules are not served yet.
void FichtFamily::Start(frmCommThread& f) {
  LeaveToWatchdog(f, "-- Ficht modules are not served by this build");
}

// The free-running loop paces itself: the timer only starts it.
void FichtFamily::SampleRateTick(frmCommThread& f) {
  f.tmrSampleRate.setEnabled(false);
}

bool FichtFamily::TakeFlashWrite(frmCommThread& f, const std::string& dataBlock) {
  f.ecuFlashData = dataBlock;
  f.commandRequested = cmd::kFichtBlockWrite;
  return true;
}

}  // namespace quorvan
