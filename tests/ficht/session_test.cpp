#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "ficht/FichtFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

using ::testing::VariantWith;
using N = std::vector<std::int32_t>;

class FichtSession : public FichtFixture {};

TEST_F(FichtSession, TheModuleIsIdentifiedWithoutCableTests) {
  module.setSoftwareVersion(0x000136, 'C');
  ASSERT_TRUE(connect()) << traceDump();
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
  EXPECT_EQ(ecu.idHardware(), "310-C");
  EXPECT_EQ(ecu.idSoftware(), "M2271A04");
  EXPECT_EQ(ecu.idCustomer(), "FICHT 150 V6 RS");
  EXPECT_EQ(traceCount("++ Starting Ficht: Model=FICHT 150 V6 RS, mapVer=M2271A04 softVer=310-C"),
            1);
  EXPECT_EQ(traceCount("CableTest"), 0);
  // The wake-up character, then the four identification reads in their order.
  EXPECT_EQ(serverBytes(),
            "/" + FichtFrame(FichtReadPayload(2, 5)) + FichtFrame(FichtReadPayload(1, 3)) +
                FichtFrame(FichtReadPayload(115, 8)) + FichtFrame(FichtReadPayload(110, 15)));
  EXPECT_TRUE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
  EXPECT_TRUE(globals.gFichtRunning);
}

TEST_F(FichtSession, ASilentModuleIsAskedOnceAndTriedAgainByTheWatchdog) {
  module.injectSilence(sim::ficht::kAnyAddress, sim::ficht::kForever);
  EXPECT_FALSE(connect());
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  EXPECT_EQ(requestsOnWire(FichtReadPayload(2, 5)), 1);
  EXPECT_EQ(requestsOnWire(FichtReadPayload(1, 3)), 0);  // the other reads are not sent
  EXPECT_EQ(traceCount("Model=000000=TimedOut, mapVer=000000=TimedOut"), 1);
  EXPECT_EQ(ecu.idHardware(), "UNKNOWN");
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  EXPECT_FALSE(globals.gFichtRunning);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());

  module.clearInjections();
  watch(1, 0x40, 2);
  module.storeValue(0x40, 1500, 2);
  runFor(5000);
  EXPECT_GE(traceCount("Lighting off Do5Baud in WatchDog_Timer"), 1);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  ASSERT_FALSE(events.data.empty()) << traceDump();
  EXPECT_THAT(events.data.back().value.value, VariantWith<std::int32_t>(1500));
}

TEST_F(FichtSession, WatchedItemsArriveInTheirSizesAtTheirRates) {
  module.storeValue(0x40, 0x05DC, 2);
  module.storeValue(0x42, 0xC8, 1);
  module.storeValue(0x50, 0xFFFFFFFF, 4);
  module.storeValue(0x60, 0x000100, 3);
  module.storeValue(0x63, 0xFFFFFF, 3);
  module.storeValue(0x70, 1, 4);
  module.storeValue(0x74, 2, 4);
  module.storeValue(0x78, 3, 4);
  module.storeValue(0x7C, 0x0909, 2);
  ASSERT_TRUE(connect());
  watch(1, 0x40, 2);
  watch(2, 0x42, -1, ecuData, 3);  // a negative size reads as many bytes
  watch(3, 0x50, 4);
  watch(4, 0x60, 6);
  watch(5, 0x70, 14);
  runFor(10'000);
  const std::map<int, Variant> expected = {{1, Variant(1500)},
                                           {2, Variant(200)},
                                           {3, Variant(-1)},
                                           {4, Variant(N{256, 16777215})},
                                           {5, Variant(N{1, 2, 3, 0})}};
  std::map<int, int> count;
  for (const auto& d : events.data) {
    ++count[d.itemNum];
    EXPECT_EQ(d.value, expected.at(d.itemNum)) << d.itemNum;
  }
  EXPECT_GT(count[1], 45);  // each exchange also listens a moment past its answer
  EXPECT_NEAR(count[2] * 3, count[1], 3);
  EXPECT_EQ(count[3], count[1]);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_EQ(traceCount("Lighting off Do5Baud in"), 0) << traceDump();
}

// The loop runs on its own pacing: a rest after each step and a short wait before each
// item's request, not the 200 ms sample-rate tick; with nothing due it keeps the module
// awake every idle request delay.
TEST_F(FichtSession, TheLoopPacesItselfAndKeepsTheModuleAwakeWhenIdle) {
  ASSERT_TRUE(connect());
  watch(1, 0x40, 2);
  runFor(2000);
  const std::vector<std::uint64_t> starts = requestStarts(FichtReadPayload(0x40, 2));
  ASSERT_GE(starts.size(), 30u);
  for (std::size_t i = 1; i < starts.size(); ++i) {
    const std::uint64_t gapUs = starts[i] - starts[i - 1];
    // Rest and wait (20 ms), the request and the answer on the wire, the reply poll.
    EXPECT_GE(gapUs, 20'000u + 5'200u + 5'000u + 5'200u) << i;
    EXPECT_LE(gapUs, 50'000u) << i;
  }
  EXPECT_EQ(requestsOnWire(FichtReadPayload(92, 1)), 0);

  ecu.ClearItems();
  runFor(100);
  line().clearLog();
  runFor(4000);
  const int keepAlives = requestsOnWire(FichtReadPayload(92, 1));
  EXPECT_GE(keepAlives, 8);
  EXPECT_LE(keepAlives, 10);
  EXPECT_EQ(traceCount("Lighting off Do5Baud in"), 0);
  EXPECT_EQ(traceCount("? Getting response from non-Ficht EMM"), 0);
}

TEST_F(FichtSession, FaultCodesAndTheirHistoryAreReadAndCleared) {
  module.setHistory({{12, 3, 1234}, {0, 0xFF, 0xFFFF}, {200, 1, 7}});
  module.setHistory([] {
    std::vector<sim::FichtEcu::HistoryRecord> r(17);
    r[0] = {12, 3, 1234};
    r[1] = {0, 0xFF, 0xFFFF};  // empty: its fault number is 0
    r[8] = {200, 1, 7};        // the second page
    r[16] = {5, 2, 60000};     // the third
    return r;
  }());
  module.setCurrentFaults({1, 8, 256});
  ASSERT_TRUE(connect());
  const struct {
    std::int32_t address;
    const char* faults;
  } kinds[] = {
      {0x10000, "H012 @1234 #3/H200 @7 #1/H005 @60000 #2/"},
      {0x20000, "C001/C008/C256/"},
      {0x30000, "H012 @1234 #3/H200 @7 #1/H005 @60000 #2/C001/C008/C256/"},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.faults);
    events.faults.clear();
    ecu.ClearItems();
    watch(1, k.address, 1, ecuFaults);
    loop.runUntil([&] { return !events.faults.empty(); }, 3000);
    ASSERT_FALSE(events.faults.empty());
    EXPECT_EQ(events.faults[0], k.faults);
  }

  ecu.ClearFaults();
  loop.runUntil([&] { return !events.cleared.empty(); }, 3000);
  EXPECT_EQ(events.cleared, std::vector<bool>{true});
  EXPECT_EQ(module.commands(), std::vector<std::uint8_t>{2});
  EXPECT_FALSE(form().clearPending);
  events.faults.clear();
  loop.runUntil([&] { return !events.faults.empty(); }, 3000);
  ASSERT_FALSE(events.faults.empty());
  EXPECT_EQ(events.faults[0], "H012 @1234 #3/H200 @7 #1/H005 @60000 #2/");  // history stays
}

TEST_F(FichtSession, AFaultListWithAPageMissingIsNotDelivered) {
  ASSERT_TRUE(connect());
  module.injectSilence(107);
  watch(1, 0x30000, 1, ecuFaults);
  loop.runUntil([&] { return events.faults.size() >= 2; }, 5000);
  EXPECT_EQ(traceCount("** Ficht fault list not read whole; not delivered"), 1);
  ASSERT_FALSE(events.faults.empty());
  for (const auto& f : events.faults) EXPECT_EQ(f, "H009 @1234 #3/H023 @88 #1/C009/C023/");
}

TEST_F(FichtSession, ClientCommandsAndReads) {
  module.storeValue(0x05, 0x0A0B0C, 3);
  module.storeValue(0x2C, 0x00, 1);
  ASSERT_TRUE(connect());
  const struct {
    std::int16_t command;
    std::string payload;  // what goes on the wire ("" nothing)
    std::vector<std::string> log;
  } cases[] = {
      {5, FichtCommandPayload(5), {"CommandComplete(True)"}},
      {-1, FichtCommandPayload(0), {"CommandComplete(True)"}},
      {-2, "", {}},
      {0x0305, FichtReadPayload(5, 3), {"DamnIt(FichtData=" + Bytes({5, 0x0A, 0x0B, 0x0C}) + ")"}},
      {300, FichtReadPayload(0x2C, 1), {"DamnIt(FichtData=" + Bytes({0x2C, 0x00}) + ")"}},
      {-300, "", {"DamnIt(FichtData=)"}},  // a negative count: nothing is asked
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    events.log.clear();
    line().clearLog();
    ecu.command(c.command);
    runFor(600);
    std::vector<std::string> got;
    for (const auto& l : events.log) {
      if (l.rfind("NewData", 0) != 0 && l.rfind("CommStatus", 0) != 0) got.push_back(l);
    }
    EXPECT_EQ(got, c.log);
    if (!c.payload.empty()) {
      EXPECT_EQ(requestsOnWire(c.payload), 1);
    }
    EXPECT_EQ(form().commandRequested, 0);
  }
  EXPECT_EQ(module.commands(), (std::vector<std::uint8_t>{5, 0}));
}

TEST_F(FichtSession, ARefusedOrUnansweredCommand) {
  ASSERT_TRUE(connect());
  module.injectNak(0x66);
  ecu.command(7);
  runFor(600);
  EXPECT_EQ(events.completed, std::vector<bool>{false});  // 0x80: refused

  module.injectSilence(0x66);
  ecu.command(7);
  runFor(600);
  EXPECT_EQ(events.completed, std::vector<bool>{false});  // no answer: no event

  module.injectNak(0x05);
  ecu.command(0x0105);
  runFor(600);
  EXPECT_EQ(events.notes, std::vector<std::string>{"FichtData="});
  EXPECT_EQ(traceCount("Got NAK from Ficht, request was: 01 01 00 05 07 "), 1);
}

TEST_F(FichtSession, BlockWritesChangeTheModulesMemory) {
  ASSERT_TRUE(connect());
  const struct {
    std::string block;
    bool ok;
    std::vector<std::uint8_t> commands;
    int writes;  // frames on the wire
  } cases[] = {
      {Bytes({0x07, 0x40, 0xAA, 0x00, 0x55}), true, {7}, 2},
      {Bytes({0xFF, 0x48, 0x11}), true, {}, 1},   // no command after it
      {Bytes({0x00, 0x4A, 0x22}), true, {0}, 2},  // command 0 in the register form
      {std::string(130, '\x33'), false, {}, 0},   // more than one write can carry
      {Bytes({0x07}), false, {}, 0},              // no address
  };
  std::vector<std::uint8_t> commands;
  for (const auto& c : cases) {
    SCOPED_TRACE(PktToHex(c.block));
    events.completed.clear();
    line().clearLog();
    ecu.FlashWrite(c.block);
    runFor(600);
    EXPECT_EQ(events.completed, std::vector<bool>{c.ok});
    commands.insert(commands.end(), c.commands.begin(), c.commands.end());
    EXPECT_EQ(module.commands(), commands);
    if (c.ok) {
      EXPECT_EQ(requestsOnWire(
                    FichtWritePayload(static_cast<std::uint8_t>(c.block[1]), c.block.substr(2))),
                1);
      EXPECT_EQ(requestsOnWire(FichtWritePayload(0x66, c.block.substr(0, 1) + "\x01")),
                c.writes - 1);
    }
  }
  EXPECT_EQ(module.memory(0x40), 0xAA);
  EXPECT_EQ(module.memory(0x41), 0x00);
  EXPECT_EQ(module.memory(0x42), 0x55);
  EXPECT_EQ(module.memory(0x48), 0x11);
  EXPECT_EQ(ecu.FlashStatus(), flashIdle);
}

TEST_F(FichtSession, AReflashRequestIsRefusedNotSentAsACommand) {
  ASSERT_TRUE(connect());
  ecu.FlashInit();
  runFor(600);
  EXPECT_EQ(ecu.FlashStatus(), flashFailedPrep);
  EXPECT_TRUE(module.commands().empty());
}

// Replies that are not the module's word: nothing is delivered for them, and the loop
// goes on with the next request.
TEST_F(FichtSession, MissingShortSpoiltOrLateAnswers) {
  module.storeValue(0x40, 1500, 2);
  ASSERT_TRUE(connect());
  const struct {
    const char* name;
    std::function<void()> inject;
    const char* trace;
    bool noCable;  // reported as ecuNoCableOrPower
  } cases[] = {
      {"silent", [&] { module.injectSilence(0x40); }, "<< Got from Ficht: ; timeOut=True", true},
      {"truncated", [&] { module.injectTruncatedReply(0x40, 3); },
       "<< Got from Ficht: 01 02 05 ; timeOut=True", true},
      {"checksum", [&] { module.injectCorruptedChecksum(0x40); },
       "<< Invalid pkt from Ficht: 01 02 05 DC ", false},
      {"reset", [&] { module.injectReset(0x40); }, "<< Got from Ficht: ; timeOut=True", true},
  };
  watch(1, 0x40, 2);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    runFor(200);
    events.data.clear();
    events.statuses.clear();
    const int traced = traceCount(c.trace);
    const int goodBefore = traceCount("<< Got from Ficht: 01 02 05 DC");
    c.inject();
    runFor(1000);
    EXPECT_EQ(traceCount(c.trace), traced + 1);
    EXPECT_GT(traceCount("<< Got from Ficht: 01 02 05 DC"), goodBefore);  // it goes on
    for (const auto& d : events.data) EXPECT_EQ(d.value, Variant(1500));
    const bool lost =
        std::count(events.statuses.begin(), events.statuses.end(), ecuNoCableOrPower) > 0;
    EXPECT_EQ(lost, c.noCable);
    EXPECT_TRUE(events.statuses.empty() || events.statuses.back() == ecuCommOK);
  }
  EXPECT_EQ(module.restarts(), 1);
  EXPECT_EQ(traceCount("Lighting off Do5Baud in"), 0);
}

TEST_F(FichtSession, AReplyCompleteOnlyAtTheDeadlineIsTooLate) {
  module.storeValue(0x40, 1500, 2);
  ASSERT_TRUE(connect());
  // 5.2 ms of request and 5.2 ms of answer: the answer is complete 295 ms after the start.
  module.setReplyDelayUs(295'000 - 10'420);
  watch(1, 0x40, 2);
  runFor(1000);
  EXPECT_TRUE(events.data.empty());
  EXPECT_GE(traceCount("<< Got from Ficht: 01 02 05 DC E4 ; timeOut=True"), 1);
  module.setReplyDelayUs(5'000);
  runFor(1000);
  EXPECT_FALSE(events.data.empty());
}

TEST_F(FichtSession, AModuleThatGoesQuietEndsTheLoopAndTheWatchdogStartsANewSession) {
  module.storeValue(0x40, 1500, 2);
  ASSERT_TRUE(connect());
  watch(1, 0x40, 2);
  runFor(1000);
  module.injectSilence(sim::ficht::kAnyAddress, sim::ficht::kForever);
  runFor(5000);
  EXPECT_GE(traceCount("Lighting off Do5Baud"), 1);
  EXPECT_EQ(traceCount("-- Exiting FichtRequestLoop, runStatus=False"), 1);
  const auto stopped = events.data.size();
  runFor(3000);
  EXPECT_EQ(events.data.size(), stopped);

  module.clearInjections();
  runFor(5000);
  EXPECT_GT(events.data.size(), stopped + 10);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_EQ(traceCount("++ Entering FichtRequestLoop"), 2);
}

TEST_F(FichtSession, ClosingThePortOrChangingTheDeviceEndsTheLoop) {
  ASSERT_TRUE(connect());
  runFor(1000);
  ecu.InitComm(-1);
  runFor(1000);
  EXPECT_EQ(traceCount("-- Exiting FichtRequestLoop, runStatus=False"), 1);
  EXPECT_FALSE(form().commSerial.PortOpen());

  ecu.InitComm(1);
  runFor(1000);
  ecu.setDevice(ecuVisteon);
  line().clearLog();
  runFor(1000);
  EXPECT_EQ(traceCount("-- Exiting FichtRequestLoop, runStatus=True"), 1);
  EXPECT_EQ(requestsOnWire(FichtReadPayload(92, 1)), 0);
}

// The Ficht cable's loop-backs turn every other family away before anything is sent.
TEST_F(FichtSession, TheFichtCableIsTheWrongCableForTheOtherFamilies) {
  for (const std::int32_t device : {ecuMSE10, ecuMSE11, ecuVisteon, ecuMBE}) {
    SCOPED_TRACE(device);
    nextDevice(device);
    ecu.InitComm(1);
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuWrongCable});
    EXPECT_EQ(serverBytes(), "");
    EXPECT_TRUE(form().ignoreInput);
  }
  EXPECT_EQ(traceCount("isFicht= True"), 4);
  nextDevice(ecuFicht);  // and the Ficht session takes its input again
  ecu.InitComm(1);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_FALSE(form().ignoreInput);
}

}  // namespace
}  // namespace quorvan::testing

namespace quorvan::testing {
namespace {

// The module's answer to a request whose exchange failed may still be on its way; it
// belongs to no later request.
class FichtLateAnswers : public FichtFixture, public ::testing::WithParamInterface<int> {};

TEST_P(FichtLateAnswers, AreNotTakenForTheNextRequestsAnswer) {
  module.storeValue(0x40, 0x11, 1);
  module.storeValue(0x44, 0x22, 1);
  module.setReplyDelayUs(60'000);  // a slow module: a stale answer has time to slip in
  ASSERT_TRUE(connect());
  watch(1, 0x40, 1);
  watch(2, 0x44, 1);
  runFor(500);
  for (int i = 0; i < 5; ++i) {
    module.injectLateReply(0x40, static_cast<std::uint64_t>(GetParam()) * 1000);
    runFor(1500);
  }
  ASSERT_FALSE(events.data.empty());
  for (const auto& d : events.data) {
    EXPECT_EQ(d.value, Variant(d.itemNum == 1 ? 0x11 : 0x22)) << "item " << d.itemNum;
  }
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// A stray lead byte just ahead of the answer 01 01 03 05 makes 01 01 01 03 look whole:
// the answer's own last byte, hard behind it, gives it away.
TEST_F(FichtSession, AnAnswerBehindAStrayLeadByteIsNotTakenForAValue) {
  module.storeValue(0x40, 0x03, 1);
  ASSERT_TRUE(connect());
  watch(1, 0x40, 1);
  runFor(200);
  module.injectStrayByte(0x40, 0x01, 5);
  runFor(8000);  // a failed exchange is followed by a second of quiet line
  EXPECT_EQ(traceCount("<< Invalid pkt from Ficht: 01 01 01 03 05 "), 5) << traceDump();
  ASSERT_FALSE(events.data.empty());
  for (const auto& d : events.data) EXPECT_EQ(d.value, Variant(3));
}

// Late by this many milliseconds: past the reply window by a little, by most of it, or
// by more than a whole window (a late answer that a slow line held up further).
INSTANTIATE_TEST_SUITE_P(Late, FichtLateAnswers, ::testing::Values(290, 400, 600));

}  // namespace
}  // namespace quorvan::testing
