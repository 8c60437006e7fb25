// An MBE session as the client and the wire see it: identification from the module's
// memory, values in the module's byte order, fault bytes as codes, what the loop does
// with client requests, and the cable tests ahead of it all.
#include <gtest/gtest.h>

#include "MbeFixture.h"
#include "kline/Format.h"

namespace quorvan::testing {
namespace {

constexpr std::int32_t kFaultItem = 0x10000;  // times the fault bytes to read

class MbeSession : public MbeFixture {};

TEST_F(MbeSession, TheModuleIsIdentifiedFromItsMemoryAt4800BitsAndTheLoopStartsAtTheFirstTick) {
  ASSERT_TRUE(connect()) << traceDump();
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
  EXPECT_EQ(ecu.idHardware(), "9A4 V3.12");  // the first byte of the text is not the name
  EXPECT_EQ(ecu.idSoftware(), "MBE Controller");
  EXPECT_EQ(ecu.idCustomer(), "Victory");
  EXPECT_EQ(traceCount("++ Starting MBE-EMM: IdInfo=E9A4 V3.12"), 1);
  ASSERT_EQ(readAddresses(), std::vector<std::uint16_t>{kIdAddress});
  EXPECT_EQ(line().wireLog().front().bitRate, 4800u);
  // Nothing else goes out before the sample-rate tick starts the loop.
  runFor(150);
  EXPECT_EQ(readAddresses().size(), 1u);
  runFor(700);
  EXPECT_EQ(traceCount("++ Entering MBERequestLoop, runs @fullSpeed until shutDown"), 1);
  EXPECT_EQ(readAddresses().back(), kKeepAlive);  // no items: the keep-alive read
}

TEST_F(MbeSession, TheOtherFamiliesCablesAreTurnedAwayWithoutAByteSent) {
  for (const auto cable : {sim::CableKind::Ficht, sim::CableKind::Smart}) {
    SCOPED_TRACE(std::string(sim::CableName(cable)));
    nextDevice(ecuMBE);
    line().setCable(cable);
    ecu.InitComm(1);
    EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuWrongCable});
    EXPECT_TRUE(line().wireLog().empty());
  }
}

TEST_F(MbeSession, AModuleThatDoesNotAnswerItsIdentificationGetsNoLoopAndTheWatchdogTriesAgain) {
  module.injectSilence(kAnyAddress, kForever);
  EXPECT_FALSE(connect());
  EXPECT_EQ(events.statuses,
            (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuNoCableOrPower}));
  EXPECT_EQ(traceCount("++ Starting MBE-EMM: IdInfo=0"), 1);
  EXPECT_EQ(ecu.idHardware(), "UNKNOWN");
  runFor(2100);
  EXPECT_EQ(readAddresses(), (std::vector<std::uint16_t>{kIdAddress, kIdAddress}));
  EXPECT_EQ(traceCount("++ Entering MBERequestLoop"), 0);

  module.clearInjections();
  EXPECT_TRUE(loop.runUntil([&] { return readAddresses().back() == kKeepAlive; }, 5000));
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_EQ(ecu.idSoftware(), "MBE Controller");
}

struct ValueCase {
  const char* name;
  std::uint16_t address;
  std::string stored;  // as the module keeps it
  std::int16_t size;   // of the watch item
  Variant value;
};

class MbeValues : public MbeFixture, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(MbeValues, AreDeliveredAsTheModuleKeepsThem) {
  const ValueCase& c = GetParam();
  module.storeBytes(c.address, c.stored);
  ASSERT_TRUE(connect());
  watch(1, c.address, c.size, ecuData);
  runFor(500);
  ASSERT_FALSE(events.data.empty()) << traceDump();
  for (const RecordedData& d : events.data) {
    EXPECT_EQ(d.itemNum, 1);
    EXPECT_EQ(d.value, c.value);
  }
  EXPECT_EQ(readAddresses().back(), c.address);
}

INSTANTIATE_TEST_SUITE_P(
    MbeSession, MbeValues,
    ::testing::Values(
        ValueCase{"TwoBytesLowByteFirst", 0x40, Bytes({0x34, 0x12}), 2, Variant(0x1234)},
        ValueCase{"ANegativeSizeReadsAsMany", 0x40, Bytes({0x34, 0x12}), -2, Variant(0x1234)},
        ValueCase{"OneByteUnsigned", 0x43, Bytes({0xFF}), 1, Variant(255)},
        ValueCase{"LongerReadingsAsTheirBytes", 0x0100, Bytes({0x00, 0x41, 0x42, 0xFF, 0x00}), 5,
                  Variant(Bytes({0x00, 0x41, 0x42, 0xFF, 0x00}))}),
    [](const auto& info) { return info.param.name; });

TEST_F(MbeSession, AReplyOfAnotherLengthThanTheItemsFailsTheExchangeAndDeliversNothing) {
  module.storeBytes(0x0100, std::string(11, 'x'));  // eleven bytes where ten are asked for
  module.storeBytes(0x0200, Bytes({0x01}));         // one where two are
  ASSERT_TRUE(connect());
  watch(1, 0x0100, 10, ecuData);
  watch(2, 0x0200, 2, ecuData);
  events.statuses.clear();
  runFor(3000);  // each failed read also waits a second for the line to go quiet
  EXPECT_TRUE(events.data.empty());
  ASSERT_FALSE(events.statuses.empty());
  EXPECT_EQ(events.statuses.front(), ecuNoCableOrPower);
  EXPECT_GE(traceCount("<< Got from MBE: 78 78 78 78 78 78 78 78 78 78 78 ; timedOut! "), 1);
  EXPECT_GE(traceCount("<< Got from MBE: 01 ; timedOut! "), 1);
}

struct FaultCase {
  const char* name;
  std::int32_t kind;  // the fault bytes the item reads
  std::vector<std::uint16_t> reads;
  const char* codes;
};

class MbeFaults : public MbeFixture, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MbeFaults, AreReadByteByByteAndReportedAsCurrentThenHistoryCodes) {
  const FaultCase& c = GetParam();
  module.setFaultHistory(0x80);
  module.setCurrentFaults(0x05);  // also enters the history: 0x85
  ASSERT_TRUE(connect());
  line().clearLog();
  watch(1, c.kind * kFaultItem, 1, ecuFaults);
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 1000)) << traceDump();
  EXPECT_EQ(events.faults.front(), c.codes);
  EXPECT_EQ(events.log.back(), "NewFaults(1," + std::string(c.codes) + ")");
  EXPECT_EQ(readAddresses(), c.reads);
}

INSTANTIATE_TEST_SUITE_P(
    MbeSession, MbeFaults,
    ::testing::Values(
        FaultCase{"CurrentAndHistory", 3, {kCurrentFaults, kFaultHistory}, "C01/C03/H01/H03/H08/"},
        FaultCase{"CurrentOnly", 2, {kCurrentFaults}, "C01/C03/"},
        FaultCase{"HistoryOnly", 1, {kFaultHistory}, "H01/H03/H08/"}),
    [](const auto& info) { return info.param.name; });

TEST_F(MbeSession, NoFaultsAreReportedAsAnEmptyList) {
  module.setFaultHistory(0x00);
  module.setCurrentFaults(0x00);
  ASSERT_TRUE(connect());
  watch(1, 3 * kFaultItem, 1, ecuFaults);
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 1000));
  EXPECT_EQ(events.faults.front(), "");
}

// A fault byte that did not come is not "no faults": the item is reported only when
// both of its bytes were read.
TEST_F(MbeSession, AFaultItemWhoseByteDidNotComeIsNotReported) {
  ASSERT_TRUE(connect());
  module.injectSilence(kCurrentFaults, 1);
  watch(1, 3 * kFaultItem, 1, ecuFaults);
  ASSERT_TRUE(loop.runUntil([&] { return !events.faults.empty(); }, 2000));
  EXPECT_EQ(events.faults, std::vector<std::string>{"C01/C03/H01/H03/H08/"});
  EXPECT_EQ(readAddresses().size(), 1u + 4u);  // identification, then two reads per pass
}

// Reports the number of reads on the wire when the faults are declared cleared.
class ClearWatcher : public EventRecorder {
 public:
  explicit ClearWatcher(std::function<std::size_t()> reads) : reads_(std::move(reads)) {}
  void FaultsCleared(bool success) override {
    readsAtClear.push_back(reads_());
    EventRecorder::FaultsCleared(success);
  }
  std::vector<std::size_t> readsAtClear;

 private:
  std::function<std::size_t()> reads_;
};

TEST_F(MbeSession, ClearFaultsIsAnsweredWithFailureWithoutAnExchangeAndCommandsAreLeftAlone) {
  ClearWatcher watcher([this] { return reads().size(); });
  ecu.addSink(&watcher);
  ASSERT_TRUE(connect());
  watch(1, 0x43, 1, ecuData);
  runFor(300);
  const std::size_t readsBefore = reads().size();
  ecu.ClearFaults();
  ecu.command(5);
  runFor(300);
  EXPECT_EQ(events.cleared, std::vector<bool>{false});
  EXPECT_EQ(watcher.readsAtClear, std::vector<std::size_t>{readsBefore});
  EXPECT_FALSE(form().clearPending);
  EXPECT_EQ(form().commandRequested, 5);
  EXPECT_GT(reads().size(), readsBefore);  // the loop goes on
  EXPECT_EQ(module.faultHistory(), 0x85);
  ecu.removeSink(&watcher);
}

// A flash request would leave the client at flashBusy and the watchdog idle: refused.
TEST_F(MbeSession, AFlashRequestIsRefusedAndTheLoopGoesOn) {
  ASSERT_TRUE(connect());
  watch(1, 0x43, 1, ecuData);
  runFor(300);
  EXPECT_EQ(ecu.FlashInit(), 0);
  runFor(300);
  EXPECT_EQ(ecu.FlashStatus(), flashFailedPrep);
  const std::size_t values = events.data.size();
  runFor(300);
  EXPECT_GT(events.data.size(), values);
}

TEST_F(MbeSession, ClosingThePortEndsTheLoop) {
  ASSERT_TRUE(connect());
  watch(1, 0x43, 1, ecuData);
  runFor(500);
  ecu.InitComm(-1);
  const std::size_t readsAtClose = reads().size();
  runFor(3000);
  EXPECT_EQ(reads().size(), readsAtClose);
  EXPECT_EQ(traceCount("-- Exiting MBERequestLoop, runStatus=False"), 1);
  EXPECT_FALSE(globals.gMbeRunning);
}

}  // namespace
}  // namespace quorvan::testing
