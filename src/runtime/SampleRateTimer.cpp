#include "client/clsBoschECU.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

// One unit of work per tick for the family in ecuDevice.
void frmCommThread::tmrSampleRate_Timer() {
  family().SampleRateTick(*this);
}

void frmCommThread::TraceSampleTick() {
  LogToList("!! sampleTimer fired - triggered next request; commandRequest =" +
            std::to_string(commandRequested) + ", flashMode=" + std::to_string(flashMode()));
}

}  // namespace quorvan
