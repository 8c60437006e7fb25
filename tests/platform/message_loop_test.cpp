#include <gtest/gtest.h>

#include <vector>

#include "platform/MessageLoop.h"

namespace quorvan {
namespace {

struct LoopFixture : ::testing::Test {
  VirtualClock clock;
  MessageLoop loop{clock};
  std::uint32_t ms() { return clock.timeGetTime(); }
};

TEST_F(LoopFixture, TimerTicksAtItsIntervalAndRestartsWhenReEnabled) {
  std::vector<std::uint32_t> ticks;
  const std::uint32_t t0 = ms();
  Timer t(
      loop, [&] { ticks.push_back(ms() - t0); }, 200);
  t.setEnabled(true);
  loop.runFor(650);
  EXPECT_EQ(ticks, (std::vector<std::uint32_t>{200, 400, 600}));
  // Re-enabling restarts the period from now.
  t.setEnabled(true);
  loop.runFor(250);
  EXPECT_EQ(ticks.back(), 850u);
}

TEST_F(LoopFixture, TimerNeverReentersItsOwnHandlerAndSkipsTicksDueMeanwhile) {
  int depth = 0, maxDepth = 0, count = 0;
  std::vector<std::uint32_t> starts;
  const std::uint32_t t0 = ms();
  Timer t(
      loop, [&] {}, 100);
  t.setHandler([&] {
    ++count;
    starts.push_back(ms() - t0);
    maxDepth = std::max(maxDepth, ++depth);
    // A yielding wait of 250 ms inside the handler: two ticks come due meanwhile.
    const std::uint32_t s = ms();
    while (ms() - s < 250) {
      loop.DoEvents();
      clock.sleepMs(5);
    }
    --depth;
  });
  t.setEnabled(true);
  loop.runFor(520);
  EXPECT_EQ(maxDepth, 1);
  ASSERT_GE(starts.size(), 2u);
  EXPECT_EQ(starts[0], 100u);
  EXPECT_EQ(starts[1], 400u);  // the ticks at 200 and 300 were skipped
}

TEST_F(LoopFixture, OtherTimersAndTasksRunInsideAYieldingWait) {
  std::vector<std::string> order;
  Timer slow(
      loop,
      [&] {
        order.push_back("slow-begin");
        const std::uint32_t s = ms();
        while (ms() - s < 100) {
          loop.DoEvents();
          clock.sleepMs(5);
        }
        order.push_back("slow-end");
      },
      50);
  Timer fast(
      loop,
      [&] {
        order.push_back("fast");
        fast.setEnabled(false);
      },
      80);
  slow.setEnabled(true);
  fast.setEnabled(true);
  loop.post([&] { order.push_back("task"); });
  loop.runFor(120);
  EXPECT_EQ(order, (std::vector<std::string>{"task", "slow-begin", "fast", "slow-end"}));
}

TEST_F(LoopFixture, DoEventsRunsOnlyWhatIsQueuedNow) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.post(again);
  };
  loop.post(again);
  loop.DoEvents();
  EXPECT_EQ(runs, 1);
}

TEST_F(LoopFixture, SimulatedEventsRunAtTheirInstantsWhileTimeMoves) {
  std::vector<std::uint64_t> at;
  clock.schedule(clock.nowUs() + 3000, [&] { at.push_back(clock.nowUs()); });
  clock.schedule(clock.nowUs() + 1000, [&] { at.push_back(clock.nowUs()); });
  const std::uint64_t t0 = clock.nowUs();
  clock.sleepMs(5);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_EQ(at[0] - t0, 1000u);
  EXPECT_EQ(at[1] - t0, 3000u);
  EXPECT_EQ(clock.nowUs() - t0, 5000u);
}

TEST_F(LoopFixture, MillisecondClockWrapsAndElapsedStaysRight) {
  clock.setTimeGetTimeOffset(0xFFFFFFFFu - static_cast<std::uint32_t>(clock.nowUs() / 1000) - 10);
  const std::uint32_t before = ms();
  clock.sleepMs(30);
  const std::uint32_t after = ms();
  EXPECT_LT(after, before);  // wrapped
  EXPECT_EQ(ElapsedMs(after, before), 30u);
}

TEST_F(LoopFixture, DelayedTasksRunFromTheLoop) {
  bool ran = false;
  loop.schedule(loop.nowUs() + 7000, [&] { ran = true; });
  EXPECT_TRUE(loop.runUntil([&] { return ran; }, 100));
  EXPECT_GE(clock.nowUs(), 1'000'000u + 7000);
}

}  // namespace
}  // namespace quorvan
