#include <gtest/gtest.h>

#include "serial/Waits.h"

namespace quorvan {
namespace {

struct WaitsFixture : ::testing::Test {
  VirtualClock clock;
  MessageLoop loop{clock};
  Waits waits{loop};
  int dispatched = 0;
  // Counts the dispatches of the loop: a posted task re-posts itself once per DoEvents.
  void countDispatches() {
    loop.post([this] {
      ++dispatched;
      countDispatches();
    });
  }
  std::uint32_t elapsedOf(const std::function<void()>& wait) {
    const std::uint32_t t0 = clock.timeGetTime();
    wait();
    return clock.timeGetTime() - t0;
  }
};

TEST_F(WaitsFixture, YieldingWaitsRunTheLoopAndEndAfterTheirTime) {
  countDispatches();
  const struct {
    std::int32_t ms;
    std::uint32_t atLeast;
    std::uint32_t atMost;
    bool yields;
  } cases[] = {{0, 0, 0, false}, {-5, 0, 0, false}, {1, 2, 5, true}, {50, 50, 55, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    dispatched = 0;
    const std::uint32_t took = elapsedOf([&] { waits.WaitFor(c.ms); });
    EXPECT_GE(took, c.atLeast);
    EXPECT_LE(took, c.atMost);
    EXPECT_EQ(dispatched > 0, c.yields);
  }
}

TEST_F(WaitsFixture, WaitForOkEndsAsSoonAsOkIsThere) {
  std::string buf = "xxOKxx";
  countDispatches();
  EXPECT_EQ(elapsedOf([&] { waits.WaitForOK(5000, buf); }), 0u);
  EXPECT_EQ(dispatched, 0);  // already there: no yield at all
  buf = "ok";
  clock.schedule(clock.nowUs() + 30'000, [&] { buf += "OK"; });
  const std::uint32_t took = elapsedOf([&] { waits.WaitForOK(500, buf); });
  EXPECT_GE(took, 30u);
  EXPECT_LE(took, 35u);
}

TEST_F(WaitsFixture, BlockingAndSpinningWaitsDispatchNothing) {
  countDispatches();
  EXPECT_EQ(elapsedOf([&] { waits.SleepMs(1); }), 2u);  // a 1 ms sleep is lengthened to 2
  EXPECT_EQ(elapsedOf([&] { waits.SleepMs(0); }), 0u);
  EXPECT_EQ(elapsedOf([&] { waits.SpinMs(3); }), 3u);
  EXPECT_EQ(dispatched, 0);
  EXPECT_EQ(elapsedOf([&] { waits.SpinMsYield(3); }), 3u);
  EXPECT_GT(dispatched, 0);
}

TEST_F(WaitsFixture, WaitsSurviveTheWrapOfTheMillisecondClock) {
  clock.setTimeGetTimeOffset(0xFFFFFFFFu - static_cast<std::uint32_t>(clock.nowUs() / 1000) - 5);
  const std::uint64_t t0 = clock.nowUs();
  waits.WaitFor(20);
  EXPECT_GE(clock.nowUs() - t0, 20'000u);
  EXPECT_LE(clock.nowUs() - t0, 25'000u);
}

TEST_F(WaitsFixture, DeltaTimeMeasuresFromTheLastMark) {
  waits.readFrequency();
  waits.GetDeltaTime();
  clock.sleepUs(12'345);
  EXPECT_DOUBLE_EQ(waits.GetDeltaTime(), 12.345);
  clock.sleepUs(1000);
  waits.markNow();  // a byte was sent
  clock.sleepUs(250);
  EXPECT_DOUBLE_EQ(waits.GetDeltaTime(), 0.25);
}

}  // namespace
}  // namespace quorvan
