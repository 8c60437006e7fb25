#pragma once
// A whole server on the virtual clock with the simulated world behind its ports, and the
// events a client would receive recorded.
#include <gtest/gtest.h>

#include "support/EventRecorder.h"
#include "support/SimServerWorld.h"

namespace quorvan::testing {

class SimServerFixture : public ::testing::Test, public SimServerWorld {
 protected:
  SimServerFixture() { ecu.addSink(&events); }

  // The next case of a table that runs one device after another on one server: the
  // server started on the first, the device chosen, and the line's log and the statuses
  // cleared.
  void nextDevice(std::int32_t device) {
    if (!globals.frmHidden) startWith(device);
    ecu.setDevice(device);
    line().clearLog();
    events.statuses.clear();
  }

  EventRecorder events;
};

}  // namespace quorvan::testing
