#pragma once
// A whole server on the virtual clock, with the events a client would receive recorded.
#include <gtest/gtest.h>

#include "support/EventRecorder.h"
#include "support/ServerWorld.h"

namespace quorvan::testing {

class ServerFixture : public ::testing::Test, public ServerWorld {
 protected:
  ServerFixture() { ecu.addSink(&events); }

  EventRecorder events;
};

}  // namespace quorvan::testing
