#include <gtest/gtest.h>

#include "kline/Format.h"
#include "kwp2000/IsoLink.h"
#include "kwp2000/Mse11Fixture.h"

namespace quorvan::testing {
namespace {

using Reflash = Mse11Fixture;

TEST_F(Reflash, IdentInitEveryChunkAndVerifyReprogramTheController) {
  ecuSim.setIdentification("BOSCH MSE1", 0x030201);
  ASSERT_TRUE(connect());
  ecu.FlashIdent();
  ASSERT_EQ(flashOutcome(), flashReady) << traceDump();
  EXPECT_EQ(ecu.idCustomer(), "BOSCH MSE1");
  EXPECT_EQ(ecu.idHardware(), "197121");
  EXPECT_EQ(ecu.idSoftware(), "Worked");

  const std::string image = makeImage();
  ASSERT_TRUE(initAndWrite(image)) << ecu.FlashStatus() << "\n" << traceDump();
  ecu.FlashVerify(static_cast<std::int32_t>(Mse11ImageChecksum(image)));
  EXPECT_EQ(flashOutcome(), flashReady);
  EXPECT_EQ(ecuSim.flash(), image);
  // The last chunk carries the 232 bytes left and the transfer is closed after it.
  EXPECT_EQ(framesOnWire(Bytes({0x00, 233, 0x36}) + image.substr(252 * 250)), 1);
  EXPECT_EQ(framesOnWire(Bytes({0x01, 0x37, 0x38})), 1);
  // The verify ends the communication.
  runFor(100);
  EXPECT_FALSE(ecuSim.communicating());
  EXPECT_EQ(events.notes.back(), "flashStatus=2");
  EXPECT_EQ(form().commandRequested, cmd::kHandled);
}

TEST_F(Reflash, AWrongChecksumIsReportedAsAFailedVerify) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  ASSERT_TRUE(initAndWrite(image));
  // Without an ident before it, the init erases without reading the identity.
  EXPECT_EQ(framesOnWire(Bytes({0x05, 0x23, 0x03, 0x00, 0xE7, 0x0A})), 0);
  ecu.FlashVerify(static_cast<std::int32_t>(Mse11ImageChecksum(image) + 1));
  EXPECT_EQ(flashOutcome(), flashFailedVerify);
  EXPECT_EQ(ecuSim.flash(), image);
}

}  // namespace
}  // namespace quorvan::testing
