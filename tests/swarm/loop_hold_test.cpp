#include <gtest/gtest.h>

#include "support/ServerWorld.h"

namespace quorvan::testing {
namespace {

// A handler that waits for something that never comes, turning the loop as it waits,
// is cut off once it has held the loop past the longest bounded wait; one that returns
// in time leaves the loop as it was.
TEST(LoopHold, AHandlerThatNeverReturnsIsCutOffInVirtualTime) {
  ServerWorld world;
  bool returned = false;
  world.loop.post([&] {
    world.clock.sleepMs(60'000);
    returned = true;
  });
  world.runBoundedFor(1'000);
  EXPECT_TRUE(returned);

  world.loop.post([&] {
    for (;;) {
      world.loop.DoEvents();
      world.clock.sleepMs(1'000);
    }
  });
  const std::uint64_t fromUs = world.clock.nowUs();
  EXPECT_THROW(world.runBoundedFor(1'000), ServerWorld::LoopHeld);
  EXPECT_LE(world.clock.nowUs() - fromUs, 1'000'000 + ServerWorld::kLongestHoldUs + 1'000'000);
}

}  // namespace
}  // namespace quorvan::testing
