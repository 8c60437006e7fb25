// The simulated world's time on the real-time loop: events that run late still see their
// own instants, in order.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "sim/PtyScheduler.h"

namespace quorvan::sim::testing {
namespace {

class PtySchedulerTest : public ::testing::Test {
 protected:
  RealClock clock;
  MessageLoop loop{clock};
};

TEST_F(PtySchedulerTest, LateEventsSeeTheirOwnInstantsInOrder) {
  PtyScheduler world(loop);
  // Ahead of the time it takes to schedule them all, behind the time they run at.
  const std::uint64_t t0 = world.nowUs() + 20'000;
  std::vector<std::uint64_t> seen;
  auto note = [&] { seen.push_back(world.nowUs() - t0); };
  world.schedule(t0 + 300, [&] {
    note();
    world.schedule(world.nowUs() + 50, note);  // due at once, still at its own instant
  });
  world.schedule(t0 + 200, note);
  world.schedule(t0 + 100, [&] {
    note();
    world.schedule(t0 + 10, note);  // in the past: runs now, not back in time
  });
  clock.sleepMs(30);  // all of them are late now
  loop.runUntil([&] { return seen.size() == 5; }, 10'000);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{100, 100, 200, 300, 350}));
  EXPECT_GE(world.nowUs(), t0 + 10'000);  // outside events: the loop's time
}

TEST_F(PtySchedulerTest, CancelledAndLeftOverEventsNeverRun) {
  int ran = 0;
  {
    PtyScheduler world(loop);
    const auto cancelled = world.schedule(world.nowUs(), [&] { ++ran; });
    world.cancel(cancelled);
    world.schedule(world.nowUs(), [&] { ++ran; });  // pending when the world goes
  }
  loop.runFor(5);
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace quorvan::sim::testing
