#include "mbe/MbePath.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

// MBE modules are not served yet: say so, and let the watchdog retry the
// initialisation as it does for a silent controller.
void StartupMBE(frmCommThread& f) {
  f.LogIt("-- MBE modules are not served by this build");
  f.tmrWatchDog.setEnabled(true);
}

void MBERequestLoop(frmCommThread& /*f*/) {}

}  // namespace quorvan
