#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "visteon/PacketLayer.h"
#include "visteon/VisteonFixture.h"

// One exchange at a time on the line: what a client asks for while a tick waits for its
// reply happens after that exchange.
namespace quorvan::testing {
namespace {

class OneExchange : public VisteonFixture {
 protected:
  // Runs `then` (from the loop, as a client call) once the server waits for the reply
  // to a request for the given PID.
  void whenWaitingForPid(int pid, std::function<void()> then) {
    const std::string request = FramePacket(Bytes({0x01, pid}), false);
    line().clearLog();
    poll_ = [this, request, then] {
      if (form().requestInProgress && requestsOnWire(request) > 0) {
        loop.post(then);
        return;
      }
      clock.schedule(clock.nowUs() + 5'000, poll_);
    };
    clock.schedule(clock.nowUs() + 5'000, poll_);
  }

  std::function<void()> poll_;
};

// The moment each status reached the client.
class StatusTimes : public EventRecorder {
 public:
  explicit StatusTimes(Clock& clock) : clock_(clock) {}
  void CommStatus(std::int32_t signal) override { at.push_back({signal, clock_.timeGetTime()}); }
  // When the status first came at or after `from`; nothing when it has not.
  std::optional<std::uint32_t> first(std::int32_t status, std::uint32_t from) const {
    for (const auto& [s, t] : at) {
      if (s == status && t - from < 0x80000000u) return t;
    }
    return std::nullopt;
  }
  std::vector<std::pair<std::int32_t, std::uint32_t>> at;

 private:
  Clock& clock_;
};

TEST_F(OneExchange, AnInitCallDuringAWaitRunsAfterTheExchange) {
  const struct {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"InitComm", [this] { ecu.InitComm(1); }},
      {"restart", [this] { form().cmdRestart_Click(); }},
  };
  ecuSim.setPid(0x0C, 0x1234);
  ASSERT_TRUE(connect());
  ecu.AddItem(1, 0x010C, 2, ecuData);
  ecu.Watch(1, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ecuSim.injectLateReply(0x01, 300'000);
    events.statuses.clear();
    events.data.clear();
    bool called = false;
    whenWaitingForPid(0x0C, [&] {
      c.call();
      called = true;
    });
    ASSERT_TRUE(loop.runUntil([&] { return called && events.data.size() >= 2; }, 5'000))
        << traceDump();
    // The late reply went to its own request, and the initialisation followed.
    EXPECT_EQ(events.data[0].value, Variant(std::int32_t{0x1234}));
    EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuInitializing, ecuCommOK}));
    EXPECT_EQ(traceCount("Data Collision"), 0);
  }
}

// A controller that goes silent while it is polled is reported at the next poll, and
// woken again within two watchdog periods (plus the reply wait of the exchange then in
// progress), though most of the time the server waits inside an exchange; once it answers
// again the values flow without the client doing anything.
TEST_F(OneExchange, ASilentControllerIsReportedAndWokenAgain) {
  StatusTimes times(clock);
  ecu.addSink(&times);
  ecuSim.setPid(0x0C, 0x1234);
  ASSERT_TRUE(connect());
  ecu.AddItem(1, 0x010C, 2, ecuData);
  ecu.Watch(1, 1);
  for (std::uint32_t silentAfterMs : {0u, 150u, 700u, 1300u}) {
    SCOPED_TRACE(silentAfterMs);
    runFor(silentAfterMs);
    ecuSim.injectSilence(sim::visteon::kAnyService, sim::visteon::kForever);
    const std::uint32_t t0 = ms();
    ASSERT_TRUE(loop.runUntil([&] { return times.first(ecuRunSwitchOff, t0).has_value(); }, 10'000))
        << traceDump();
    const auto reported = times.first(ecuNoComm, t0);
    const auto woken = times.first(ecuInitializing, t0);
    ASSERT_TRUE(reported && woken);
    EXPECT_LE(*reported - t0, 1'000u);
    EXPECT_LE(*woken - t0, 2 * kWatchDogMs + 500u) << traceDump();
    ecuSim.clearInjections();
    events.data.clear();
    ASSERT_TRUE(loop.runUntil([&] { return !events.data.empty(); }, 5'000)) << traceDump();
    EXPECT_EQ(events.statuses.back(), ecuCommOK);
    EXPECT_EQ(events.data.back().value, Variant(std::int32_t{0x1234}));
  }
  ecu.removeSink(&times);
}

}  // namespace
}  // namespace quorvan::testing
