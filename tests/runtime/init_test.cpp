#include <gtest/gtest.h>

#include "sim/VisteonEcu.h"
#include "support/FamilyState.h"
#include "support/SimServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

class Init : public SimServerFixture {};

TEST_F(Init, CloseRequestClosesThePortAndLeavesTheWatchdogOn) {
  startWith(ecuMSE11);
  ecu.InitComm(1);
  globals.gFichtRunning = true;
  globals.gMbeRunning = true;
  events.statuses.clear();
  ecu.InitComm(-1);
  EXPECT_FALSE(form().commSerial.PortOpen());
  EXPECT_FALSE(globals.gFichtRunning);
  EXPECT_FALSE(globals.gMbeRunning);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(events.statuses.empty());
  EXPECT_EQ(traceCount("++ Shutting down CommPort, in Do5BaudInit (+ exiting)"), 1);
}

// The 5-baud address 0x10 on the line: 1000 ms low, 200 high, 600 low, 200 high.
TEST_F(Init, TheWakeUpPatternIsTheAddressAtFiveBaud) {
  for (std::int32_t device : {std::int32_t{ecuMSE10}, std::int32_t{ecuWeber7A}}) {
    SCOPED_TRACE(device);
    nextDevice(device);
    ecu.InitComm(1);
    const auto& levels = line().levelLog();
    ASSERT_EQ(levels.size(), 4u);
    EXPECT_TRUE(levels[0].low);
    const std::uint64_t t0 = levels[0].atUs;
    const std::uint64_t expected[] = {0, 1'000'000, 1'200'000, 1'800'000};
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(levels[i].low, i % 2 == 0);
      EXPECT_EQ(levels[i].atUs - t0, expected[i]);
    }
    EXPECT_TRUE(form().breakReceived);
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuInitializing});
    EXPECT_EQ(Mse10State(form()).prologPass, 1);
    EXPECT_EQ(Mse10State(form()).reqType, -1);
    EXPECT_EQ(form().tmrWatchDog.Interval(), 2000u);
    EXPECT_TRUE(form().tmrWatchDog.Enabled());
    EXPECT_FALSE(form().tmrSampleRate.Enabled());
    EXPECT_EQ(form().gWatchTimer, ms());
  }
  EXPECT_EQ(traceCount("--Saw BREAKs on K-Line OK, waiting for EcuId sync-telegram (300 mS)--"), 2);
}

TEST_F(Init, NoBreakBackDuringThePatternMeansNoCableOrPower) {
  startWith(ecuMSE10);
  // The echo test passes (it ends 1650 ms in, after the first open), then the cable
  // comes out just before the address goes out.
  clock.schedule(clock.nowUs() + 1'640'000, [&] { line().setPlugged(false); });
  ecu.InitComm(1);
  EXPECT_FALSE(form().breakReceived);
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  EXPECT_EQ(traceCount(">> lostCableOrPower, detected in Bosch-Do5BaudInit"), 1);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());  // the rest of the wake-up still ran
}

TEST_F(Init, Mse11LeavesTheSessionStartToTheRequestLoop) {
  startWith(ecuMSE11);
  ecu.InitComm(1);
  EXPECT_EQ(events.statuses.back(), ecuInitializing);
  EXPECT_TRUE(form().tmrSampleRate.Enabled());
  EXPECT_EQ(traceCount("--Init triggered on MSE11, WatchDog(mS) was 2000 now 2sec"), 1);
}

TEST_F(Init, FichtSkipsTheCableTestsAndMbeRunsThem) {
  startWith(ecuFicht);
  line().setCable(sim::CableKind::Ficht);
  ecu.InitComm(1);
  EXPECT_EQ(traceCount("Ficht CableTest"), 0);
  EXPECT_EQ(globals.gInitStep, "after opening comm port");
  ecu.setDevice(ecuMBE);
  ecu.InitComm(1);
  EXPECT_EQ(traceCount("Ficht CableTest"), 1);
  EXPECT_EQ(events.statuses.back(), ecuWrongCable);
  line().setCable(sim::CableKind::KLine);
  ecu.InitComm(1);
  EXPECT_EQ(globals.gInitStep, "after Ficht/DCAN cable test");
}

TEST_F(Init, EachInitialisationDumpsTheRingInDebugMode) {
  startWith(ecuMSE11);
  ecu.InitComm(1);
  EXPECT_GT(form().trace.ringIndex(), 0);
  ecu.InitComm(1);
  EXPECT_TRUE(std::filesystem::exists(driveC.dir() / ("EcuTrace-" + TodayMmDdYyyy() + ".LOG")));
}

// A port that does not open is told to the client at once, once, with nothing sent; the
// watchdog keeps trying, and once the port is there the link comes up with no client call.
TEST_F(Init, APortThatDoesNotOpenIsReportedOnceAndRetriedUntilItIsThere) {
  sim::VisteonEcu controller(line());
  const struct {
    const char* name;
    sim::SimPort port;
    const char* reason;
  } cases[] = {
      {"absent", sim::SimPort{}, "** Port 2 did not open: Invalid port number"},
      {"in use", sim::SimPort::inUse(), "** Port 2 did not open: Port already open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nextDevice(ecuVisteon);
    form().trace.lstTrace().clear();
    ports().setPort(2, c.port);
    const std::uint32_t t0 = ms();
    ecu.InitComm(2);
    EXPECT_EQ(ms() - t0, 0u);  // nothing waits
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuNoSerialCable});
    EXPECT_EQ(traceCount(c.reason), 1);
    EXPECT_TRUE(form().tmrWatchDog.Enabled());
    EXPECT_EQ(form().tmrWatchDog.Interval(), 2000u);
    EXPECT_FALSE(form().tmrSampleRate.Enabled());

    // The watchdog retries, tracing the reason each time (after a session its first tick
    // may only consume the session's activity)...
    runFor(3 * 2000 + 100);
    EXPECT_GE(traceCount(c.reason), 3);
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuNoSerialCable});  // ...once told
    EXPECT_EQ(traceCount("** Notify Client, status -> 12 = ecuNoSerialCable"), 1);
    EXPECT_TRUE(line().wireLog().empty());
    EXPECT_TRUE(line().levelLog().empty());

    ports().setPort(2, sim::SimPort::kLine(line()));
    runFor(2000 + 1600 + 500);
    EXPECT_EQ(events.statuses,
              (std::vector<std::int32_t>{ecuNoSerialCable, ecuInitializing, ecuCommOK}));
  }
}

TEST_F(Init, AFailureInsideIsReportedWithTheStepReached) {
  startWith(ecuMSE10);
  // The port closes under the wake-up pattern (the echo test ends 1650 ms in, after the
  // first open): the pattern's next step fails on the closed port.
  clock.schedule(clock.nowUs() + 1'700'000, [&] { form().commSerial.setPortOpen(false); });
  ecu.InitComm(1);
  ASSERT_FALSE(alerts.boxes.empty());
  const auto& box = alerts.boxes.back();
  EXPECT_EQ(box.title, kErrorTitle);
  EXPECT_EQ(box.buttons, mb::vbCritical);
  EXPECT_EQ(
      box.text.rfind("We died at: after checking connection\r\nError: 8012 in Do5BaudInit\r\n", 0),
      0u);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
}

}  // namespace
}  // namespace quorvan::testing
