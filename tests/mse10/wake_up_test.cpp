#include <gtest/gtest.h>

#include "mse10/Mse10Fixture.h"
#include "support/FamilyState.h"

namespace quorvan::testing {
namespace {

class WakeUp : public Mse10Fixture {
 protected:
  // Each of `count` controller frames from `first` on is answered by its complement,
  // which starts on the third millisecond tick after the byte arrived: the answer
  // spins (never yields) for interByteDelay + 1 ms on the millisecond clock.
  void expectComplementsOf(std::size_t first, std::size_t count) {
    const auto ecuBytes = wireFrom(sim::WireEnd::Vehicle);
    ASSERT_LE(first + count, ecuBytes.size());
    for (std::size_t i = first; i < first + count; ++i) {
      SCOPED_TRACE("controller byte #" + std::to_string(i));
      const sim::WireByte& in = ecuBytes[i];
      const sim::WireByte* out = serverFrameAfter(in.endUs);
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(out->sent, Complement(in.sent));
      const std::uint64_t gapUs = out->startUs - in.endUs;
      EXPECT_GT(gapUs, 2'000u);
      EXPECT_LE(gapUs, 3'000u + VirtualClock::kSpinStepUs);
      EXPECT_EQ(out->startUs / 1000 - in.endUs / 1000, 3u);
    }
  }
};

// With tracing on and off: the receive path must not depend on the trace.
TEST_F(WakeUp, ReachesCommOkAfterTheRefusedAdaptivePassAndThreeIdentificationBlocks) {
  for (const bool debug : {true, false}) {
    SCOPED_TRACE(debug ? "debug" : "quiet");
    scriptWakeUpAndIdentification();
    if (!globals.frmHidden) startWith(ecuMSE10, debug);
    ecu.setDebugMode(debug);
    events.statuses.clear();
    ecu.InitComm(1);
    ASSERT_TRUE(play()) << traceDump();
    EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
    EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuInitializing, ecuCommOK}));
    EXPECT_EQ(ecu.idHardware(), kHardwareId);
    EXPECT_EQ(ecu.idSoftware(), kSoftwareId);
    EXPECT_EQ(ecu.idCustomer(), kCustomerId);
    EXPECT_EQ(Mse10State(form()).prologPass, 2);
    EXPECT_EQ(Mse10State(form()).timeOut40, 47);
    EXPECT_EQ(Mse10State(form()).timeOut80, 80);
    EXPECT_EQ(Mse10State(form()).timeOut3, 125);
    EXPECT_TRUE(alerts.boxes.empty());
  }
}

// A client call that arrives while the address pattern goes out waits until the wake-up
// is over: run inside it, InitComm(-1) would close the port under the wake-up.
TEST_F(WakeUp, AClientCallDuringThePatternRunsAfterTheWakeUp) {
  scriptWakeUpAndIdentification();
  startWith(ecuMSE10);
  bool closeRan = false;
  clock.schedule(clock.nowUs() + 1'800'000, [&] {
    loop.post([&] {
      ecu.InitComm(-1);
      closeRan = true;
    });
  });
  ecu.InitComm(1);
  EXPECT_FALSE(closeRan);  // not inside the wake-up
  EXPECT_TRUE(form().breakReceived);
  runFor(10);
  EXPECT_TRUE(closeRan);
  EXPECT_FALSE(form().commSerial.PortOpen());
  EXPECT_EQ(traceCount("We died at"), 0);
  EXPECT_TRUE(alerts.boxes.empty());
}

// Pass 1 confirms with one more than the complement of the third prolog byte (0x8A);
// the controller refuses it and answers again, and pass 2 confirms with 0x75.
TEST_F(WakeUp, ThePrologIsConfirmedOnTheSixthByteFromTheThird) {
  scriptWakeUpAndIdentification();
  connect();
  ASSERT_TRUE(play()) << traceDump();
  const auto ecuBytes = wireFrom(sim::WireEnd::Vehicle);
  ASSERT_GE(ecuBytes.size(), 12u);
  for (const std::size_t sixth : {std::size_t{5}, std::size_t{11}}) {
    const sim::WireByte* answer = serverFrameAfter(ecuBytes[sixth].endUs);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->sent, sixth == 5 ? 0x76 : 0x75);
    EXPECT_LE(answer->startUs - ecuBytes[sixth].endUs, 1'000u + VirtualClock::kSpinStepUs);
    // Nothing was answered before the sixth byte.
    EXPECT_GT(answer->startUs, ecuBytes[sixth].endUs);
  }
  EXPECT_EQ(Mse10State(form()).blockCounter, 6);
  EXPECT_EQ(Mse10State(form()).gIdentCount, 3);
}

TEST_F(WakeUp, EveryControllerByteIsAnsweredThreeMillisecondsAfterItArrives) {
  scriptWakeUpAndIdentification();
  connect();
  ASSERT_TRUE(play()) << traceDump();
  const std::size_t blockBytes = 3 + std::string(kHardwareId).size();
  // The first identification block follows the two six-byte prologs.
  expectComplementsOf(12, blockBytes);
}

// An acknowledge right after the prolog: 03 01 09 answered FC FE F6, the end byte not
// answered; with nothing watched our acknowledge follows 400 ms later.
TEST_F(WakeUp, AnAcknowledgeBlockIsAnsweredByteByByteButNotItsEndByte) {
  scriptWakeUp().ecuBlock(Bytes({0x03, 0x01, 0x09})).serverBlock(Block(2, 0x09));
  connect();
  ASSERT_TRUE(play()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  expectComplementsOf(12, 3);
  const auto ecuBytes = wireFrom(sim::WireEnd::Vehicle);
  const sim::WireByte& endByte = ecuBytes[15];
  ASSERT_EQ(endByte.sent, 0x03);
  const sim::WireByte* next = serverFrameAfter(endByte.endUs);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->sent, 0x03);  // the length of our acknowledge, not a complement
  EXPECT_GE(next->startUs - endByte.endUs, 400'000u);
  EXPECT_LE(next->startUs - endByte.endUs, 406'000u);
  EXPECT_EQ(Mse10State(form()).gIdentCount, 0);
  EXPECT_TRUE(form().activity);
}

}  // namespace
}  // namespace quorvan::testing
