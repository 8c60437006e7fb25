#include <gtest/gtest.h>

#include <fstream>

#include "sim/SimModem.h"
#include "support/SimServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

class Line : public SimServerFixture {};

TEST_F(Line, CableDetectEchoTellsALiveLineFromADeadOne) {
  startWith(ecuMSE10);
  form().numPort = 1;
  form().SetupPort();
  ASSERT_TRUE(form().commSerial.PortOpen());
  EXPECT_FALSE(form().ConnectionIsBad());
  EXPECT_EQ(line().heardFrom(sim::WireEnd::Server), kCableDetectPacket);
  EXPECT_TRUE(events.statuses == std::vector<std::int32_t>{ecuReady});

  line().setPlugged(false);
  EXPECT_TRUE(form().ConnectionIsBad());
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  EXPECT_EQ(traceCount(">> lostCableOrPower, detected in ConnectionIsBad-test"), 1);
  EXPECT_EQ(traceCount("ConnectionIsBad reports: True"), 1);
  EXPECT_FALSE(form().discardInput);
  EXPECT_TRUE(form().blockBuf.empty());  // the echo never reached the protocol
}

TEST_F(Line, UnpluggedCableMakesTheWatchdogRetryEvery200msUntilItEchoes) {
  startWith(ecuMSE11);
  line().setPlugged(false);
  ecu.InitComm(1);
  EXPECT_EQ(form().tmrWatchDog.Interval(), 200u);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  EXPECT_EQ(traceCount("** ConnectionIsBad in Do5BaudInit! (resetting watchDog to 200 mS)"), 1);
  runFor(1000);
  EXPECT_GE(traceCount("** ConnectionIsBad in Do5BaudInit!"), 4);
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  line().setPlugged(true);
  runFor(400);
  EXPECT_EQ(events.statuses.back(), ecuInitializing);
  EXPECT_EQ(form().tmrWatchDog.Interval(), 2000u);
}

TEST_F(Line, TheFirstOpenOfTheProcessWaitsForTheInterfaceToWake) {
  startWith(ecuMSE11);
  const std::uint32_t t0 = ms();
  form().SetupPort();
  EXPECT_GE(ms() - t0, 1600u);
  const std::uint32_t t1 = ms();
  form().SetupPort();
  EXPECT_LT(ms() - t1, 100u);
}

TEST_F(Line, DyingClosesThePortAndDumpsTheRing) {
  startWith(ecuMSE11);
  ecu.InitComm(1);
  ASSERT_TRUE(form().commSerial.PortOpen());
  windows.remove(kClientWindowClass, "Diag");
  EXPECT_THROW(form().DieIfNoClients(), ProcessEnd);
  EXPECT_FALSE(form().commSerial.PortOpen());
  std::ifstream in(driveC.dir() / ("EcuTrace-" + TodayMmDdYyyy() + ".LOG"), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("** Dieing Gracefully, with portStatus: True"), std::string::npos);
  EXPECT_NE(text.find("--- end traceBack ---\r\n"), std::string::npos);
}

TEST_F(Line, ReceivedBytesReachBlockBufUnlessDiscarded) {
  startWith(ecuVisteon);
  form().SetupPort();
  form().CommOutStr("AB");
  runFor(10);
  EXPECT_EQ(form().blockBuf, "AB");  // the K-line echo
  form().discardInput = true;
  form().gotInput = false;
  form().CommOutStr("CD");
  runFor(10);
  EXPECT_EQ(form().blockBuf, "AB");
  EXPECT_TRUE(form().gotInput);
  EXPECT_TRUE(form().bActive);
  EXPECT_TRUE(form().inputDiscarded);
}

TEST_F(Line, LineEventsSetTheirFlagsAndCounters) {
  startWith(ecuVisteon);
  form().SetupPort();
  line().injectOverrun(0);
  runFor(5);
  EXPECT_EQ(form().iOverrun, 1);
  EXPECT_EQ(traceCount("** Data Lost due to port overrun!  inCount=0"), 1);
  form().commSerial.setBreak(true);
  runFor(5);
  form().commSerial.setBreak(false);
  runFor(5);
  EXPECT_TRUE(form().breakReceived);
}

struct DiscoveryCase {
  const char* name;
  sim::SimPort port;
  bool usable;
  const char* line;
};

TEST_F(Line, PortDiscoveryRejectsSlowModemAndAbsentPorts) {
  startWith(ecuVisteon);
  ports().setPort(2, sim::SimPort::silent().withOpenTimeMs(1600));
  ports().setPort(3, sim::SimPort::silent().withOpenTimeMs(1601));
  ports().setPort(4, sim::SimPort::modem("OK\r\n"));
  ports().setPort(5, sim::SimPort::modem("ok\r\n"));
  ports().setPort(6, sim::SimPort::silent().describedAsModem());
  // port 7 is absent
  std::vector<bool> free(7, false);
  ecu.PortsFree(1, free);
  EXPECT_EQ(free, (std::vector<bool>{true, true, false, false, true, false, false}));
  EXPECT_EQ(traceCount("--- checking available serial Ports, @9600 baud (+allPropertyInit) ---"),
            1);
  EXPECT_EQ(traceCount("--- port 2 appears OK, openTime=1600; Checking for Modem..."), 1);
  EXPECT_EQ(traceCount("--- port 3 eliminated, due to openTime > 1600 mS (max laptopWake)"), 1);
  EXPECT_EQ(traceCount("--- port 4 eliminated; ackTime: "), 1);
  EXPECT_EQ(traceCount("reply=4F 4B 0D 0A "), 1);
  EXPECT_EQ(traceCount("--- port 5 is fine (not a Modem); maxWait: "), 1);
  EXPECT_EQ(traceCount("--- port 6 eliminated, due to ConfigType=6"), 1);
  EXPECT_EQ(traceCount("--- port 7 appears OK"), 0);
  EXPECT_FALSE(form().commSerial.PortOpen());
  EXPECT_EQ(process.classes.back(), priority::REALTIME_PRIORITY_CLASS);
  EXPECT_EQ(process.classes[process.classes.size() - 2], priority::NORMAL_PRIORITY_CLASS);
}

TEST_F(Line, DiscoveryOfASingleBoundTriesOnlyThatPort) {
  startWith(ecuVisteon);
  std::vector<bool> free(1, false);
  ecu.PortsFree(3, free);  // port 3 is absent here
  EXPECT_EQ(free, std::vector<bool>{false});
  EXPECT_EQ(traceCount("--- port 1"), 0);
}

}  // namespace
}  // namespace quorvan::testing
