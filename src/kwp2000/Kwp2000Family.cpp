#include "kwp2000/Kwp2000Family.h"

#include "kwp2000/BoschSession.h"
#include "kwp2000/IsoLink.h"
#include "runtime/frmCommThread.h"

namespace quorvan {

Kwp2000Family::Kwp2000Family()
    : Family(FamilyInfo{.name = "MSE 1.1",
                        .bitRate = kFastInitBitRate,
                        .wakeUp = WakeUp::FastInit,
                        .handOver = HandOver::AfterEchoTest,
                        .flashBlockSize = 250,
                        .flashIdent = true}) {
  link.family = this;
}

void Kwp2000Family::Load(frmCommThread& /*f*/) {
  // A step the client asks for before any init or ident still finds its requests.
  BuildKwpRequests(link);
  PresetTimingParams(link);
}

// The session itself starts on the sample-rate ticks, when the client asks for a step.
void Kwp2000Family::Start(frmCommThread& f) {
  f.tmrWatchDog.setEnabled(true);
  f.tmrSampleRate.setEnabled(true);
  f.LogIt("--Init triggered on MSE11, WatchDog(mS) was " +
          std::to_string(f.tmrWatchDog.Interval()) + " now 2sec");
  f.tmrWatchDog.setInterval(kWatchDogMs);
}

void Kwp2000Family::SampleRateTick(frmCommThread& f) {
  f.TraceSampleTick();
  NextBoschReq(f, link);
}

}  // namespace quorvan
