// The simulated MBE module, read from the server's port at 4800 bit/s on its own lead,
// on the virtual clock.
#include <gtest/gtest.h>

#include "SimFixture.h"
#include "kline/Format.h"
#include "sim/MbeEcu.h"

namespace quorvan::sim::testing {
namespace {

using quorvan::Bytes;

class MbeModule : public ::testing::Test {
 protected:
  MbeModule() {
    line.setCable(CableKind::Mbe);
    backend.setPort(1, SimPort::kLine(line));
    device = backend.open(1);
    device->setBitRate(4800);
    listener = std::make_unique<RecordingListener>(clock, *device);
  }
  // Sends the bytes and gives the module time to answer; what came back.
  std::string ask(const std::string& request, std::uint32_t ms = 50) {
    listener->text.clear();
    device->write(request);
    clock.sleepMs(ms);
    return listener->text;
  }

  VirtualClock clock;
  SimLine line{clock};
  MbeEcu module{line};
  SimSerialBackend backend{clock, clock};
  std::unique_ptr<SerialDevice> device;
  std::unique_ptr<RecordingListener> listener;
};

TEST_F(MbeModule, AnswersAReadWithTheBytesKeptAtTheAddressAndNoEchoOfTheRequest) {
  module.storeValue(0x40, 0x1234, 2);
  EXPECT_EQ(ask(Bytes({0x00, 0x40})), Bytes({0x34, 0x12}));
  EXPECT_EQ(ask(Bytes({0x00, 0x0D})), "E9A4 V3.12");
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), Bytes({0x05}));
  EXPECT_EQ(ask(Bytes({0x00, 0xFF})), Bytes({0x85}));
  EXPECT_EQ(ask(Bytes({0x12, 0x34})), Bytes({0x00}));  // one byte where nothing was stored
  EXPECT_EQ(module.readsHeard(), 5u);
}

TEST_F(MbeModule, AFirstByteLeftAloneIsForgottenAndTheNextPairIsARequest) {
  EXPECT_EQ(ask(Bytes({0x00}), 30), "");
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), Bytes({0x05}));
}

TEST_F(MbeModule, IsDeafWhileItBootsAfterAResetAndAnswersAfterwards) {
  module.reset();
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), "");
  clock.sleepMs(100);
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), Bytes({0x05}));
  EXPECT_EQ(module.restarts(), 1);
}

TEST_F(MbeModule, InjectedMisbehaviourShapesTheNextAnswersOfItsAddress) {
  module.storeValue(0x40, 0x1234, 2);
  module.injectTruncatedReply(1, 0x40);
  module.injectExtraByte(0x40);
  module.injectCorruptedReply(0xFF, 0x40);
  module.injectSilence(0xD3, 1);
  EXPECT_EQ(ask(Bytes({0x00, 0x40})), Bytes({0x34}));
  EXPECT_EQ(ask(Bytes({0x00, 0x40})), Bytes({0x34, 0x12, 0x00}));
  EXPECT_EQ(ask(Bytes({0x00, 0x40})), Bytes({0x34, 0xED}));
  EXPECT_EQ(ask(Bytes({0x00, 0x40})), Bytes({0x34, 0x12}));
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), "");
  EXPECT_EQ(ask(Bytes({0x00, 0xD3})), Bytes({0x05}));
}

TEST_F(MbeModule, AFaultPresentNowAlsoEntersTheHistory) {
  module.setFaultHistory(0x80);
  module.setCurrentFaults(0x03);
  EXPECT_EQ(module.currentFaults(), 0x03);
  EXPECT_EQ(module.faultHistory(), 0x83);
}

}  // namespace
}  // namespace quorvan::sim::testing
