// Cables: what each loops back to the port's modem lines and the events that raises.
#include <gtest/gtest.h>

#include "SimFixture.h"

namespace quorvan::sim::testing {
namespace {

using Cables = SimFixture;

struct LoopbackCase {
  CableKind cable;
  bool dtr;
  bool rts;
  ModemInputs expected;
};

void PrintTo(const LoopbackCase& c, std::ostream* os) {
  *os << CableName(c.cable) << " DTR=" << c.dtr << " RTS=" << c.rts;
}

class Loopbacks : public SimFixture, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(Loopbacks, PortReadsWhatTheCableFeedsBack) {
  const LoopbackCase& c = GetParam();
  line.setCable(c.cable);
  device->setDtr(c.dtr);
  device->setRts(c.rts);
  // Read at once: the loop-back is a wire, no time passes.
  EXPECT_EQ(device->cts(), c.expected.cts);
  EXPECT_EQ(device->dsr(), c.expected.dsr);
  EXPECT_EQ(device->cd(), c.expected.cd);
}

constexpr ModemInputs kNone{};
INSTANTIATE_TEST_SUITE_P(
    Cables, Loopbacks,
    ::testing::Values(LoopbackCase{CableKind::Ficht, true, true, {true, true, true}},
                      LoopbackCase{CableKind::Ficht, false, true, {true, false, false}},
                      LoopbackCase{CableKind::Ficht, true, false, {false, true, true}},
                      LoopbackCase{CableKind::Smart, true, true, {false, true, false}},
                      LoopbackCase{CableKind::Smart, false, true, kNone},
                      LoopbackCase{CableKind::KLine, true, true, kNone},
                      LoopbackCase{CableKind::None, true, true, kNone}));

struct EventCase {
  CableKind cable;
  std::vector<int> onDtr;
  std::vector<int> onRts;
};

void PrintTo(const EventCase& c, std::ostream* os) {
  *os << CableName(c.cable);
}

class LoopbackEvents : public SimFixture, public ::testing::WithParamInterface<EventCase> {};

TEST_P(LoopbackEvents, EachInputChangeRaisesItsEventOnceTimeMoves) {
  const EventCase& c = GetParam();
  line.setCable(c.cable);
  runMs(1);
  listener->events.clear();

  listener->inWrite = true;
  device->setDtr(true);
  listener->inWrite = false;
  runMs(1);
  EXPECT_EQ(listener->eventCodes(), c.onDtr);

  listener->events.clear();
  device->setRts(true);
  device->setRts(true);  // no change, no event
  runMs(1);
  EXPECT_EQ(listener->eventCodes(), c.onRts);
}

INSTANTIATE_TEST_SUITE_P(Cables, LoopbackEvents,
                         ::testing::Values(EventCase{CableKind::Ficht,
                                                     {comm::comEvDSR, comm::comEvCD},
                                                     {comm::comEvCTS}},
                                           EventCase{CableKind::Smart, {comm::comEvDSR}, {}},
                                           EventCase{CableKind::KLine, {}, {}}));

TEST_F(Cables, SwappingTheCableUnderRaisedLinesRaisesTheirEvents) {
  device->setDtr(true);
  device->setRts(true);
  line.setCable(CableKind::Ficht);
  runMs(1);
  EXPECT_EQ(listener->eventCodes(),
            (std::vector<int>{comm::comEvCTS, comm::comEvDSR, comm::comEvCD}));
  listener->events.clear();
  line.setCable(CableKind::Smart);
  runMs(1);
  EXPECT_EQ(listener->eventCodes(), (std::vector<int>{comm::comEvCTS, comm::comEvCD}));
}

TEST_F(Cables, LoopbacksWorkWithTheVehicleSideDeadButNotAfterThePortCloses) {
  line.setCable(CableKind::Smart);
  line.setPlugged(false);
  line.setVehiclePower(false);
  device->setDtr(true);
  EXPECT_TRUE(device->dsr());

  listener.reset();
  device.reset();  // closing the port drops DTR
  EXPECT_FALSE(line.serverModemInputs().dsr);
  device = backend.open(1);
  EXPECT_FALSE(device->dsr());
}

TEST_F(Cables, FichtCableCarriesBytesLikeTheKLineCable) {
  line.setCable(CableKind::Ficht);
  write("x");
  runMs(5);
  EXPECT_EQ(listener->text, "x");
}

}  // namespace
}  // namespace quorvan::sim::testing
