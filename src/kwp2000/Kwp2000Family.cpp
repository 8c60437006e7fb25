#include "kwp2000/Kwp2000Family.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

Kwp2000Family::Kwp2000Family()
    : Family(FamilyInfo{.name = "MSE 1.1",
                        .bitRate = 10400,
                        .wakeUp = WakeUp::FastInit,
                        .handOver = HandOver::AfterEchoTest,
                        .flashBlockSize = 250,
                        .flashIdent = true}) {}

// The session starts on the sample-rate ticks; the request machine is not served yet,
// so the default tick answers a flash request with its failure.
void Kwp2000Family::Start(frmCommThread& f) {
  f.tmrWatchDog.setEnabled(true);
  f.tmrSampleRate.setEnabled(true);
  f.LogIt("--Init triggered on MSE11, WatchDog(mS) was " +
          std::to_string(f.tmrWatchDog.Interval()) + " now 2sec");
  f.tmrWatchDog.setInterval(kWatchDogMs);
}

}  // namespace quorvan
