#include <gtest/gtest.h>

#include "support/ServerFixture.h"

namespace quorvan::testing {
namespace {

class Status : public ServerFixture {
 protected:
  void SetUp() override {
    start();
    ecu.setDebugMode(true);
  }
  int linesContaining(const std::string& text) {
    int n = 0;
    for (const auto& l : form().trace.lstTrace()) n += l.find(text) != std::string::npos;
    return n;
  }
};

TEST_F(Status, RepeatsOfCommOkNoCommAndNoSerialCableAreSwallowedOthersPassed) {
  const struct {
    std::int32_t status;
    int events;
    const char* line;
  } cases[] = {
      {ecuCommOK, 1, "** Notify Client, status -> 7 = ecuCommOK"},
      {ecuNoComm, 1, "** Notify Client, status -> 4 = ecuNoComm"},
      {ecuNoCableOrPower, 2, "** Notify Client, status -> 3 = ecuNoCableOrPower"},
      {ecuInitializing, 2, "** Notify Client, status -> 6 = ecuInitializing"},
      {ecuWrongCable, 2, "** Notify Client, status -> 11 = Unknown"},
      {ecuNoSerialCable, 1, "** Notify Client, status -> 12 = ecuNoSerialCable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    events.statuses.clear();
    form().lastEcuStatus = ecuReady;
    form().StatusNotify(c.status);
    form().StatusNotify(c.status);
    EXPECT_EQ(events.statuses.size(), static_cast<std::size_t>(c.events));
    EXPECT_EQ(linesContaining(c.line), c.events);
    form().trace.lstTrace().clear();
  }
}

TEST_F(Status, ConnectionTestWithThePortClosedSendsNothing) {
  EXPECT_FALSE(form().ConnectionIsBad());
  EXPECT_EQ(linesContaining("cable-detect"), 0);
}

TEST_F(Status, WatchdogReinitialisesOnlyAfterNinetyPercentOfItsPeriod) {
  const struct {
    std::uint32_t gap;
    bool activity;
    bool reinit;
  } cases[] = {{1900, false, true}, {1800, false, true}, {1700, false, false}, {5000, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gap);
    form().trace.lstTrace().clear();
    form().tmrWatchDog.setInterval(2000);
    form().gWatchTimer = ms() - c.gap;
    form().activity = c.activity;
    form().tmrWatchDog_Timer();
    EXPECT_EQ(linesContaining("Lighting off Do5Baud in WatchDog_Timer, FlashMode is 0"),
              c.reinit ? 1 : 0);
    EXPECT_EQ(linesContaining("Opening comm port..."), c.reinit ? 1 : 0);
    EXPECT_EQ(form().gWatchTimer, ms());
    EXPECT_FALSE(form().activity);
    const bool spurious = !c.reinit && !c.activity;
    const std::string ringLine = "*** WatchDog Timer spuriously triggered at " +
                                 std::to_string(c.gap) + " < interval of 2000";
    const int last = form().trace.ringIndex();
    const bool logged = last > 0 && form().trace.ringSlot(last).find(ringLine) != std::string::npos;
    EXPECT_EQ(logged, spurious);
  }
}

TEST_F(Status, WatchdogTraceLineAndFlashGuard) {
  form().tmrWatchDog.setInterval(2000);
  form().bActive = true;
  ecu.ecuFlashMode = flashBusy;
  form().gWatchTimer = ms() - 5000;
  form().tmrWatchDog_Timer();
  const std::string expected = "!! 2000 mS WatchDog timer fired @" + std::to_string(ms()) +
                               ": activity=False; bActive=True; smpTmrEnab=False";
  EXPECT_EQ(linesContaining(expected), 1);
  EXPECT_FALSE(form().bActive);
  EXPECT_EQ(linesContaining("Lighting off"), 0);  // a reflash is never re-initialised
  EXPECT_EQ(form().gWatchTimer, ms() - 5000);     // and its time base is left alone
}

TEST_F(Status, WatchdogDoesNothingWhileTheTraceIsOnScreen) {
  form().haveShutDown = true;
  form().tmrWatchDog_Timer();
  EXPECT_EQ(linesContaining("WatchDog"), 0);
}

TEST_F(Status, RestartButtonWipesTheRingAndReinitialises) {
  form().LogToRing("old");
  form().Visible = true;
  form().cmdRestart_Click();
  EXPECT_FALSE(form().Visible);
  EXPECT_EQ(linesContaining("Lighting off Do5Baud in cmdRestart_Click, FlashMode is 0"), 1);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  for (int i = 1; i <= form().trace.ringIndex(); ++i) {
    EXPECT_EQ(form().trace.ringSlot(i).find("old"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorvan::testing
