// The simulated serial backend: ports that are absent, in use, slow to open, lead to a
// modem or to nothing, and the device's callbacks.
#include <gtest/gtest.h>

#include "SimFixture.h"

namespace quorvan::sim::testing {
namespace {

using namespace std::string_literals;

class Backend : public ::testing::Test {
 protected:
  int openError(int port) {
    try {
      backend.open(port);
    } catch (const SerialError& e) {
      return e.number();
    }
    return 0;
  }

  VirtualClock clock;
  SimLine line{clock};
  SimSerialBackend backend{clock, clock};
};

TEST_F(Backend, PortsThatCannotBeOpenedSayWhy) {
  backend.setPort(2, SimPort::inUse());
  backend.setPort(3, SimPort::silent());
  backend.setPort(4, SimPort::kLine(line));
  EXPECT_EQ(openError(1), comm::comPortInvalid);
  EXPECT_EQ(openError(2), comm::comPortAlreadyOpen);
  EXPECT_EQ(openError(3), 0);

  auto first = backend.open(4);
  EXPECT_EQ(openError(4), comm::comPortAlreadyOpen);
  // Another port number wired to the same line is in use as well.
  backend.setPort(5, SimPort::kLine(line));
  EXPECT_EQ(openError(5), comm::comPortAlreadyOpen);
  first.reset();
  EXPECT_EQ(openError(4), 0);
}

TEST_F(Backend, OpenTakesThePortsOpenTimeOnTheClock) {
  for (const std::uint32_t ms : {0u, 1600u, 1601u}) {
    backend.setPort(1, SimPort::silent().withOpenTimeMs(ms));
    const std::uint32_t before = clock.timeGetTime();
    auto device = backend.open(1);
    EXPECT_EQ(clock.timeGetTime() - before, ms);
  }
}

TEST_F(Backend, OnlyPortsTheSystemDescribesAsModemsAreModemPorts) {
  backend.setPort(1, SimPort::modem().describedAsModem());
  backend.setPort(2, SimPort::modem());
  backend.setPort(3, SimPort::kLine(line));
  EXPECT_TRUE(backend.isModemPort(1));
  EXPECT_FALSE(backend.isModemPort(2));
  EXPECT_FALSE(backend.isModemPort(3));
  EXPECT_FALSE(backend.isModemPort(9));
}

struct ProbeCase {
  const char* name;
  SimPort port;
  std::string probe;
  std::string reply;
  std::uint64_t firstByteUs;  // after the probe was written
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << c.name;
}

class ModemProbe : public Backend, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ModemProbe, AnswersTheAttentionCommandAfterItsDelay) {
  const ProbeCase& c = GetParam();
  backend.setPort(1, c.port);
  auto device = backend.open(1);
  RecordingListener listener(clock, *device);
  const std::uint64_t t0 = clock.monoUs();
  listener.inWrite = true;
  device->write(c.probe);
  listener.inWrite = false;
  clock.sleepMs(500);
  EXPECT_EQ(listener.text, c.reply);
  if (!c.reply.empty()) {
    EXPECT_EQ(listener.arrivals[0].atUs - t0, c.firstByteUs);
  }
}

// "AT" CR at 9600 ends 3125 us after it is written; the first reply byte takes 1042 us.
INSTANTIATE_TEST_SUITE_P(Cases, ModemProbe,
                         ::testing::Values(ProbeCase{"Upper", SimPort::modem("OK\r\n", 20), "AT\r",
                                                     "OK\r\n", 3125 + 20'000 + 1042},
                                           ProbeCase{"LowerAndSlow", SimPort::modem("ok\r\n", 450),
                                                     "AT\r", "ok\r\n", 3125 + 450'000 + 1042},
                                           ProbeCase{"NotAnAttention", SimPort::modem(), "ATZ\r",
                                                     "", 0},
                                           ProbeCase{"Silent", SimPort::silent(), "AT\r", "", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Backend, SilentPortHasNoModemLines) {
  backend.setPort(1, SimPort::silent());
  auto device = backend.open(1);
  device->setDtr(true);
  device->setRts(true);
  EXPECT_FALSE(device->cts() || device->dsr() || device->cd());
}

TEST_F(Backend, DeviceStartsAt9600AndRefusesZero) {
  backend.setPort(1, SimPort::silent());
  auto device = backend.open(1);
  EXPECT_EQ(device->bitRate(), 9600u);
  EXPECT_FALSE(device->setBitRate(0));
  EXPECT_TRUE(device->setBitRate(10400));
  EXPECT_EQ(device->bitRate(), 10400u);
}

// A receive handler may close the port (a re-initialisation reopens it).
class ClosingListener final : public SerialListener {
 public:
  explicit ClosingListener(std::unique_ptr<SerialDevice>& device) : device_(device) {}
  void onBytesArrived() override {
    ++arrivals;
    device_.reset();
  }
  void onLineEvent(int) override { ++events; }
  int arrivals = 0;
  int events = 0;

 private:
  std::unique_ptr<SerialDevice>& device_;
};

TEST_F(Backend, ListenerMayCloseThePortInsideItsCallback) {
  backend.setPort(1, SimPort::kLine(line));
  std::unique_ptr<SerialDevice> device = backend.open(1);
  ClosingListener listener(device);
  device->setListener(&listener);
  device->setBitRate(10400);
  device->write("ab");
  line.injectBytes(WireEnd::Vehicle, "\x00"s);
  device->setBreak(true);  // turns the frame in flight into a framing error
  clock.sleepMs(10);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(listener.arrivals, 1);
  EXPECT_EQ(listener.events, 0);
  EXPECT_FALSE(line.lineLow());  // closing released the break
  EXPECT_NE(backend.open(1), nullptr);
}

}  // namespace
}  // namespace quorvan::sim::testing
