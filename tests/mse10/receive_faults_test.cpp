#include <gtest/gtest.h>

#include "mse10/Mse10Fixture.h"
#include "support/FamilyState.h"

// Faults in the controller's blocks: the server abandons the block being received and
// takes up the controller's next attempt, without a new wake-up unless the controller
// has plainly dropped the link.
namespace quorvan::testing {
namespace {

// The controller's bytes before its first block: two six-byte prologs.
constexpr std::size_t kPrologBytes = 12;
// A controller waits this long for a complement before it starts its block again.
constexpr std::uint64_t kEcuRetryUs = 60'000;

class ReceiveFaults : public Mse10Fixture {
 protected:
  // The controller starts its acknowledge block again and the server answers it.
  void scriptRetryAndAnswer() {
    script.pause(kEcuRetryUs).ecuBlock(Bytes({0x03, 0x01, 0x09})).serverBlock(Block(2, 0x09));
  }

  void expectRecoveredWithoutWakeUp() {
    EXPECT_TRUE(script.finished()) << traceDump();
    EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
    EXPECT_EQ(wakeUps(), 1u);
  }

  // The server put nothing on the wire for controller byte #i: its next byte is the
  // complement of the retried block's length byte.
  void expectUnanswered(std::size_t i) {
    const auto ecuBytes = wireFrom(sim::WireEnd::Vehicle);
    ASSERT_LT(i + 1, ecuBytes.size());
    const sim::WireByte* next = serverFrameAfter(ecuBytes[i].endUs);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->sent, 0xFC);
    EXPECT_GT(next->startUs, ecuBytes[i + 1].endUs);
  }

  // Keeps the server's thread busy for a moment (a slow client call), so that the
  // controller's next bytes arrive together in one receive event.
  void keepServerBusy(std::uint64_t us) {
    loop.post([this, us] {
      clock.sleepUs(us);
      busyEndUs = clock.nowUs();
    });
  }

  std::uint64_t busyEndUs = 0;
};

class BadLength : public ReceiveFaults, public ::testing::WithParamInterface<int> {};

TEST_P(BadLength, AbandonsTheBlockWithoutAnswering) {
  const int length = GetParam();
  scriptWakeUp().send(static_cast<std::uint8_t>(length));
  scriptRetryAndAnswer();
  connect();
  play();
  expectRecoveredWithoutWakeUp();
  expectUnanswered(kPrologBytes);
  EXPECT_EQ(ringCount("!ReStart: blkSize=" + std::to_string(length) + " (OK: 3-15)"), 1);
  EXPECT_EQ(Mse10State(form()).ecuResyncs, 1);
}

INSTANTIATE_TEST_SUITE_P(TooShortOrTooLong, BadLength, ::testing::Values(2, 16));

// The counter byte 06 is wrong (1 expected): it is taken as the length of a new block,
// which is how the controller meant it.
TEST_F(ReceiveFaults, AWrongCounterIsTakenAsTheLengthOfANewBlock) {
  scriptWakeUp().send(0x03).expect(0xFC);
  script.ecuBlock(Block(1, 0xF6, "ABC")).serverBlock(Block(2, 0x09));
  connect();
  play();
  expectRecoveredWithoutWakeUp();
  EXPECT_EQ(ringCount("!ReStart: bad blk# 6 (me=0)"), 1);
  EXPECT_EQ(ecu.idHardware(), "ABC");
  EXPECT_EQ(Mse10State(form()).ecuResyncs, 1);
}

TEST_F(ReceiveFaults, ALateByteInsideABlockIsNotAnswered) {
  scriptWakeUp().send(0x03).expect(0xFC).send(0x01, 60'000);
  scriptRetryAndAnswer();
  connect();
  play();
  expectRecoveredWithoutWakeUp();
  expectUnanswered(kPrologBytes + 1);
  EXPECT_EQ(Mse10State(form()).ecuHSslow, 1);
  EXPECT_EQ(ringCount("!ReStart: Arrived late (6"), 1);
}

// On the standard pass a gap of more than 165 ms inside a block means the controller
// has given up: the link is woken again.
TEST_F(ReceiveFaults, AVeryLongGapInsideABlockWakesTheControllerAgain) {
  scriptWakeUp().send(0x03).expect(0xFC).send(0x01).expect(0xFE).send(0x09, 200'000);
  scriptWakeUpAndIdentification();
  connect();
  play();
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(wakeUps(), 2u);
  ASSERT_FALSE(events.notes.empty());
  EXPECT_EQ(events.notes[0].rfind("Restarting(Slave): Very long delay = 20", 0), 0u);
  EXPECT_NE(events.notes[0].find(" mS, inCount=2"), std::string::npos);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// A controller that takes the adaptive confirmation keeps the long pass-1 windows.
TEST_F(ReceiveFaults, OnTheAdaptivePassALongGapIsOnlyNoted) {
  script.awaitWakeUp().prologAnswer().expect(0x76);
  script.send(0x03).expect(0xFC).send(0x01).expect(0xFE).send(0x09, 200'000).expect(0xF6);
  script.send(0x03).serverBlock(Block(2, 0x09));
  connect();
  play();
  expectRecoveredWithoutWakeUp();
  EXPECT_EQ(Mse10State(form()).prologPass, 1);
  EXPECT_EQ(Mse10State(form()).timeOut40, 400);
  EXPECT_EQ(ringCount("!! Recovery400(@R) from very long delay = 20"), 1);
}

class SurplusBytes : public ReceiveFaults, public ::testing::WithParamInterface<int> {};

// Two or three controller bytes in one receive event with no echo due: the reception
// starts again from the last byte, answered at once since it is late already.
TEST_P(SurplusBytes, RestartTheBlockFromTheLastByte) {
  const int n = GetParam();
  scriptWakeUp().pause(1'000).call([this] { keepServerBusy(6'000); });
  script.sendAll(std::string(static_cast<std::size_t>(n - 1), '\x77'), 0).send(0x03, 0);
  script.expect(0xFC).send(0x01).expect(0xFE).send(0x09).expect(0xF6).send(0x03);
  script.serverBlock(Block(2, 0x09));
  connect();
  play();
  expectRecoveredWithoutWakeUp();
  const std::string got = "ReStart: got " + std::to_string(n) + " from ECU";
  EXPECT_EQ(ringCount("!" + got), 1);
  ASSERT_EQ(events.notes.size(), 1u);
  EXPECT_EQ(events.notes[0].rfind(got + ", elapsed=", 0), 0u);
  EXPECT_NE(events.notes[0].find(" mS; gElapsed = "), std::string::npos);
  const sim::WireByte* answer = serverFrameAfter(busyEndUs);
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer->sent, 0xFC);
  EXPECT_EQ(answer->startUs, busyEndUs);  // no answer gap
}

INSTANTIATE_TEST_SUITE_P(TwoAndThree, SurplusBytes, ::testing::Values(2, 3));

class MoreThanThree : public ReceiveFaults {
 protected:
  void scriptFourBytesAtOnce() {
    scriptWakeUp().pause(1'000).call([this] { keepServerBusy(6'000); });
    script.sendAll(Bytes({0x77, 0x77, 0x77, 0x03}), 0);
  }
};

// With tracing on the failure stops the pump and shows the trace for inspection.
TEST_F(MoreThanThree, BytesInOneEventStopThePumpForInspectionWhenTracing) {
  scriptFourBytesAtOnce();
  scriptRetryAndAnswer();
  connect(ecuMSE10, true);
  play(3'000);
  ASSERT_EQ(alerts.boxes.size(), 1u);
  EXPECT_EQ(alerts.boxes[0].text,
            "Error #80040002 in Quorvan input handler\r\n"
            "  DIED AFTER... entering Slave mode\r\n"
            "  ecuHSmissing=0\r\n  ecuHSslow=0\r\n  ecuNAKs=0\r\n  ecuHSwrong=0\r\n"
            "  ecuOutSlow=0\r\n  ecuResyncs=0\r\n  ecuOflows=0\r\n  ecuTimeouts=0");
  EXPECT_EQ(alerts.boxes[0].buttons, 0);
  EXPECT_EQ(alerts.boxes[0].title, "");
  EXPECT_TRUE(form().haveShutDown);
  EXPECT_TRUE(form().Visible);
  EXPECT_FALSE(script.finished());  // nothing answers the retried block
}

TEST_F(MoreThanThree, BytesInOneEventAreDroppedSilentlyWithoutTracing) {
  scriptFourBytesAtOnce();
  scriptRetryAndAnswer();
  connect(ecuMSE10, false);
  play();
  expectRecoveredWithoutWakeUp();
  EXPECT_TRUE(alerts.boxes.empty());
  EXPECT_FALSE(form().haveShutDown);
}

class ResyncOverflow : public ReceiveFaults, public ::testing::WithParamInterface<bool> {};

// The abandoned-block counter starts again at 1 and counts an overflow; only with
// tracing on does the pump stop to show the trace.
TEST_P(ResyncOverflow, StartsTheCounterAgain) {
  const bool tracing = GetParam();
  scriptWakeUp().send(0x10);
  scriptRetryAndAnswer();
  connect(ecuMSE10, tracing);
  Mse10State(form()).ecuResyncs = 32767;
  play(3'000);
  EXPECT_EQ(Mse10State(form()).ecuResyncs, 1);
  EXPECT_EQ(Mse10State(form()).ecuOflows, 1);
  EXPECT_EQ(form().haveShutDown, tracing);
  EXPECT_EQ(script.finished(), !tracing);
}

INSTANTIATE_TEST_SUITE_P(TracingOnAndOff, ResyncOverflow, ::testing::Bool());

}  // namespace
}  // namespace quorvan::testing
