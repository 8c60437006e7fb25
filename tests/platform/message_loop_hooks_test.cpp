#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace quorvan {
namespace {

struct HookFixture : ::testing::Test {
  VirtualClock clock;
  MessageLoop loop{clock};
};

// A source that holds work of its own, out of sight of poll() (as a bus connection that
// has read ahead): its hook must get the work posted before the loop idles.
TEST_F(HookFixture, WorkHeldBySourcePostedFromHookRunsWithoutIdling) {
  int held = 3;
  int done = 0;
  loop.addPrepareHook([&] {
    if (held > 0) {
      --held;
      loop.post([&] { ++done; });
    }
  });
  const std::uint32_t t0 = clock.timeGetTime();
  EXPECT_TRUE(loop.runUntil([&] { return done == 3; }, 1000));
  EXPECT_EQ(clock.timeGetTime() - t0, 0u);  // never idled while work was held
}

TEST_F(HookFixture, HooksRunInsideYieldingWaitsAndMayRemoveThemselves) {
  std::vector<std::string> seen;
  MessageLoop::HookId once = 0;
  once = loop.addPrepareHook([&] {
    seen.push_back("once");
    loop.removePrepareHook(once);
  });
  loop.addPrepareHook([&] { seen.push_back("every"); });
  loop.post([&] {
    // a yielding wait inside a task
    loop.DoEvents();
    loop.DoEvents();
  });
  loop.DoEvents();
  EXPECT_EQ(seen, (std::vector<std::string>{"once", "every", "every", "every"}));
}

TEST_F(HookFixture, ChangedWatchEventsTakeEffectAtTheNextLook) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  int calls = 0;
  const auto id = loop.watchFd(fds[0], 0, [&](short revents) {
    EXPECT_TRUE(revents & POLLIN);
    ++calls;
  });
  loop.DoEvents();
  EXPECT_EQ(calls, 0);  // not asked for POLLIN yet
  loop.setWatchEvents(id, POLLIN);
  loop.DoEvents();
  EXPECT_EQ(calls, 1);
  loop.unwatchFd(id);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace quorvan
