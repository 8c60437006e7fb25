#include <gtest/gtest.h>

#include <fstream>

#include "support/ServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

class Lifetime : public ServerFixture {};

TEST_F(Lifetime, WithoutAClientNameTheServerNeverEndsOnItsOwn) {
  start();
  EXPECT_FALSE(form().ClientIsGone());
  EXPECT_NO_THROW(form().DieIfNoClients());
}

TEST_F(Lifetime, ClientWindowOfEitherClassKeepsTheServerAlive) {
  start();
  ecu.setClientName("Diag");
  EXPECT_TRUE(form().ClientIsGone());
  windows.add(kOldClientWindowClass, "Diag");
  EXPECT_FALSE(form().ClientIsGone());
  windows.remove(kOldClientWindowClass, "Diag");
  windows.add(kClientWindowClass, "Diag");
  EXPECT_FALSE(form().ClientIsGone());
  windows.add(kClientWindowClass, "Other");
  windows.remove(kClientWindowClass, "Diag");
  EXPECT_TRUE(form().ClientIsGone());
}

TEST_F(Lifetime, AClientWithoutItsWindowEndsTheServerAtTheNextInit) {
  start();
  ecu.setDebugMode(true);
  ecu.setClientName("Nobody");
  form().LogIt("some event");
  try {
    ecu.InitComm(1);
    FAIL() << "the server did not end";
  } catch (const ProcessEnd& end) {
    EXPECT_EQ(end.exitCode, 0);
  }
  EXPECT_TRUE(form().unloaded());
  EXPECT_FALSE(form().tmrWatchDog.Enabled());
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  // The trace ring went to the day's trace-back file, ending with the shutdown line.
  const auto file = driveC.dir() / ("EcuTrace-" + TodayMmDdYyyy() + ".LOG");
  ASSERT_TRUE(std::filesystem::exists(file));
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("** Dieing Gracefully, with portStatus: False"), std::string::npos);
}

TEST_F(Lifetime, DieIfNotSetTimerDropsAClientThatNeverNamedItself) {
  start();
  ecu.setDebugMode(true);
  form().tmrDieIfNotSet.setEnabled(true);
  runFor(510);
  EXPECT_EQ(form().msClientName, "SlowAsATurtle");
  EXPECT_THROW(form().DieIfNoClients(), ProcessEnd);
}

TEST_F(Lifetime, NamingTheClientDisarmsTheDieIfNotSetTimer) {
  start();
  form().tmrDieIfNotSet.setEnabled(true);
  nameClient("Diag");
  runFor(1000);
  EXPECT_EQ(form().msClientName, "Diag");
}

TEST_F(Lifetime, ClosingThePortKeepsTheWatchdogRunningUntilTheClientGoes) {
  start();
  nameClient("Diag");
  ecu.InitComm(-1);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  EXPECT_TRUE(events.statuses == std::vector<std::int32_t>{ecuReady});  // no status sent
  runFor(4100);  // the close branch repeats at each watchdog tick
  windows.remove(kClientWindowClass, "Diag");
  EXPECT_THROW(runFor(2100), ProcessEnd);
}

}  // namespace
}  // namespace quorvan::testing
