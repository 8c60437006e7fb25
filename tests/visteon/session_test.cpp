#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "visteon/PacketLayer.h"
#include "visteon/VisteonFixture.h"

namespace quorvan::testing {
namespace {

class VisteonSession : public VisteonFixture {};

TEST_F(VisteonSession, IdentificationGivesTheThreeIdentityStrings) {
  ASSERT_TRUE(connect());
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
  EXPECT_EQ(ecu.idHardware(), "Visteon Controller");
  EXPECT_EQ(ecu.idSoftware(), "PVM-100 (BE 1F B8 10)");
  EXPECT_EQ(ecu.idCustomer(), "Victory Motorcycle");
  EXPECT_TRUE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  EXPECT_EQ(form().tmrWatchDog.Interval(), 2000u);
  EXPECT_EQ(traceCount("> 68 6A F1 01 00 C4 "), 1);
}

TEST_F(VisteonSession, AnImproperIdentificationIsReported) {
  ecuSim.injectNegative(0x01, 0x12);
  ASSERT_TRUE(connect()) << traceDump();
  EXPECT_EQ(ecu.idHardware(), "Visteon???");
  EXPECT_EQ(ecu.idSoftware(), "PID Reply 7F 01 12 ");
  EXPECT_EQ(ecu.idCustomer(), "UNKNOWN");
  ASSERT_FALSE(alerts.boxes.empty());
  EXPECT_EQ(alerts.boxes.back().text.rfind("Got response with improper ID info\r\n7F 01 12 ", 0),
            0u);
  EXPECT_EQ(alerts.boxes.back().buttons, mb::vbCritical);
}

TEST_F(VisteonSession, AControllerThatDoesNotAnswerMeansTheRunSwitchIsOff) {
  ecuSim.injectSilence(0x01, sim::visteon::kForever);
  EXPECT_FALSE(connect());
  EXPECT_EQ(events.statuses.back(), ecuRunSwitchOff);
  EXPECT_EQ(ecu.idHardware(), "UNKNOWN");
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
}

TEST_F(VisteonSession, WatchedItemsArePolledAtTheirRatesWithTheControllersValues) {
  ecuSim.setPid(0x0C, 0x1AF8);
  ecuSim.setPid(0x05, 0x5A);
  ecuSim.setFreezeFrame(0x0C, 0x0BB8);
  ASSERT_TRUE(connect());
  ecu.AddItem(1, 0x010C, 2, ecuData);
  ecu.AddItem(2, 0x0105, 1, ecuData);
  ecu.AddItem(3, 0x020C, 2, ecuFlags);
  ecu.Watch(1, 1);
  ecu.Watch(2, 3);
  ecu.Watch(3, 1);
  runFor(20'000);
  std::map<int, int> count;
  for (const auto& d : events.data) {
    ++count[d.itemNum];
    const std::int32_t expected = d.itemNum == 1 ? 0x1AF8 : 0x5A;
    EXPECT_THAT(d.value.value, ::testing::VariantWith<std::int32_t>(expected)) << d.itemNum;
  }
  ASSERT_FALSE(events.flags.empty());
  EXPECT_EQ(events.flags.front().rawFlags, 0x0BB8);
  // Item 2 is due on every third pass only.
  EXPECT_GT(count[1], 20);
  EXPECT_NEAR(count[2] * 3, count[1], 3);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);  // no re-initialisation
  EXPECT_EQ(traceCount("Lighting off Do5Baud in"), 0) << traceDump();
}

TEST_F(VisteonSession, WithNothingWatchedEachTickPollsTheIdentification) {
  ASSERT_TRUE(connect());
  line().clearLog();
  runFor(5000);
  const std::string idle = FramePacket(Bytes({0x01, 0x00}), false);
  EXPECT_GE(requestsOnWire(idle), 5);
  EXPECT_EQ(traceCount(">> testing Connection, in NextVisteonRequest (loops til OK)"),
            requestsOnWire(idle));
  EXPECT_EQ(traceCount("Lighting off Do5Baud in"), 0);
}

TEST_F(VisteonSession, AFaultListOverThreePacketsArrivesAsOneText) {
  ecuSim.setFaults({0x0123, 0x0133, 0x0221, 0x1005, 0x1ABC, 0x0300, 0x0401});
  ASSERT_TRUE(connect());
  ecu.AddItem(1, 0x0300, 1, ecuFaults);
  ecu.Watch(1, 1);
  loop.runUntil([&] { return !events.faults.empty(); }, 5000);
  ASSERT_EQ(events.faults.size(), 1u);
  EXPECT_EQ(events.faults[0], "0123/0133/0221/1005/1:;</0300/0401/");
  EXPECT_EQ(traceCount("-------------"), 1);

  ecu.ClearItems();
  ecu.ClearFaults();
  loop.runUntil([&] { return !events.cleared.empty(); }, 2000);
  EXPECT_EQ(events.cleared, std::vector<bool>{true});
  EXPECT_TRUE(ecuSim.faults().empty());
  EXPECT_FALSE(form().clearPending);
}

TEST_F(VisteonSession, ClearFaultsWithoutAnAnswerReportsFailure) {
  ASSERT_TRUE(connect());
  ecuSim.injectSilence(0x04);
  ecu.ClearFaults();
  loop.runUntil([&] { return !events.cleared.empty(); }, 2000);
  EXPECT_EQ(events.cleared, std::vector<bool>{false});
}

TEST_F(VisteonSession, DiagnosticCommandsRunTheirRoutines) {
  ASSERT_TRUE(connect());
  ecuSim.setRoutineResult(0x00, 0x01);  // routine 0 fails on this controller
  const struct {
    std::int16_t command;
    int routine;
    bool success;
  } cases[] = {{1, 0x02, true}, {2, 0x03, true}, {3, 0x00, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    events.completed.clear();
    line().clearLog();
    ecu.command(c.command);
    loop.runUntil([&] { return !events.completed.empty(); }, 3000);
    EXPECT_EQ(events.completed, std::vector<bool>{c.success});
    EXPECT_EQ(requestsOnWire(FramePacket(Bytes({0x31, c.routine}), false)), 1);
    EXPECT_EQ(requestsOnWire(FramePacket(Bytes({0x10}), false)), 1);
    EXPECT_EQ(requestsOnWire(FramePacket(Bytes({0x20}), false)), 1);
    EXPECT_EQ(form().commandRequested, 0);
  }
}

TEST_F(VisteonSession, BusyAnswersAreRepeatedButNotForEver) {
  ASSERT_TRUE(connect());
  ecuSim.injectBusy(0x10, 3);
  ecu.command(1);
  loop.runUntil([&] { return !events.completed.empty(); }, 5000);
  EXPECT_EQ(events.completed, std::vector<bool>{true});

  events.completed.clear();
  ecuSim.injectBusy(0x31, sim::visteon::kForever);
  ecu.command(1);
  loop.runUntil([&] { return !events.completed.empty(); }, 60'000);
  EXPECT_EQ(events.completed, std::vector<bool>{false});
  EXPECT_EQ(traceCount("*** controller still busy after"), 1);
}

// The line goes dead for three seconds while the session runs: the client hears of it,
// and the session comes back by itself once the line echoes again.
TEST_F(VisteonSession, PulledCableOrLostPowerRecoversByItself) {
  const struct {
    const char* name;
    void (sim::SimLine::*set)(bool);
  } cases[] = {{"cable", &sim::SimLine::setPlugged}, {"power", &sim::SimLine::setVehiclePower}};
  ASSERT_TRUE(connect());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.statuses.clear();
    std::vector<std::int32_t> whileDead;
    (line().*c.set)(false);
    clock.schedule(clock.nowUs() + 3'000'000, [&] {
      whileDead = events.statuses;
      (line().*c.set)(true);
    });
    runFor(8000);
    ASSERT_FALSE(whileDead.empty());
    EXPECT_EQ(whileDead.back(), ecuNoCableOrPower);
    EXPECT_EQ(events.statuses.back(), ecuCommOK);
    EXPECT_EQ(ecu.idHardware(), "Visteon Controller");
  }
}

TEST_F(VisteonSession, AnInitWithTheCablePulledRetriesEvery200ms) {
  line().setPlugged(false);
  EXPECT_FALSE(connect());
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  EXPECT_EQ(form().tmrWatchDog.Interval(), 200u);
  runFor(1000);
  EXPECT_GE(traceCount("** ConnectionIsBad in Do5BaudInit!"), 4) << traceDump();
  line().setPlugged(true);
  runFor(1000);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// A drive C that cannot be written costs the trace-back file, not the session: the
// failure is told once, the ring keeps the trace, and the watchdog's re-initialisations
// (each of which dumps the ring) bring the line up as usual.
TEST_F(VisteonSession, ADriveCThatCannotBeWrittenCostsTheFileNotTheSession) {
  const std::string failure = "could not be written";
  const auto ringCount = [&](const std::string& text) {
    int n = 0;
    for (int slot = 1; slot <= form().trace.ringIndex(); ++slot)
      n += form().trace.ringSlot(slot).find(text) != std::string::npos;
    return n;
  };
  const auto boxCount = [&](const std::string& text) {
    return std::count_if(alerts.boxes.begin(), alerts.boxes.end(),
                         [&](const auto& box) { return box.text.find(text) != std::string::npos; });
  };
  makeDriveCUnwritable();
  line().setPlugged(false);
  bool up = true;
  ASSERT_NO_THROW(up = connect());
  EXPECT_FALSE(up);
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuNoCableOrPower}));

  ASSERT_NO_THROW(runFor(1000));  // the watchdog's retries, every 200 ms
  EXPECT_GE(traceCount("** ConnectionIsBad in Do5BaudInit!"), 5);
  line().setPlugged(true);
  ASSERT_NO_THROW(runFor(1000));
  EXPECT_EQ(events.statuses.back(), ecuCommOK) << traceDump();

  EXPECT_EQ(ringCount("++ Client changing ecuDevice"), 1);  // never wiped
  EXPECT_EQ(ringCount(failure), 1);
  EXPECT_EQ(boxCount(failure), 1);
  EXPECT_EQ(boxCount("We died at"), 0);
  EXPECT_FALSE(std::filesystem::exists(driveC.dir()));
}

TEST_F(VisteonSession, ALoopBackCableOfAnotherFamilyIsTheWrongCable) {
  startWith(ecuVisteon);
  for (auto cable : {sim::CableKind::Ficht, sim::CableKind::Smart}) {
    SCOPED_TRACE(sim::CableName(cable));
    line().setCable(cable);
    events.statuses.clear();
    ecu.InitComm(1);
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuWrongCable});
    EXPECT_TRUE(form().ignoreInput);
    EXPECT_TRUE(form().tmrWatchDog.Enabled());
    EXPECT_FALSE(form().tmrSampleRate.Enabled());
  }
  EXPECT_EQ(traceCount("Ficht CableTest time was "), 2);
  EXPECT_EQ(traceCount("isFicht= True"), 1);
  EXPECT_EQ(traceCount("isKVR= True"), 2);  // the Ficht cable loops DTR to DSR as well
}

}  // namespace
}  // namespace quorvan::testing
