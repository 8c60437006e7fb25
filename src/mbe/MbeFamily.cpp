#include "mbe/MbeFamily.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

MbeFamily::MbeFamily()
    : Family(FamilyInfo{.name = "MBE",
                        .bitRate = 4800,
                        .wakeUp = WakeUp::FreeRunning,
                        .handOver = HandOver::AfterCableTests}) {}

// MBE modules are not served yet.
void MbeFamily::Start(frmCommThread& f) {
  LeaveToWatchdog(f, "-- MBE modules are not served by this build");
}

// The free-running loop paces itself: the timer only starts it.
void MbeFamily::SampleRateTick(frmCommThread& f) {
  f.tmrSampleRate.setEnabled(false);
}

}  // namespace quorvan
