#include "ficht/FichtFamily.h"

#include "ficht/FichtSession.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

FichtFamily::FichtFamily()
    : Family(FamilyInfo{.name = "Ficht",
                        .bitRate = kFichtBitRate,
                        .wakeUp = WakeUp::FreeRunning,
                        .handOver = HandOver::AfterOpen}) {
  link.family = this;
}

void FichtFamily::Load(frmCommThread& f) {
  pacer_ = std::make_unique<Timer>(
      f.platform.loop, [this, &f] { step(f); }, kFichtStepRestMs);
}

void FichtFamily::Start(frmCommThread& f) {
  StartupFicht(f, link);
}

// The free-running loop paces itself: the timer only starts it.
void FichtFamily::SampleRateTick(frmCommThread& f) {
  f.tmrSampleRate.setEnabled(false);
  if (link.loopRunning) return;
  link.loopRunning = true;
  f.LogIt("++ Entering FichtRequestLoop, runs @fullSpeed until shutDown");
  step(f);
}

void FichtFamily::step(frmCommThread& f) {
  pacer_->setEnabled(false);
  if (!FichtLoopGoesOn(f, link)) {
    leaveLoop(f);
    return;
  }
  NextFichtRequest(f, link);
  // The rest is counted from the end of this step.
  pacer_->setEnabled(true);
}

void FichtFamily::leaveLoop(frmCommThread& f) {
  link.loopRunning = false;
  f.LogIt(std::string("-- Exiting FichtRequestLoop, runStatus=") +
          BoolText(f.globals.gFichtRunning));
}

bool FichtFamily::TakeFlashWrite(frmCommThread& f, const std::string& dataBlock) {
  f.ecuFlashData = dataBlock;
  f.commandRequested = cmd::kFichtBlockWrite;
  return true;
}

}  // namespace quorvan
