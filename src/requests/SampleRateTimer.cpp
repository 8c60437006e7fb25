#include "client/clsBoschECU.h"
#include "requests/RequestLoop.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

// One unit of work per tick for the family in ecuDevice.
void frmCommThread::tmrSampleRate_Timer() {
  if (ecuDevice == ecuFicht || ecuDevice == ecuMBE) {
    // These families run free-running loops of their own, started with their paths.
    tmrSampleRate.setEnabled(false);
    return;
  }
  const std::int32_t mode = objBoschECU ? objBoschECU->ecuFlashMode : flashIdle;
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
