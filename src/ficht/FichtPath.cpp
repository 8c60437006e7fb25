#include "ficht/FichtPath.h"

#include "runtime/frmCommThread.h"

namespace quorvan {

// Ficht modules are not served yet: say so, and let the watchdog retry the
// initialisation as it does for a silent controller.
void StartupFicht(frmCommThread& f) {
  f.LogIt("-- Ficht modules are not served by this build");
  f.tmrWatchDog.setEnabled(true);
}

void FichtRequestLoop(frmCommThread& /*f*/) {}

}  // namespace quorvan
