#include <gtest/gtest.h>

#include "visteon/PacketLayer.h"
#include "visteon/VisteonFixture.h"

namespace quorvan::testing {
namespace {

class VisteonReflash : public VisteonFixture {
 protected:
  static constexpr std::size_t kBlock = 1024;

  // An image of the controller's whole region with some blank (all 0xFF) blocks.
  std::string makeImage() {
    const std::size_t blocks = ecuSim.flash().bytes().size() / kBlock;
    std::string image;
    for (std::size_t b = 0; b < blocks; ++b) {
      if (b % 5 == 3) {
        image += std::string(kBlock, '\xFF');
        continue;
      }
      for (std::size_t i = 0; i < kBlock; ++i)
        image.push_back(static_cast<char>((b * 7 + i * 13) & 0xFF));
    }
    return image;
  }

  // FlashInit through the erase; then every block, each waited for.
  void initAndWrite(const std::string& image, std::size_t blocks) {
    ASSERT_EQ(ecu.FlashInit(), 1024);
    ASSERT_EQ(flashOutcome(), flashReady);
    for (std::size_t b = 0; b < blocks; ++b) {
      ecu.FlashWrite(image.substr(b * kBlock, kBlock));
      ASSERT_EQ(flashOutcome(), flashReady) << "block " << b;
    }
  }
};

TEST_F(VisteonReflash, AWholeImageIsWrittenAndVerified) {
  ecuSim.loadFlash(std::string(ecuSim.flash().bytes().size(), '\x11'));
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, image.size() / kBlock);
  ecu.FlashVerify(ImageSum(image));
  EXPECT_EQ(flashOutcome(), flashReady);
  EXPECT_EQ(ecuSim.flash().bytes(), image);
  EXPECT_EQ(traceCount("...skipping FF block #36..."), 1);
  EXPECT_EQ(traceCount(">> Sending 1 kB data block #33..."), 1);
  // Every step told the client; the last note is the verify's.
  EXPECT_EQ(events.notes.back(), "flashStatus=2");
  EXPECT_EQ(form().commandRequested, cmd::kHandled);
  EXPECT_FALSE(form().tmrWatchDog.Enabled());  // the reflash keeps the watchdog off
}

// The request table is there from the start: a verify asked for before any FlashInit
// (a client checking a controller it reprogrammed in an earlier session) goes out as
// the verify request, not as its two checksum bytes alone.
TEST_F(VisteonReflash, AVerifyBeforeAnyInitSendsTheVerifyRequest) {
  ASSERT_TRUE(connect());
  ecu.FlashVerify(0x1234);
  flashOutcome();
  EXPECT_EQ(requestsOnWire(FramePacket(Bytes({0x31, 0xA3, 0x12, 0x34}), true)), 1) << traceDump();
  EXPECT_EQ(requestsOnWire(FramePacket(Bytes({0x12, 0x34}), true)), 0);
}

// An empty block or one larger than the controller's block is refused at once: never
// reported written, never stored, nothing sent.
TEST_F(VisteonReflash, ABlockThatCannotBeRightIsRefused) {
  ASSERT_TRUE(connect());
  ASSERT_EQ(ecu.FlashInit(), 1024);
  ASSERT_EQ(flashOutcome(), flashReady);
  for (const std::size_t size : {std::size_t{0}, std::size_t{1025}, std::size_t{1} << 20}) {
    SCOPED_TRACE(size);
    line().clearLog();
    events.notes.clear();
    ecu.FlashWrite(std::string(size, '\x5A'));
    EXPECT_EQ(ecu.FlashStatus(), flashFailedWrite);
    EXPECT_EQ(events.notes, std::vector<std::string>{"flashStatus=6"});
    runFor(1'000);
    EXPECT_EQ(ecu.FlashStatus(), flashFailedWrite);
    EXPECT_TRUE(serverBytes().empty());
    EXPECT_TRUE(form().ecuFlashData.empty());
  }
  ecu.FlashWrite(std::string(1024, '\x5A'));  // a right block still goes
  EXPECT_EQ(flashOutcome(), flashReady);
}

TEST_F(VisteonReflash, AWrongChecksumFailsTheVerify) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, image.size() / kBlock);
  ecu.FlashVerify(ImageSum(image) ^ 0x0101);
  EXPECT_EQ(flashOutcome(), flashFailedVerify);
}

TEST_F(VisteonReflash, AnAbortMidwayReturnsToIdleAndReinitialises) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, 3);
  events.statuses.clear();
  ecu.FlashAbort();
  loop.runUntil([&] { return ecu.FlashStatus() == flashIdle; }, 5000);
  EXPECT_EQ(ecu.FlashStatus(), flashIdle);
  loop.runUntil([&] { return !events.statuses.empty() && events.statuses.back() == ecuCommOK; },
                10'000);
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
  EXPECT_EQ(ecu.idHardware(), "Visteon Controller");
  EXPECT_FALSE(globals.gFlashAbort);
  EXPECT_TRUE(form().tmrWatchDog.Enabled());
}

TEST_F(VisteonReflash, AControllerResetMidWriteFailsTheWriteAndNeverReportsReady) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, 1);
  ecuSim.resetAfterTransferPackets(50);
  std::vector<std::string> notesBefore = events.notes;
  ecu.FlashWrite(image.substr(kBlock, kBlock));
  EXPECT_EQ(flashOutcome(), flashFailedWrite);
  const std::vector<std::string> after(events.notes.begin() + notesBefore.size(),
                                       events.notes.end());
  for (const auto& n : after) EXPECT_NE(n, "flashStatus=2");
}

// A second reflash whose erase the controller refuses to start: the erase result it
// still holds from the first one says nothing of this erase, and the blocks written
// since are still in the flash, so the init fails.
TEST_F(VisteonReflash, ARefusedEraseFailsTheInitEvenWhenAnOldResultStands) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, 1);
  // Once the key is taken, the next routine started is the erase.
  ecuSim.setExchangeLog([this](const std::string& exchange) {
    if (exchange.rfind("27 02", 0) == 0) ecuSim.injectNegative(0x31, 0x22);
  });
  ASSERT_EQ(ecu.FlashInit(), 1024);
  EXPECT_EQ(flashOutcome(), flashFailedErase);
  EXPECT_EQ(ecuSim.flash().bytes().substr(0, kBlock), image.substr(0, kBlock));
}

// A block whose download or block check the controller refuses is not written,
// whatever the check result it still holds from the block before says.
TEST_F(VisteonReflash, ARefusedBlockFailsEvenWhenAnOldCheckStands) {
  ecuSim.loadFlash(std::string(ecuSim.flash().bytes().size(), '\x11'));
  ASSERT_TRUE(connect());
  ASSERT_EQ(ecu.FlashInit(), 1024);
  ASSERT_EQ(flashOutcome(), flashReady);
  const std::string block(kBlock, '\x5A');
  const std::vector<std::vector<int>> refusals = {{0x31}, {0x34, 0x31}};
  std::size_t written = 0;
  for (const auto& refused : refusals) {
    SCOPED_TRACE(::testing::PrintToString(refused));
    ecu.FlashWrite(block);  // a good block leaves a good check result behind
    ASSERT_EQ(flashOutcome(), flashReady);
    ++written;
    for (const int service : refused) ecuSim.injectNegative(service, 0x22);
    ecu.FlashWrite(block);
    EXPECT_EQ(flashOutcome(), flashFailedWrite) << traceDump();
    EXPECT_EQ(ecuSim.flash().bytes().substr(written * kBlock, kBlock), std::string(kBlock, '\xFF'));
    ++written;
  }
}

// The client asks for a new init while a block is still being written: the write's
// verdict answers nothing it waits for. The only verdict it gets is the init's, after
// the erase really ran.
TEST_F(VisteonReflash, AStepOvertakenByANewRequestDoesNotAnswerIt) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  initAndWrite(image, 1);
  bool asked = false;
  ecuSim.setExchangeLog([&](const std::string& exchange) {
    if (asked || exchange.rfind("37 82", 0) != 0) return;
    asked = true;
    ecu.FlashInit();
  });
  events.notes.clear();
  ecu.FlashWrite(image.substr(kBlock, kBlock));
  EXPECT_EQ(flashOutcome(), flashReady);
  ASSERT_TRUE(asked);
  EXPECT_EQ(events.notes,
            (std::vector<std::string>{"flashStatus=1", "flashStatus=1", "flashStatus=2"}));
  EXPECT_EQ(ecuSim.flash().bytes().substr(0, 2 * kBlock), std::string(2 * kBlock, '\xFF'));
}

TEST_F(VisteonReflash, AWrongKeyIsRefused) {
  ASSERT_TRUE(connect());
  ecuSim.injectNegative(0x27, 0x35);  // the seed request answered "invalid key"
  ecu.FlashInit();
  EXPECT_EQ(flashOutcome(), flashFailedUnlock);
  EXPECT_FALSE(ecuSim.unlocked());
}

TEST_F(VisteonReflash, TheCalibrationTextIsUploaded) {
  ecuSim.setCalibrationText("CAL 2005 V92C TOURING");
  ASSERT_TRUE(connect());
  ecu.FlashReadCalText();
  loop.runUntil([&] { return ecu.FlashStatus() == flashReady; }, 30'000);
  EXPECT_EQ(ecu.FlashStatus(), flashReady);
  EXPECT_EQ(ecu.ecuResults, ecuSim.calibrationText());
  EXPECT_EQ(ecu.ecuResults.rfind("CAL 2005 V92C TOURING", 0), 0u);
}

// A flash request the client made just before an initialisation that found no
// controller (which stops the request timer) still runs once the controller answers: the
// client is never left at flashBusy with nothing to end it, and the link comes back.
TEST_F(VisteonReflash, AFlashRequestOutlivesAFailedInitialisation) {
  ASSERT_TRUE(connect());
  ecuSim.injectSilence(sim::visteon::kAnyService, sim::visteon::kForever);
  ecu.FlashInit();
  ecu.FlashAbort();
  ecu.InitComm(1);
  ASSERT_FALSE(form().tmrSampleRate.Enabled()) << traceDump();
  ecuSim.clearInjections();
  runFor(10'000);
  EXPECT_EQ(ecu.FlashStatus(), flashIdle) << traceDump();
  EXPECT_EQ(events.statuses.back(), ecuCommOK) << traceDump();
}

}  // namespace
}  // namespace quorvan::testing
