// Faults injected on the wire during one request and its answer.
#include <gtest/gtest.h>

#include <functional>

#include "SimFixture.h"

namespace quorvan::sim::testing {
namespace {

using namespace std::string_literals;

struct FaultCase {
  const char* name;
  std::function<void(SimLine&)> arm;
  std::string serverHears;
  std::vector<int> events;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class Faults : public SimFixture, public ::testing::WithParamInterface<FaultCase> {
 protected:
  Faults() {
    device->setBitRate(10400);
    ecu.answer("\x01\x00"s, "\x41\x42\x43"s, 5000);
  }
};

TEST_P(Faults, ShowUpInWhatTheServerHears) {
  const FaultCase& c = GetParam();
  c.arm(line);
  write("\x01\x00"s);
  runMs(50);
  EXPECT_EQ(listener->text, c.serverHears);
  EXPECT_EQ(listener->eventCodes(), c.events);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    ::testing::Values(FaultCase{"None", [](SimLine&) {}, "\x01\x00\x41\x42\x43"s, {}},
                      FaultCase{"DropTwoFromController",
                                [](SimLine& l) { l.dropNext(WireEnd::Vehicle, 2); },
                                "\x01\x00\x43"s,
                                {}},
                      FaultCase{"CorruptControllerByte",
                                [](SimLine& l) { l.corruptNext(WireEnd::Vehicle, 0x01); },
                                "\x01\x00\x40\x42\x43"s,
                                {}},
                      // The controller hears the corrupted request too, so it does not answer.
                      FaultCase{"CorruptServerByte",
                                [](SimLine& l) { l.corruptNext(WireEnd::Server, 0x80); },
                                "\x81\x00"s,
                                {}},
                      FaultCase{"EchoSuppressed",
                                [](SimLine& l) { l.setEchoSuppressed(true); },
                                "\x41\x42\x43"s,
                                {}},
                      // The first byte to reach the port (the echo of 0x01) is lost to the overrun.
                      FaultCase{"Overrun",
                                [](SimLine& l) { l.injectOverrun(1); },
                                "\x00\x41\x42\x43"s,
                                {comm::comEventOverrun}},
                      FaultCase{"OverrunEventOnly",
                                [](SimLine& l) { l.injectOverrun(0); },
                                "\x01\x00\x41\x42\x43"s,
                                {comm::comEventOverrun}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Faults, DroppedBytesAreLoggedAsNotHeard) {
  line.dropNext(WireEnd::Vehicle, 1);
  write("\x01\x00"s);
  runMs(50);
  ASSERT_EQ(line.wireLog().size(), 5u);
  EXPECT_EQ(line.wireLog()[2].from, WireEnd::Vehicle);
  EXPECT_FALSE(line.wireLog()[2].heard);
  EXPECT_TRUE(line.wireLog()[3].heard);
  EXPECT_EQ(line.heardFrom(WireEnd::Vehicle), "\x42\x43"s);
}

TEST_F(Faults, LateByteStartsAfterTheGap) {
  line.delayNext(WireEnd::Vehicle, 3000);
  write("\x01\x00"s);
  runMs(50);
  ASSERT_EQ(listener->arrivals.size(), 5u);
  EXPECT_EQ(since(listener->arrivals[2].atUs), 1924u + 5000 + 3000 + 962);
  // The rest of the reply follows the late byte back to back.
  EXPECT_EQ(listener->arrivals[3].atUs - listener->arrivals[2].atUs, 962u);
}

TEST_F(Faults, ExtraBytesArriveAtTheControllersRate) {
  runMs(1);
  line.injectBytes(WireEnd::Vehicle, "\xEE\xEF"s);
  runMs(10);
  ASSERT_EQ(listener->arrivals.size(), 2u);
  EXPECT_EQ(listener->text, "\xEE\xEF"s);
  EXPECT_EQ(since(listener->arrivals[1].atUs), 1000u + 1924);
  EXPECT_TRUE(ecu.heard().empty());
}

TEST_F(Faults, CablePulledMidReplyLosesTheRest) {
  write("\x01\x00"s);
  clock.advanceTo(t0 + 1924 + 5000 + 962);  // the first reply byte has just arrived
  line.setPlugged(false);
  runMs(50);
  EXPECT_EQ(listener->text, "\x01\x00\x41"s);
}

}  // namespace
}  // namespace quorvan::sim::testing
