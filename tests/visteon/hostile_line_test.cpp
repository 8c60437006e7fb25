#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "support/FamilyState.h"
#include "visteon/VisteonFixture.h"

// A line that carries garbage: nothing that is not a whole, correct reply becomes a value,
// counts as a working link, or decides the status the client is left with.
namespace quorvan::testing {
namespace {

class HostileLine : public VisteonFixture {
 protected:
  // Connected, with engine speed watched at 0x1234.
  void pollEngineSpeed(bool debug = true) {
    ecuSim.setPid(0x0C, 0x1234);
    ASSERT_TRUE(connect(debug));
    ecu.AddItem(1, 0x010C, 2, ecuData);
    ecu.Watch(1, 1);
  }
  void expectOnlyTheTrueValue() {
    for (const auto& d : events.data) {
      EXPECT_THAT(d.value.value, ::testing::VariantWith<std::int32_t>(0x1234));
    }
  }
};

// A byte spoilt on the way: the checksum tells, and the reply is no value.
TEST_F(HostileLine, AReplyWithAWrongChecksumIsNoValue) {
  pollEngineSpeed();
  ecuSim.injectCorruptedReply(0x01, 0, 3);
  events.data.clear();
  ASSERT_TRUE(loop.runUntil([&] { return events.data.size() >= 3; }, 5'000)) << traceDump();
  expectOnlyTheTrueValue();
  EXPECT_EQ(traceCount("** Discarding reply with a wrong checksum"), 3);
  EXPECT_EQ(VisteonState(form()).badReplies, 3);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

// Bursts of random bytes from the vehicle side while the server polls.
TEST_F(HostileLine, RandomBytesOnTheLineAreNeverDelivered) {
  pollEngineSpeed();
  std::mt19937 rng(7);
  for (int burst = 0; burst < 40; ++burst) {
    std::string noise;
    for (int i = 0; i < 1 + static_cast<int>(rng() % 40); ++i) {
      noise.push_back(static_cast<char>(rng() & 0xFF));
    }
    line().injectBytes(sim::WireEnd::Vehicle, noise);
    runFor(50 + rng() % 300);
  }
  runFor(3'000);
  expectOnlyTheTrueValue();
  ASSERT_FALSE(events.data.empty());
}

// Replies that never come whole do not keep the link "good": the watchdog wakes the
// controller again and the client learns that nothing usable comes back; once the
// controller answers properly, the link and the values come back by themselves.
TEST_F(HostileLine, UnusableRepliesAreNoActivity) {
  const struct {
    const char* name;
    void (*inject)(sim::VisteonEcu&);
  } cases[] = {
      {"garbled",
       [](sim::VisteonEcu& e) { e.injectGarbledReply(sim::visteon::kAnyService, 0, -1); }},
      {"cut short",
       [](sim::VisteonEcu& e) { e.injectTruncatedReply(sim::visteon::kAnyService, 5, 0, -1); }},
      {"wrong checksum",
       [](sim::VisteonEcu& e) { e.injectCorruptedReply(sim::visteon::kAnyService, 0, -1); }},
  };
  pollEngineSpeed();  // with the trace on, every spoilt reply is also dumped to the file
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.inject(ecuSim);
    events.statuses.clear();
    ASSERT_TRUE(loop.runUntil([&] { return !events.statuses.empty(); }, 6'000)) << traceDump();
    EXPECT_NE(events.statuses.back(), ecuCommOK);
    ecuSim.clearInjections();
    events.data.clear();
    ASSERT_TRUE(loop.runUntil([&] { return !events.data.empty(); }, 6'000)) << traceDump();
    EXPECT_EQ(events.statuses.back(), ecuCommOK);
    expectOnlyTheTrueValue();
  }
}

// Ten InitComm calls in a row, at various spacings: each one that arrives while an
// initialisation is under way waits for it, and the status the client is left with is
// the link's.
TEST_F(HostileLine, RapidInitCallsEndWithTheLinksTrueStatus) {
  pollEngineSpeed();
  for (unsigned spacingMs : {0u, 3u, 7u, 13u, 23u, 37u, 61u, 97u, 151u}) {
    SCOPED_TRACE(spacingMs);
    for (unsigned i = 0; i < 10; ++i) {
      clock.schedule(clock.nowUs() + 1'000u * spacingMs * i,
                     [this] { loop.post([this] { ecu.InitComm(1); }); });
    }
    runFor(4'000);
    EXPECT_EQ(events.statuses.back(), ecuCommOK) << traceDump();
    events.data.clear();
    runFor(1'000);
    EXPECT_FALSE(events.data.empty());
    expectOnlyTheTrueValue();
  }
}

// A reply that comes after its request was given up is taken in by the next exchange;
// it answers another item's request, so it is no value of this one. A refusal is no
// value either.
TEST_F(HostileLine, AStrayOrRefusingReplyIsNoValue) {
  ecuSim.setPid(0x05, 0x5A);
  pollEngineSpeed();
  ecu.AddItem(2, 0x0105, 1, ecuData);
  ecu.Watch(2, 1);
  ecuSim.injectLateReply(0x01, 450'000, 6);
  ecuSim.injectNegative(0x01, 0x12, 4);
  ecuSim.injectRoutineNotComplete(0x01, 3);
  runFor(10'000);
  ASSERT_FALSE(events.data.empty());
  for (const auto& d : events.data) {
    const std::int32_t expected = d.itemNum == 1 ? 0x1234 : 0x5A;
    EXPECT_THAT(d.value.value, ::testing::VariantWith<std::int32_t>(expected)) << d.itemNum;
  }
}

}  // namespace
}  // namespace quorvan::testing
