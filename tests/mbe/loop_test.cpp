// The free-running request loop on the virtual clock: its own pacing, the keep-alive
// read, the items' rate divisors, and what it does when the module goes quiet, answers
// wrongly or restarts.
#include <gtest/gtest.h>

#include <algorithm>

#include "MbeFixture.h"
#include "kline/Format.h"

namespace quorvan::testing {
namespace {

constexpr std::uint16_t kCoolant = 0x43;
constexpr std::uint16_t kThrottle = 0x42;
constexpr std::uint64_t kUsPerMs = 1000;

class MbeLoop : public MbeFixture {
 protected:
  // Milliseconds between the starts of consecutive reads of `address`.
  std::vector<std::uint64_t> gapsMs(std::uint16_t address) {
    std::vector<std::uint64_t> gaps;
    std::optional<std::uint64_t> last;
    for (const ReadOnWire& r : reads()) {
      if (r.address != address) continue;
      if (last) gaps.push_back((r.startUs - *last) / kUsPerMs);
      last = r.startUs;
    }
    return gaps;
  }
  std::size_t readsOf(std::uint16_t address) {
    const auto all = readAddresses();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), address));
  }
  std::size_t statusCount(std::int32_t status) {
    return static_cast<std::size_t>(
        std::count(events.statuses.begin(), events.statuses.end(), status));
  }
};

// The loop paces itself: a pause after each request and before each item, nothing more;
// the 200 ms sample-rate timer only starts it.
TEST_F(MbeLoop, RunsOneRequestAfterAnotherPacedByItsOwnPausesNotByTheSampleRateTimer) {
  ASSERT_TRUE(connect());
  watch(1, kCoolant, 1, ecuData);
  runFor(2000);
  const auto gaps = gapsMs(kCoolant);
  ASSERT_GT(gaps.size(), 40u) << "more than five requests per 200 ms";
  // Two pauses of 10 ms and the two request bytes at 4800 bit/s.
  EXPECT_GE(*std::min_element(gaps.begin(), gaps.end()), 24u);
  EXPECT_EQ(events.data.size(), readsOf(kCoolant));
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
}

TEST_F(MbeLoop, WithoutItemsTheKeepAliveReadIsSpacedByTheIdleDelayAndKeepsTheLinkUp) {
  ASSERT_TRUE(connect());
  runFor(6000);
  const auto gaps = gapsMs(kKeepAlive);
  ASSERT_GT(gaps.size(), 10u);
  EXPECT_GE(*std::min_element(gaps.begin(), gaps.end()), 400u);
  EXPECT_LT(*std::max_element(gaps.begin(), gaps.end()), 500u);
  EXPECT_EQ(traceCount("Lighting off Do5Baud in WatchDog_Timer"), 0);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_TRUE(events.data.empty());
}

TEST_F(MbeLoop, AnItemIsReadOnThePassesItsPriorityDivides) {
  ASSERT_TRUE(connect());
  watch(1, kCoolant, 1, ecuData, 1);
  watch(2, kThrottle, 1, ecuData, 3);
  runFor(3000);
  const std::size_t every = readsOf(kCoolant);
  const std::size_t third = readsOf(kThrottle);
  ASSERT_GT(third, 10u);
  EXPECT_GE(every, 3 * third - 3);
  EXPECT_LE(every, 3 * third + 3);
}

// The module goes quiet: each failed read is reported, the watchdog starts the session
// again (the loop ends with the session that found no answer); when the module answers
// again the session and the values come back.
TEST_F(MbeLoop, ASilentModuleIsReportedAndTheSessionComesBackWhenItAnswersAgain) {
  ASSERT_TRUE(connect());
  watch(1, kCoolant, 1, ecuData);
  runFor(500);
  events.statuses.clear();
  module.injectSilence(kAnyAddress, kForever);
  const std::size_t valuesBefore = events.data.size();
  runFor(6000);
  EXPECT_EQ(events.data.size(), valuesBefore);
  EXPECT_GE(statusCount(ecuNoCableOrPower), 3u);
  EXPECT_EQ(statusCount(ecuInitializing), 1u);
  EXPECT_EQ(traceCount("-- Exiting MBERequestLoop, runStatus=False"), 1);
  EXPECT_EQ(readAddresses().back(), kIdAddress);  // only the identification is tried

  module.clearInjections();
  ASSERT_TRUE(loop.runUntil([&] { return events.data.size() > valuesBefore; }, 5000));
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_EQ(traceCount("++ Entering MBERequestLoop"), 2);
}

struct WrongReplyCase {
  const char* name;
  void (*inject)(sim::MbeEcu&);
};

class MbeWrongReplies : public MbeLoop, public ::testing::WithParamInterface<WrongReplyCase> {};

// One wrong reply fails its exchange (reported, nothing delivered); the loop goes on.
TEST_P(MbeWrongReplies, FailTheirExchangeAndTheNextReadIsServed) {
  module.storeValue(kCoolant, 0x5A, 1);
  ASSERT_TRUE(connect());
  watch(1, kCoolant, 1, ecuData);
  runFor(300);
  events.statuses.clear();
  const std::size_t values = events.data.size();
  GetParam().inject(module);
  ASSERT_TRUE(loop.runUntil([&] { return events.data.size() > values + 2; }, 2000));
  EXPECT_EQ(events.statuses.front(), ecuNoCableOrPower);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  for (const RecordedData& d : events.data) EXPECT_EQ(d.value, Variant(0x5A));
  EXPECT_GE(traceCount("; timedOut! "), 1);
  EXPECT_EQ(statusCount(ecuInitializing), 0u);  // no new session was needed
}

INSTANTIATE_TEST_SUITE_P(
    MbeLoop, MbeWrongReplies,
    ::testing::Values(
        WrongReplyCase{"NoAnswer", [](sim::MbeEcu& m) { m.injectSilence(kCoolant); }},
        WrongReplyCase{"CutShort", [](sim::MbeEcu& m) { m.injectTruncatedReply(0, kCoolant); }},
        WrongReplyCase{"AByteTooMany", [](sim::MbeEcu& m) { m.injectExtraByte(kCoolant); }},
        WrongReplyCase{"TooLate", [](sim::MbeEcu& m) { m.injectLateReply(250'000, kCoolant); }},
        WrongReplyCase{"ModuleRestarts", [](sim::MbeEcu& m) { m.reset(); }}),
    [](const auto& info) { return info.param.name; });

// Noise fails an exchange before the module's answer comes; the answer then arrives
// while the next read waits. The link has no header that could tell whose answer it is,
// so it must not be taken for the next read's (found by the swarm).
TEST_F(MbeLoop, AnAnswerStillOnItsWayWhenItsExchangeFailedIsNotTakenForTheNextRead) {
  module.storeValue(kCoolant, 0x11, 1);
  module.storeValue(kThrottle, 0x22, 1);
  ASSERT_TRUE(connect());
  int noisy = 0;
  module.setExchangeLog([&](const std::string& exchange) {
    // Two stray bytes at once, ahead of a slow module's answer to the coolant read.
    if (exchange.rfind("00 43 ", 0) == 0 && noisy++ < 10) {
      line().injectBytes(sim::WireEnd::Vehicle, Bytes({0xEE, 0xEE}));
    }
  });
  for (const std::uint64_t delayMs : {12, 18, 24, 30}) {
    module.setReplyDelayUs(delayMs * kUsPerMs);
    noisy = 0;
    watch(1, kCoolant, 1, ecuData);
    watch(2, kThrottle, 1, ecuData);
    runFor(3000);
  }
  ASSERT_GE(traceCount("; timedOut! "), 10);
  ASSERT_FALSE(events.data.empty());
  for (const RecordedData& d : events.data) {
    EXPECT_EQ(d.value, Variant(d.itemNum == 1 ? 0x11 : 0x22)) << "item " << d.itemNum;
  }
}

// A slow module's answer comes so late that its exchange failed and the next request
// has gone out: taken for that one's, every answer after it would be one request behind
// (swarm seed 42 of the MBE family).
TEST_F(MbeLoop, AnAnswerLaterThanTheReplyWaitDoesNotPutTheAnswersOneRequestBehind) {
  constexpr std::uint16_t kSpeed = 0x0100;
  constexpr std::uint16_t kLoad = 0x0110;
  module.storeValue(kSpeed, 0x1234, 2);
  module.storeValue(kLoad, 0x5678, 2);
  ASSERT_TRUE(connect());
  module.setReplyDelayUs(150'000);
  watch(1, kSpeed, 2, ecuData);
  watch(2, kLoad, 2, ecuData);
  runFor(1000);
  for (const std::uint64_t lateMs : {250, 450, 650, 800}) {
    module.injectLateReply(lateMs * kUsPerMs, kSpeed);
    runFor(3000);
  }
  ASSERT_GE(traceCount("; timedOut! "), 1);
  ASSERT_GT(events.data.size(), 20u);
  for (const RecordedData& d : events.data) {
    EXPECT_EQ(d.value, Variant(d.itemNum == 1 ? 0x1234 : 0x5678)) << "item " << d.itemNum;
  }
}

TEST_F(MbeLoop, AReplyCutShortIsLoggedWithWhatCame) {
  module.storeBytes(0x0100, Bytes({0x11, 0x22, 0x33}));
  ASSERT_TRUE(connect());
  module.injectTruncatedReply(1, 0x0100);
  watch(1, 0x0100, 3, ecuData);
  ASSERT_TRUE(loop.runUntil([&] { return !events.data.empty(); }, 2000));
  EXPECT_EQ(traceCount("<< Got from MBE: 11 ; timedOut! "), 1);
  EXPECT_EQ(traceCount("<< Got from MBE: 11 22 33 "), 1);
  EXPECT_EQ(events.data.front().value, Variant(Bytes({0x11, 0x22, 0x33})));
}

// The link has no checksum: a byte spoilt on the way cannot be told from a good one.
TEST_F(MbeLoop, ASpoiltByteIsDeliveredAsItCameForTheLinkHasNoChecksum) {
  module.storeValue(kCoolant, 0x5A, 1);
  ASSERT_TRUE(connect());
  module.injectCorruptedReply(0x01, kCoolant);
  watch(1, kCoolant, 1, ecuData);
  ASSERT_TRUE(loop.runUntil([&] { return events.data.size() >= 2; }, 1000));
  EXPECT_EQ(events.data[0].value, Variant(0x5B));
  EXPECT_EQ(events.data[1].value, Variant(0x5A));
}

TEST_F(MbeLoop, ADeviceChosenAnewEndsTheLoop) {
  ASSERT_TRUE(connect());
  watch(1, kCoolant, 1, ecuData);
  runFor(300);
  ecu.setDevice(ecuFicht);
  runFor(50);
  const std::size_t readsAfter = reads().size();
  runFor(1000);
  EXPECT_EQ(reads().size(), readsAfter);
  EXPECT_EQ(traceCount("-- Exiting MBERequestLoop, runStatus=True"), 1);
}

}  // namespace
}  // namespace quorvan::testing
