#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "mse10/Mse10Fixture.h"
#include "support/FamilyState.h"

// Whole sessions against the simulated MSE 1.0 controller: wake-up, identification,
// the scheduler's requests and what reaches the client.
namespace quorvan::testing {
namespace {

using sim::Mse10Ecu;

class Session : public Mse10ModelFixture {};

TEST_F(Session, WakesAndIdentifiesTheController) {
  ASSERT_TRUE(connectAndIdentify()) << traceDump();
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
  EXPECT_EQ(ecu.idHardware(), kHardwareId);
  EXPECT_EQ(ecu.idSoftware(), kSoftwareId);
  EXPECT_EQ(ecu.idCustomer(), kCustomerId);
  EXPECT_EQ(model.wakeUps(), 1);
  EXPECT_EQ(Mse10State(form()).prologPass, 2);  // the adaptive confirmation was refused
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
}

// The other family values take the same 5-baud path.
TEST_F(Session, AnotherFamilyOnTheFiveBaudPathIsServedAlike) {
  startWith(ecuWeber7A);
  ASSERT_TRUE(initAndIdentify()) << traceDump();
  EXPECT_EQ(ecu.idSoftware(), kSoftwareId);
}

TEST_F(Session, WatchedValuesReachTheClientInTheItemsByteOrder) {
  model.storeValue(0x0100, 0x1234, 2);
  model.storeValue(0x0200, 0x3412, -2);
  model.storeValue(0x0300, 0xFFFFFFFF, 4);
  model.setMemory(0x0400, "ABCDEFGH");
  model.storeValue(0x0500, 0x81, 1);
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0100, 2, ecuData);
  ecu.AddItem(2, 0x0200, -2, ecuData);
  ecu.AddItem(3, 0x0300, 4, ecuData);
  ecu.AddItem(4, 0x0400, 8, ecuData);  // more than four bytes come as a byte string
  ecu.AddItem(5, 0x0500, 1, ecuFlags);
  for (std::int16_t i = 1; i <= 5; ++i) ecu.Watch(i, 1);
  ASSERT_TRUE(initAndIdentify()) << traceDump();
  runFor(3'000);
  std::map<int, Variant> last;
  for (const auto& d : events.data) last[d.itemNum] = d.value;
  EXPECT_EQ(last[1], Variant(std::int32_t{0x1234}));
  EXPECT_EQ(last[2], Variant(std::int32_t{0x3412}));
  EXPECT_EQ(last[3], Variant(std::int32_t{-1}));
  EXPECT_EQ(last[4], Variant(std::string("ABCDEFGH")));
  ASSERT_FALSE(events.flags.empty());
  EXPECT_EQ(events.flags.back().itemNum, 5);
  EXPECT_EQ(events.flags.back().rawFlags, 0x81);
  // The read-memory block: size, then the address high byte first.
  ASSERT_FALSE(model.received().empty());
  EXPECT_NE(std::find(model.received().begin(), model.received().end(),
                      Bytes({0x06, 0x08, 0x01, 0x02, 0x01, 0x00, 0x03})),
            model.received().end());
  EXPECT_EQ(wakeUps(), 1u);
}

// Items 1 and 2 with priorities 1 and 3: item 2 is read on passes 0, 3, 6...
TEST_F(Session, AnItemOfPriorityThreeIsReadOnEveryThirdPass) {
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0100, 1, ecuData);
  ecu.AddItem(2, 0x0200, 1, ecuData);
  ecu.Watch(1, 1);
  ecu.Watch(2, 3);
  ASSERT_TRUE(initAndIdentify());
  runFor(3'000);
  const std::vector<int> reads = addressesRead();
  ASSERT_GE(reads.size(), 10u);
  const std::vector<int> expected = {0x100, 0x200, 0x100, 0x100, 0x100,
                                     0x200, 0x100, 0x100, 0x100, 0x200};
  EXPECT_EQ(std::vector<int>(reads.begin(), reads.begin() + 10), expected);
}

TEST_F(Session, AFaultListIsCollectedUntilTheAcknowledgeThenCleared) {
  model.setFaults({{0x12, 0x34, 0x85}, {0x01, 0x02, 0x03}});
  startWith(ecuMSE10);
  ecu.AddItem(1, 0, 1, ecuFaults);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 3'000));
  EXPECT_EQ(events.faults[0], "H123405/C010203/");
  EXPECT_EQ(events.log.back(), "NewFaults(1,H123405/C010203/)");

  ecu.ClearFaults();
  ASSERT_TRUE(loop.runUntil([&] { return !events.cleared.empty(); }, 3'000));
  EXPECT_EQ(events.cleared, std::vector<bool>{true});
  EXPECT_TRUE(model.faults().empty());
  EXPECT_FALSE(form().clearPending);
  events.faults.clear();
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 3'000));
  EXPECT_EQ(events.faults[0], "");
}

// A clear asked for while a fault list is coming: fault blocks are always acknowledged
// first, so the clear goes out once the list has ended.
TEST_F(Session, AClearAskedForDuringAFaultListFollowsTheList) {
  model.setFaults({{0x12, 0x34, 0x05}, {0x22, 0x34, 0x05}, {0x32, 0x34, 0x05}});
  model.setExchangeLog([&](const std::string& line) {
    if (line.rfind("tx 06", 0) == 0 && line.find(" FC ") != std::string::npos) {
      ecu.ClearFaults();
    }
  });
  startWith(ecuMSE10);
  ecu.AddItem(1, 0, 1, ecuFaults);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  ASSERT_TRUE(loop.runUntil([&] { return !events.cleared.empty(); }, 3'000));
  EXPECT_EQ(events.cleared, std::vector<bool>{true});
  const std::vector<int> titles = titlesReceived();
  const auto read = std::find(titles.begin(), titles.end(), 0x07);
  ASSERT_GE(titles.end() - read, 5);
  EXPECT_EQ(std::vector<int>(read + 1, read + 5), (std::vector<int>{0x09, 0x09, 0x09, 0x05}));
  EXPECT_EQ(events.faults, std::vector<std::string>{"C123405/C223405/C323405/"});
}

// A refused clear (NAK) is reported as failed.
TEST_F(Session, ARefusedClearIsReportedAsFailed) {
  ASSERT_TRUE(connectAndIdentify());
  model.injectNak(0x05);
  ecu.ClearFaults();
  ASSERT_TRUE(loop.runUntil([&] { return !events.cleared.empty(); }, 3'000));
  EXPECT_EQ(events.cleared, std::vector<bool>{false});
  runFor(1'000);
  EXPECT_EQ(events.cleared.size(), 1u);  // the acknowledges after it raise nothing
}

// With nothing watched every controller block is answered by an acknowledge 400 ms
// after its end byte.
TEST_F(Session, WithNothingWatchedTheLinkIsKeptAliveEvery400ms) {
  std::vector<std::uint64_t> modelBlockEnds;
  model.setExchangeLog([&](const std::string& line) {
    if (line.rfind("tx ", 0) == 0) modelBlockEnds.push_back(clock.nowUs());
  });
  ASSERT_TRUE(connectAndIdentify());
  modelBlockEnds.clear();
  const std::size_t before = model.received().size();
  runFor(5'000);
  EXPECT_GE(model.received().size() - before, 9u);
  for (std::size_t i = before; i < model.received().size(); ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(model.received()[i][2]), 0x09);
  }
  ASSERT_GE(modelBlockEnds.size(), 9u);
  for (const std::uint64_t queued : modelBlockEnds) {
    const std::uint64_t arrived = queued + sim::FramesDurationUs(1, kMse10BitRate);
    const sim::WireByte* ours = serverFrameAfter(arrived);
    if (!ours) continue;  // the run ended inside the wait
    EXPECT_GE(ours->startUs - arrived, 400'000u);
    EXPECT_LE(ours->startUs - arrived, 406'000u);
  }
  EXPECT_EQ(wakeUps(), 1u);
}

TEST_F(Session, Command201SendsOneSpecialBlock) {
  ASSERT_TRUE(connectAndIdentify());
  ecu.command(cmd::kMse10Special);
  runFor(2'000);
  const std::vector<int> titles = titlesReceived();
  EXPECT_EQ(std::count(titles.begin(), titles.end(), 0x13), 1);
  EXPECT_EQ(form().commandRequested, 0);
  EXPECT_EQ(Mse10State(form()).lastCmd, 0x13);
}

TEST_F(Session, TheTimingModeAsksForTheTimingValueWhileItIsOn) {
  model.setTimingValue(0x2A);
  ASSERT_TRUE(connectAndIdentify());
  ecu.setBaseTimingMode(true);
  runFor(1'000);
  ecu.setBaseTimingMode(false);
  const std::size_t timingReads = [&] {
    const std::vector<int> t = titlesReceived();
    return static_cast<std::size_t>(std::count(t.begin(), t.end(), 0x38));
  }();
  EXPECT_GE(timingReads, 5u);
  ASSERT_FALSE(events.data.empty());
  EXPECT_EQ(events.data.back().value, Variant(std::int32_t{0x2A}));
  runFor(1'000);
  const std::vector<int> t = titlesReceived();
  EXPECT_EQ(static_cast<std::size_t>(std::count(t.begin(), t.end(), 0x38)), timingReads);
}

// MellowOut: the next turn clears Busy, pauses 800 ms and acknowledges; then the items
// are read again.
TEST_F(Session, MellowOutPausesTheLinkOnce) {
  std::vector<std::uint64_t> modelBlockEnds;
  model.setExchangeLog([&](const std::string& line) {
    if (line.rfind("tx ", 0) == 0) modelBlockEnds.push_back(clock.nowUs());
  });
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0100, 1, ecuData);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  runFor(200);
  ecu.MellowOut();
  EXPECT_TRUE(ecu.Busy());
  const std::size_t blocksBefore = modelBlockEnds.size();
  ASSERT_TRUE(loop.runUntil([&] { return !ecu.Busy(); }, 1'000));
  ASSERT_GT(modelBlockEnds.size(), blocksBefore);
  const std::uint64_t arrived = modelBlockEnds.back() + sim::FramesDurationUs(1, kMse10BitRate);
  runFor(1'000);
  const sim::WireByte* ours = serverFrameAfter(arrived);
  ASSERT_NE(ours, nullptr);
  EXPECT_GE(ours->startUs - arrived, 800'000u);
  EXPECT_LE(ours->startUs - arrived, 806'000u);
  EXPECT_FALSE(form().holdThePhone);
  const std::size_t reads = addressesRead().size();
  runFor(1'000);
  EXPECT_GT(addressesRead().size(), reads);
}

// An item whose address does not fit a read-memory block is passed over with a trace
// line; the others are read as usual.
TEST_F(Session, AnItemBeyondTheAddressRangeIsNotRead) {
  model.storeValue(0x0100, 7, 1);
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x12345, 2, ecuData);
  ecu.AddItem(2, 0x0100, 1, ecuData);
  ecu.Watch(1, 1);
  ecu.Watch(2, 1);
  ASSERT_TRUE(initAndIdentify());
  runFor(1'000);
  for (const auto& d : events.data) EXPECT_EQ(d.itemNum, 2);
  EXPECT_FALSE(events.data.empty());
  for (const int address : addressesRead()) EXPECT_EQ(address, 0x0100);
  EXPECT_GE(traceCount("** Watch item 1 not read: address $12345 size 2 do not fit a "
                       "read-memory block"),
            1);
  EXPECT_TRUE(alerts.boxes.empty());
  EXPECT_EQ(wakeUps(), 1u);
}

// A new wake-up started by the client while the scheduler waits to send its block:
// that block is dropped, and the new wake-up answer is confirmed as if nothing was
// pending.
TEST_F(Session, ANewWakeUpDuringTheWaitDropsTheBlockThatWasDue) {
  ASSERT_TRUE(connectAndIdentify());
  bool called = false;
  model.setExchangeLog([&](const std::string& line) {
    if (called || line.rfind("tx ", 0) != 0) return;
    called = true;
    loop.schedule(clock.nowUs() + 100'000, [&] { ecu.InitComm(1); });
  });
  ASSERT_TRUE(loop.runUntil([&] { return wakeUps() == 2; }, 3'000));
  const std::uint64_t patternEnd = line().levelLog().back().atUs;
  ASSERT_TRUE(loop.runUntil([&] { return linkedAndCommOk(); }, 10'000)) << traceDump();
  const sim::WireByte* first = serverFrameAfter(patternEnd);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->sent, 0x76);  // the adaptive confirmation, nothing stale before it
  EXPECT_EQ(model.wakeUps(), 2);
}

TEST_F(Session, ASilentControllerIsFoundByTheWatchdogAndWokenAgain) {
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0100, 1, ecuData);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  model.setSilent(true);
  runFor(5'000);
  EXPECT_GE(traceCount("Lighting off Do5Baud in WatchDog_Timer"), 1);
  EXPECT_GE(wakeUps(), 2u);
  model.setSilent(false);
  events.data.clear();
  ASSERT_TRUE(loop.runUntil([&] { return linkedAndCommOk() && !events.data.empty(); }, 15'000))
      << traceDump();
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// Each fault the controller can show: either the server recovers in place and the
// link holds, or the controller drops the link and the watchdog wakes it again; in
// both cases the items are read again afterwards.
struct InjectedFault {
  const char* name;
  std::function<void(Mse10Ecu&)> inject;
  const char* dropReason;  // why the controller dropped the link; "": it held
  std::function<int(const frmCommThread&)> seen;  // the server's count of the fault
};

void PrintTo(const InjectedFault& c, std::ostream* os) {
  *os << c.name;
}

class InjectedFaults : public Mse10ModelFixture,
                       public ::testing::WithParamInterface<InjectedFault> {};

TEST_P(InjectedFaults, TheLinkReturnsToPolling) {
  const InjectedFault& c = GetParam();
  const bool wokenAgain = *c.dropReason != '\0';
  model.storeValue(0x0100, 0x55AA, 2);
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0100, 2, ecuData);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  runFor(500);
  c.inject(model);
  runFor(wokenAgain ? 2'000 : 500);
  events.data.clear();
  ASSERT_TRUE(loop.runUntil([&] { return linkedAndCommOk() && events.data.size() >= 3; }, 15'000))
      << traceDump();
  EXPECT_EQ(events.data.back().value, Variant(std::int32_t{0x55AA}));
  EXPECT_EQ(c.seen(form()), 1);
  EXPECT_EQ(wakeUps(), wokenAgain ? 2u : 1u);
  EXPECT_EQ(model.linkDrops(), wokenAgain ? 1 : 0);
  EXPECT_EQ(model.lastDropReason(), c.dropReason);
}

// The controller's complement of our byte comes late or wrong, or it refuses a read:
// the server sends its block again. A complement that never comes, or our silence
// after a block we could not take in, make the controller drop the link.
INSTANTIATE_TEST_SUITE_P(
    , InjectedFaults,
    ::testing::Values(
        // Each NAK counts twice: once in the pump and once in the scheduler.
        InjectedFault{"Nak", [](Mse10Ecu& m) { m.injectNak(0x01); }, "",
                      [](const frmCommThread& f) { return Mse10State(f).ecuNAKs / 2; }},
        InjectedFault{"LateComplement",
                      [](Mse10Ecu& m) {
                        m.injectComplementFault(Mse10Ecu::ComplementFault::Late, 1, 60'000);
                      },
                      "", [](const frmCommThread& f) { return int{Mse10State(f).ecuOutSlow}; }},
        InjectedFault{
            "WrongComplement",
            [](Mse10Ecu& m) { m.injectComplementFault(Mse10Ecu::ComplementFault::Wrong); }, "",
            [](const frmCommThread& f) { return int{Mse10State(f).ecuHSwrong}; }},
        InjectedFault{
            "MissingComplement",
            [](Mse10Ecu& m) { m.injectComplementFault(Mse10Ecu::ComplementFault::Missing); },
            "tester silent",
            [](const frmCommThread& f) {  // only the watchdog notices
              const auto& lines = f.trace.lstTrace();
              return static_cast<int>(
                  std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                    return l.find("Lighting off Do5Baud in WatchDog_Timer") != std::string::npos;
                  }));
            }},
        InjectedFault{"BadLength", [](Mse10Ecu& m) { m.injectBadLength(16); }, "no complement",
                      [](const frmCommThread& f) { return int{Mse10State(f).ecuResyncs}; }},
        // The wrong counter is taken as a length, then the title as a counter.
        InjectedFault{"WrongCounter", [](Mse10Ecu& m) { m.injectWrongCounter(1); }, "no complement",
                      [](const frmCommThread& f) { return Mse10State(f).ecuResyncs / 2; }},
        // Length and counter back to back: the counter comes where the echo of our
        // answer to the length should, and the block is dropped once.
        InjectedFault{"TwoBytesAtOnce", [](Mse10Ecu& m) { m.injectPairedBytes(0); },
                      "wrong complement",
                      [](const frmCommThread& f) { return int{Mse10State(f).ecuResyncs}; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
// A refused fault read is no list: neither "no faults" nor the codes read before the
// refusal reach the client; the next read gives the whole list.
TEST_F(Session, ARefusedFaultReadDeliversNoList) {
  model.setFaults({{0x12, 0x34, 0x85}, {0x01, 0x02, 0x03}});
  startWith(ecuMSE10);
  ecu.AddItem(1, 0, 1, ecuFaults);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  model.injectNak(0x07, 2);
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 5'000));
  for (const auto& list : events.faults) EXPECT_EQ(list, "H123405/C010203/");
}

}  // namespace quorvan::testing

namespace quorvan::testing {
namespace {

// A controller that sends two bytes of its block without waiting for our answer to the
// first: our answer then crosses its second byte on the line, and neither that byte
// nor our echo may be taken into the block. At whatever place of the block it happens,
// the client gets the controller's value or nothing, and the link comes back.
class PairedBytes : public Mse10ModelFixture, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(PairedBytes, NoValueButTheControllersReachesTheClient) {
  model.storeValue(0x0110, 0x1717, 2);
  startWith(ecuMSE10);
  ecu.AddItem(1, 0x0110, 2, ecuData);
  ecu.Watch(1, 1);
  ASSERT_TRUE(initAndIdentify());
  runFor(500);
  model.injectPairedBytes(GetParam());
  ASSERT_TRUE(loop.runUntil([&] { return model.sent().size() > 12 && linkedAndCommOk(); }, 15'000));
  for (const auto& d : events.data) EXPECT_EQ(d.value, Variant(std::int32_t{0x1717}));
}

// The memory answer: length, counter, title, the two value bytes, the end byte.
INSTANTIATE_TEST_SUITE_P(, PairedBytes, ::testing::Range<std::size_t>(0, 5));

}  // namespace
}  // namespace quorvan::testing
