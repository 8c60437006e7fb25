// The K-line wire: frame timing, both directions, bit-rate mismatches, collisions and
// breaks, and a dead wire.
#include <gtest/gtest.h>

#include "SimFixture.h"

namespace quorvan::sim::testing {
namespace {

using namespace std::string_literals;
using Wire = SimFixture;

struct EchoTimingCase {
  std::uint32_t bitRate;
  std::size_t bytes;
  std::vector<std::uint64_t> firstEndsUs;  // echo instants of the first bytes
  std::uint64_t lastEndUs;                 // echo instant of the last byte
};

void PrintTo(const EchoTimingCase& c, std::ostream* os) {
  *os << c.bitRate << " bit/s";
}

class EchoTiming : public SimFixture, public ::testing::WithParamInterface<EchoTimingCase> {};

TEST_P(EchoTiming, EchoArrivesAtEachFrameEndWithoutDrift) {
  const EchoTimingCase& c = GetParam();
  ASSERT_TRUE(device->setBitRate(c.bitRate));
  write(std::string(c.bytes, '\x55'));
  EXPECT_TRUE(listener->arrivals.empty());
  runMs(2000);

  ASSERT_EQ(listener->arrivals.size(), c.bytes);
  for (std::size_t i = 0; i < c.firstEndsUs.size(); ++i) {
    EXPECT_EQ(since(listener->arrivals[i].atUs), c.firstEndsUs[i]) << "byte " << i;
  }
  EXPECT_EQ(since(listener->arrivals.back().atUs), c.lastEndUs);
  // Frames abut: each starts where the one before it ended.
  const auto& log = line.wireLog();
  ASSERT_EQ(log.size(), c.bytes);
  EXPECT_EQ(since(log[0].startUs), 0u);
  for (std::size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].startUs, log[i - 1].endUs);
}

INSTANTIATE_TEST_SUITE_P(Rates, EchoTiming,
                         ::testing::Values(
                             // 961.54 us per byte; 1040 bytes take exactly one second.
                             EchoTimingCase{10400, 1040, {962, 1924, 2885}, 1'000'000},
                             // 1041.67 us per byte; 960 bytes take exactly one second.
                             EchoTimingCase{9600, 960, {1042, 2084, 3125}, 1'000'000}));

TEST_F(Wire, WriteWhileBusyJoinsTheBurstAndWriteAfterIdleStartsAtOnce) {
  device->setBitRate(10400);
  write("A");
  clock.sleepUs(500);
  write("B");  // the transmitter is still busy with "A"
  runMs(10);
  write("C");
  runMs(10);
  ASSERT_EQ(listener->arrivals.size(), 3u);
  EXPECT_EQ(since(listener->arrivals[0].atUs), 962u);
  EXPECT_EQ(since(listener->arrivals[1].atUs), 1924u);
  EXPECT_EQ(since(listener->arrivals[2].atUs), 10'500u + 962);
}

TEST_F(Wire, ServerAndControllerHearEachOther) {
  device->setBitRate(10400);
  ecu.answer("\x01\x00"s, "\x41\x00\xBE"s, 5000);
  write("\x01\x00"s);
  runMs(50);

  ASSERT_EQ(ecu.heard().size(), 2u);  // the controller does not hear its own reply
  EXPECT_EQ(ecu.heard()[0].value, 0x01);
  EXPECT_EQ(since(ecu.heard()[0].atUs), 962u);
  EXPECT_EQ(ecu.heard()[1].value, 0x00);
  EXPECT_EQ(since(ecu.heard()[1].atUs), 1924u);
  EXPECT_TRUE(ecu.heard()[1].decoded());

  EXPECT_EQ(listener->text, "\x01\x00\x41\x00\xBE"s);
  EXPECT_EQ(since(listener->arrivals[2].atUs), 1924u + 5000 + 962);
  EXPECT_EQ(since(listener->arrivals[4].atUs), 1924u + 5000 + 2885);
  EXPECT_EQ(line.heardFrom(WireEnd::Server), "\x01\x00"s);
  EXPECT_EQ(line.heardFrom(WireEnd::Vehicle), "\x41\x00\xBE"s);
}

struct MismatchCase {
  const char* name;
  std::uint32_t senderRate;
  std::uint32_t receiverRate;
  std::uint8_t sent;
  std::uint8_t received;
  bool rateMatched;
  bool framingError;
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
  *os << c.name;
}

class RateMismatch : public SimFixture, public ::testing::WithParamInterface<MismatchCase> {};

// The server sends to a controller set to another rate.
TEST_P(RateMismatch, ControllerDecodesOnlyAtTheSendersRate) {
  const MismatchCase& c = GetParam();
  device->setBitRate(c.senderRate);
  ecu.setBitRate(c.receiverRate);
  write(std::string(1, static_cast<char>(c.sent)));
  runMs(10);
  ASSERT_EQ(ecu.heard().size(), 1u);
  EXPECT_EQ(ecu.heard()[0].value, c.received);
  EXPECT_EQ(ecu.heard()[0].rateMatched, c.rateMatched);
  EXPECT_EQ(ecu.heard()[0].framingError, c.framingError);
}

// The controller sends to the server set to another rate.
TEST_P(RateMismatch, ServerGetsGarbageAndFramingErrors) {
  const MismatchCase& c = GetParam();
  device->setBitRate(c.receiverRate);
  ecu.setBitRate(c.senderRate);
  line.injectBytes(WireEnd::Vehicle, std::string(1, static_cast<char>(c.sent)));
  runMs(10);
  ASSERT_EQ(listener->arrivals.size(), 1u);
  EXPECT_EQ(listener->arrivals[0].value, c.received);
  const std::vector<int> frame{comm::comEventFrame};
  EXPECT_EQ(listener->eventCodes(), c.framingError ? frame : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RateMismatch,
    ::testing::Values(MismatchCase{"Within3Percent", 10400, 10200, 0x55, 0x55, true, false},
                      // 4 % off: the bits still line up, but that is luck, not a decoded byte.
                      MismatchCase{"FourPercentOff", 10400, 10000, 0x55, 0x55, false, false},
                      // 10400 sampled at 9600: bit 5 is skipped, the stop bit lands in bit 7.
                      MismatchCase{"FastSender", 10400, 9600, 0x55, 0xB5, false, false},
                      // 4800 sampled at 10400: the start bit is read as bit 0, the stop sample
                      // falls in the sender's bit 3.
                      MismatchCase{"SlowSenderOnes", 4800, 10400, 0xFF, 0xFE, false, false},
                      MismatchCase{"SlowSenderZeros", 4800, 10400, 0x00, 0x00, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wire, OverlappingFramesReachBothEndsAsTheAndOfBoth) {
  device->setBitRate(10400);  // the controller's rate
  write("\xF0");
  line.injectBytes(WireEnd::Vehicle, "\x3C");  // the controller talks at the same time
  runMs(10);
  EXPECT_EQ(listener->text, "\x30\x30");
  ASSERT_EQ(ecu.heard().size(), 1u);
  EXPECT_EQ(ecu.heard()[0].value, 0x30);
}

TEST_F(Wire, BreakHeldOverAFrameTurnsItIntoAFramingError) {
  write("\x55");
  clock.sleepUs(300);
  device->setBreak(true);
  runMs(5);
  device->setBreak(false);
  runMs(5);
  EXPECT_EQ(listener->text, "\0"s);
  EXPECT_EQ(listener->eventCodes(), (std::vector<int>{comm::comEventFrame, comm::comEventBreak}));
}

// The MSE 1.0 wake-up: address 0x10 at 5 bit/s, driven by break.
void SendFiveBaudAddress(SerialDevice& device, Clock& clock) {
  device.setBreak(true);
  clock.sleepMs(1000);
  device.setBreak(false);
  clock.sleepMs(200);
  device.setBreak(true);
  clock.sleepMs(600);
  device.setBreak(false);
  clock.sleepMs(200);
}

TEST_F(Wire, BreakIsSeenAtBothEndsOfALiveLine) {
  SendFiveBaudAddress(*device, clock);
  const std::vector<std::pair<bool, std::uint64_t>> expected{
      {true, 0}, {false, 1'000'000}, {true, 1'200'000}, {false, 1'800'000}};
  ASSERT_EQ(ecu.levels().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(ecu.levels()[i].low, expected[i].first) << i;
    EXPECT_EQ(since(ecu.levels()[i].atUs), expected[i].second) << i;
  }
  EXPECT_EQ(line.levelLog().size(), expected.size());
  // The server's UART reports each low period once it has lasted a frame at 9600.
  ASSERT_EQ(listener->events.size(), 2u);
  EXPECT_EQ(listener->events[0], (LineEventAt{t0 + 1042, comm::comEventBreak}));
  EXPECT_EQ(listener->events[1], (LineEventAt{t0 + 1'201'042, comm::comEventBreak}));
  EXPECT_TRUE(listener->text.empty());
}

TEST_F(Wire, BreakShorterThanAFrameReachesTheControllerButNoBreakEvent) {
  device->setBreak(true);
  clock.sleepUs(500);
  device->setBreak(false);
  runMs(5);
  EXPECT_EQ(ecu.levels().size(), 2u);
  EXPECT_TRUE(listener->events.empty());
}

struct DeadLineCase {
  const char* name;
  void (*kill)(SimLine&);
  void (*revive)(SimLine&);
};

void PrintTo(const DeadLineCase& c, std::ostream* os) {
  *os << c.name;
}

class DeadLine : public SimFixture, public ::testing::WithParamInterface<DeadLineCase> {};

TEST_P(DeadLine, NoEchoNoBreakUntilTheLineIsLiveAgain) {
  const DeadLineCase& c = GetParam();
  device->setBitRate(10400);
  ecu.answer("Q", "R", 1000);
  write("A");
  runMs(5);
  c.kill(line);
  write("Q");
  SendFiveBaudAddress(*device, clock);
  EXPECT_EQ(listener->text, "A");
  EXPECT_TRUE(listener->events.empty());
  ASSERT_EQ(ecu.heard().size(), 1u);
  EXPECT_TRUE(ecu.levels().empty());

  c.revive(line);
  write("Q");
  runMs(10);
  EXPECT_EQ(listener->text, "AQR");
  EXPECT_EQ(line.heardFrom(WireEnd::Server), "AQ");
}

INSTANTIATE_TEST_SUITE_P(
    Causes, DeadLine,
    ::testing::Values(DeadLineCase{"Unplugged", [](SimLine& l) { l.setPlugged(false); },
                                   [](SimLine& l) { l.setPlugged(true); }},
                      DeadLineCase{"PowerLost", [](SimLine& l) { l.setVehiclePower(false); },
                                   [](SimLine& l) { l.setVehiclePower(true); }},
                      DeadLineCase{"NoCable", [](SimLine& l) { l.setCable(CableKind::None); },
                                   [](SimLine& l) { l.setCable(CableKind::KLine); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wire, PowerLossCutsOffTheControllersReplyAndItsPendingActions) {
  device->setBitRate(10400);
  ecu.answer("Q", "RRRR", 2000);
  write("Q");
  runMs(4);  // the reply started at 962 + 2000 us: one byte is through
  line.setVehiclePower(false);
  line.setVehiclePower(true);
  runMs(20);
  EXPECT_EQ(listener->text, "QR");
  EXPECT_EQ(ecu.powerLosses(), 1);

  // A request whose answer is still waiting when the power goes is never answered.
  write("Q");
  runMs(2);
  line.setVehiclePower(false);
  line.setVehiclePower(true);
  runMs(20);
  EXPECT_EQ(listener->text, "QRQ");
}

TEST_F(Wire, ReplugMidBreakDrivesTheLineLowAgain) {
  device->setBreak(true);
  runMs(5);
  line.setPlugged(false);  // the controller's own pull-up takes its K-line high
  runMs(5);
  line.setPlugged(true);
  runMs(5);
  device->setBreak(false);
  const std::vector<bool> lows{true, false, true, false};
  ASSERT_EQ(ecu.levels().size(), lows.size());
  for (std::size_t i = 0; i < lows.size(); ++i) EXPECT_EQ(ecu.levels()[i].low, lows[i]);
  EXPECT_EQ(listener->eventCodes(), (std::vector<int>{comm::comEventBreak, comm::comEventBreak}));
}

}  // namespace
}  // namespace quorvan::sim::testing
