#include "client/clsBoschECU.h"
#include "ficht/FichtPath.h"
#include "mbe/MbePath.h"
#include "requests/RequestLoop.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

// One unit of work per tick for the family in ecuDevice.
void frmCommThread::tmrSampleRate_Timer() {
  // Ficht and MBE run free-running loops of their own that pace themselves.
  if (ecuDevice == ecuFicht) {
    tmrSampleRate.setEnabled(false);
    FichtRequestLoop(*this);
    return;
  }
  if (ecuDevice == ecuMBE) {
    tmrSampleRate.setEnabled(false);
    MBERequestLoop(*this);
    return;
  }
  const std::int32_t mode = flashMode();
  LogToList("!! sampleTimer fired - triggered next request; commandRequest =" +
            std::to_string(commandRequested) + ", flashMode=" + std::to_string(mode));
  if (ecuDevice == ecuMSE11) return;  // the KWP2000 request machine comes with its path
  if (!commSerial.PortOpen()) {
    LogIt("** doing VisteonRequest with port closed! **");
    trace.DumpTraceBack();
    return;
  }
  NextVisteonRequest(*this);
}

}  // namespace quorvan
