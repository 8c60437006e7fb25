// The pseudo-terminal bridge in real time: the server's own serial backend on the slave,
// the simulated line and a controller behind the master.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/PortsDirectory.h"
#include "platform/PosixSerial.h"
#include "platform/SerialDevice.h"
#include "sim/Frames.h"
#include "sim/PtyBridge.h"
#include "sim/PtyScheduler.h"
#include "sim/SimEcu.h"
#include "sim/SimLine.h"

namespace quorvan::sim::testing {
namespace {

using namespace std::string_literals;

// Generous: only a stuck test waits this long.
constexpr std::uint32_t kPatienceMs = 10'000;

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pty-bridge-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

class PtyBridgeTest : public ::testing::Test {
 protected:
  PtyBridgeTest() {
    ecu.answer("\x01\x02"s, "\xAA\xBB"s, 5'000);
    PortsDirectory(dir.path).publishAs(1, bridge.devicePath());
  }

  // The server's port, opened as the server opens it, at `rate`.
  std::unique_ptr<SerialDevice> openPort(std::uint32_t rate) {
    auto port = backend.open(1);
    EXPECT_TRUE(port->setBitRate(rate));
    return port;
  }

  // Everything the port receives until `count` bytes are in (or the patience runs out).
  std::string receive(SerialDevice& port, std::size_t count) {
    std::string got;
    loop.runUntil(
        [&] {
          got += port.readAll();
          return got.size() >= count;
        },
        kPatienceMs);
    return got;
  }

  std::vector<std::uint32_t> serverRatesOnWire() const {
    std::vector<std::uint32_t> rates;
    for (const WireByte& b : line.wireLog()) {
      if (b.from == WireEnd::Server) rates.push_back(b.bitRate);
    }
    return rates;
  }

  TempDir dir;
  RealClock clock;
  MessageLoop loop{clock};
  PtyScheduler world{loop};
  SimLine line{world};
  ReplyEcu ecu{line, 10400};
  PtyBridge bridge{loop, line};
  PosixSerialBackend backend{loop, PortsDirectory(dir.path)};
};

TEST_F(PtyBridgeTest, TheServerHearsItsEchoAndTheControllersAnswer) {
  auto port = openPort(10400);
  port->write("\x01\x02"s);
  EXPECT_EQ(receive(*port, 4), "\x01\x02\xAA\xBB"s);
  EXPECT_EQ(serverRatesOnWire(), (std::vector<std::uint32_t>{10400, 10400}));
  EXPECT_EQ(line.heardFrom(WireEnd::Server), "\x01\x02"s);
  EXPECT_EQ(bridge.droppedBytes(), 0u);
}

// Bytes on the line carry the rate the server has set; a receiver at another rate gets
// garbage, whichever end it is.
TEST_F(PtyBridgeTest, BytesGoAtTheServersRateAndMismatchesGarble) {
  auto port = openPort(4800);
  port->write("\x01\x02"s);
  EXPECT_EQ(receive(*port, 2), "\x01\x02"s);  // its echo, at its own rate
  EXPECT_EQ(serverRatesOnWire(), (std::vector<std::uint32_t>{4800, 4800}));
  ASSERT_EQ(ecu.heard().size(), 2u);
  EXPECT_FALSE(ecu.heard()[0].rateMatched);

  // At 9600 the controller's 10400 answer does not decode.
  port->setBitRate(9600);
  line.sendFromVehicle("\xAA\xBB"s, 10400);
  const std::string got = receive(*port, 2);
  EXPECT_EQ(got.size(), 2u);
  EXPECT_NE(got, "\xAA\xBB"s);
}

// A serial driver that applies 38400 when asked for 10400 (Wine's) is taken at its word
// only with the alias: then its bytes go out, and the controller's are heard, at 10400.
TEST_F(PtyBridgeTest, AnAliasedRateCountsAsTheRateMeant) {
  bridge.aliasBitRate(38400, 10400);
  auto port = openPort(38400);
  port->write("\x01\x02"s);
  EXPECT_EQ(receive(*port, 4), "\x01\x02\xAA\xBB"s);
  EXPECT_EQ(serverRatesOnWire(), (std::vector<std::uint32_t>{10400, 10400}));
  port->setBitRate(9600);  // other rates stay what they are
  port->write("\x03"s);
  receive(*port, 1);
  EXPECT_EQ(serverRatesOnWire().back(), 9600u);
}

// What the server's receiver makes of the line: the bridge marks it in the input as the
// kernel would, so data bytes FF survive and line errors are reported.
TEST_F(PtyBridgeTest, LineErrorsAndBytesFFReachTheServerAsItsDriverReportsThem) {
  struct Recorder final : SerialListener {
    explicit Recorder(SerialDevice& port) : port(port) { port.setListener(this); }
    ~Recorder() override { port.setListener(nullptr); }
    void onBytesArrived() override { bytes += port.readAll(); }
    void onLineEvent(int code) override { events.push_back(code); }
    SerialDevice& port;
    std::string bytes;
    std::vector<int> events;
  };
  // A byte that a receiver at 9600 bit/s takes with a framing error when sent at 4800 (one
  // taken as 00 would read as a break, as it does from a real port).
  char sent = 0;
  RxByte framed;
  for (int b = 0; b < 256 && !(framed.framingError && framed.value != 0); ++b) {
    sent = static_cast<char>(b);
    framed = DecodeFrame(static_cast<std::uint8_t>(b), 4800, 9600, 0);
  }
  ASSERT_TRUE(framed.framingError);
  const struct {
    const char* name;
    std::function<void()> send;
    std::string bytes;
    std::vector<int> events;
  } cases[] = {
      {"bytes FF", [&] { line.sendFromVehicle("\xFF\x01\xFF"s, 9600); }, "\xFF\x01\xFF"s, {}},
      {"framing error",
       [&] { line.sendFromVehicle(std::string(1, sent), 4800); },
       "",  // the byte that came with the error is no data
       {comm::comEventFrame}},
      {"break",
       [&] {
         line.setBreak(WireEnd::Vehicle, true);
         world.schedule(world.nowUs() + 5'000, [&] { line.setBreak(WireEnd::Vehicle, false); });
       },
       "",
       {comm::comEventBreak}},
  };
  auto port = openPort(9600);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder got(*port);
    c.send();
    loop.runUntil(
        [&] { return got.bytes.size() >= c.bytes.size() && got.events.size() >= c.events.size(); },
        kPatienceMs);
    loop.runFor(20);  // anything more would be in by now
    EXPECT_EQ(got.bytes, c.bytes);
    EXPECT_EQ(got.events, c.events);
  }
}

TEST_F(PtyBridgeTest, ThePortCanBeClosedAndOpenedAgain) {
  openPort(4800).reset();
  auto port = openPort(10400);
  port->write("\x01\x02"s);
  EXPECT_EQ(receive(*port, 4), "\x01\x02\xAA\xBB"s);
  EXPECT_EQ(serverRatesOnWire().back(), 10400u);
}

}  // namespace
}  // namespace quorvan::sim::testing
