#include <gtest/gtest.h>

#include "mse10/Mse10Fixture.h"
#include "support/FamilyState.h"

// Faults in the controller's answers to our blocks: a late, very late or wrong
// complement makes the server send its whole block again with the same counter; a
// controller that takes more than a second, or none at all, is woken again.
namespace quorvan::testing {
namespace {

// Controller bytes before its complement of our first block byte: the two prologs and
// its acknowledge block (03 01 09 03).
constexpr std::size_t kFirstComplement = 16;
// From hearing our byte to sending its complement, so that the complement arrives
// `ms` after our byte started: two frames of 1042 us each lie in between.
constexpr std::uint64_t answerGapFor(std::uint64_t ms) {
  return ms * 1000 - 2 * 1042;
}

class Handshake : public Mse10Fixture {
 protected:
  // Wake-up, the controller's acknowledge, then our acknowledge's length byte.
  void scriptUpToOurFirstByte() { scriptWakeUp().ecuBlock(Bytes({0x03, 0x01, 0x09})).expect(0x03); }
  // The link goes on: our block again in full, then one more exchange.
  void scriptResendAndGoOn() {
    script.serverBlock(Block(2, 0x09));
    script.ecuBlock(Block(3, 0x09)).serverBlock(Block(4, 0x09));
  }
};

struct ComplementFault {
  const char* name;
  std::uint8_t complement;  // what the controller answers to our 03
  std::uint64_t arrivesAfterMs;
  const char* traceLine;
  std::int32_t Mse10Link::*counter;
  std::uint64_t resendFromMs, resendToMs;  // after the complement arrived
};

void PrintTo(const ComplementFault& c, std::ostream* os) {
  *os << c.name;
}

class ComplementFaults : public Handshake, public ::testing::WithParamInterface<ComplementFault> {};

TEST_P(ComplementFaults, ResendTheWholeBlock) {
  const ComplementFault& c = GetParam();
  scriptUpToOurFirstByte();
  script.send(c.complement, answerGapFor(c.arrivesAfterMs));
  scriptResendAndGoOn();
  connect();
  play();
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(wakeUps(), 1u);
  EXPECT_EQ(ringCount(c.traceLine), 1);
  if (c.counter) {
    EXPECT_EQ(Mse10State(form()).*c.counter, 1);
  }
  const sim::WireByte complement = wireFrom(sim::WireEnd::Vehicle)[kFirstComplement];
  const sim::WireByte* resent = serverFrameAfter(complement.endUs);
  ASSERT_NE(resent, nullptr);
  EXPECT_EQ(resent->sent, 0x03);
  EXPECT_GE(resent->startUs - complement.endUs, c.resendFromMs * 1000);
  EXPECT_LE(resent->startUs - complement.endUs, c.resendToMs * 1000);
}

// 48 ms on the standard pass is slow: the wait makes up 120 ms in all. Past 125 ms the
// block goes again at once. A wrong complement waits 10 + 80 ms.
INSTANTIATE_TEST_SUITE_P(
    , ComplementFaults,
    ::testing::Values(ComplementFault{"Slow", 0xFC, 48, "!Recover/OS, after 72",
                                      &Mse10Link::ecuOutSlow, 72, 77},
                      ComplementFault{"VeryLate", 0xFC, 130,
                                      "!Recover(@T) after 125+ delay = 130 mS", nullptr, 0, 0},
                      ComplementFault{"Wrong", 0xFD, 3, "!Recover/WC, after 10+80/800",
                                      &Mse10Link::ecuHSwrong, 90, 95}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Handshake, AnswerAfterMoreThanASecondWakesTheControllerAgain) {
  scriptUpToOurFirstByte();
  script.send(0xFC, answerGapFor(1001));
  scriptWakeUpAndIdentification();
  connect();
  play();
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(wakeUps(), 2u);
  // The new wake-up wrote the ring to the trace-back file.
  EXPECT_NE(traceBackFile().find("!ReIniting(@T) after huge delay = 1001 mS"), std::string::npos);
  ASSERT_EQ(events.notes.size(), 1u);
  EXPECT_EQ(
      events.notes[0].rfind("ReIniting(Master) after huge ECU delay = 1001 mS; gElapsed = ", 0),
      0u);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// No complement comes: nothing more happens on the wire until the watchdog finds the
// link quiet and wakes the controller again.
TEST_F(Handshake, AMissingComplementIsLeftToTheWatchdog) {
  scriptUpToOurFirstByte();
  scriptWakeUpAndIdentification();
  connect();
  play(15'000);
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(wakeUps(), 2u);
  EXPECT_EQ(traceCount("Lighting off Do5Baud in WatchDog_Timer"), 1);
  EXPECT_EQ(events.statuses,
            (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuInitializing, ecuCommOK}));
}

// A receive event that finds nothing waiting (the serial control may raise one after an
// earlier event took its bytes) stands for a complement that went missing: the block
// goes again timeOut40 + 10 ms later.
TEST_F(Handshake, AnEmptyReceiveEventResendsTheBlock) {
  std::uint64_t eventUs = 0;
  scriptUpToOurFirstByte();
  script.pause(2'000).call([&] {
    loop.post([&] {
      eventUs = clock.nowUs();
      form().family().Receive(form());
    });
  });
  scriptResendAndGoOn();
  connect();
  play();
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(Mse10State(form()).ecuHSmissing, 1);
  EXPECT_EQ(ringCount("!Recover/howMany=0 (@T): HS missing"), 1);
  const sim::WireByte* resent = serverFrameAfter(eventUs);
  ASSERT_NE(resent, nullptr);
  EXPECT_EQ(resent->sent, 0x03);
  EXPECT_GE(resent->startUs - eventUs, 57'000u);
  EXPECT_LE(resent->startUs - eventUs, 62'000u);
  EXPECT_EQ(wakeUps(), 1u);
}

// The controller falls silent before it answers a clear: the clear has failed, and the
// acknowledges of the new session do not count as its answer.
TEST_F(Handshake, AClearLeftUnansweredByALostLinkIsReportedFailed) {
  scriptWakeUpAndIdentification().ecuBlock(Block(7, 0x09)).serverBlock(Block(8, 0x05));
  scriptWakeUpAndIdentification().ecuBlock(Block(7, 0x09)).serverBlock(Block(8, 0x09));
  connect();
  ecu.ClearFaults();
  play(15'000);
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(wakeUps(), 2u);
  EXPECT_EQ(events.cleared, std::vector<bool>{false});
}

// After a NAK with counter c our next block carries c - 1 again. Each NAK is counted
// twice, by the pump (which numbers its trace line) and by the scheduler.
TEST_F(Handshake, ANakMakesOurNextBlockRepeatTheRefusedCounter) {
  scriptWakeUp().ecuBlock(Bytes({0x03, 0x01, 0x09})).serverBlock(Block(2, 0x09));
  script.ecuBlock(Block(3, 0x0A)).serverBlock(Block(2, 0x09));
  script.ecuBlock(Block(3, 0x0A)).serverBlock(Block(2, 0x09));
  script.ecuBlock(Block(3, 0x09)).serverBlock(Block(4, 0x09));
  connect();
  play();
  EXPECT_TRUE(script.finished()) << traceDump();
  EXPECT_TRUE(script.mismatches().empty()) << ::testing::PrintToString(script.mismatches());
  EXPECT_EQ(Mse10State(form()).ecuNAKs, 4);
  EXPECT_EQ(ringCount("!Got NAK #1 on blk=3"), 1);
  EXPECT_EQ(ringCount("!Got NAK #3 on blk=3"), 1);
  EXPECT_EQ(wakeUps(), 1u);
}

}  // namespace
}  // namespace quorvan::testing
