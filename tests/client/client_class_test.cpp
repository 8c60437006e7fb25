#include <gtest/gtest.h>

#include "support/ServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

class ClientClass : public ServerFixture {};

TEST_F(ClientClass, AsyncRunTaskRaisesReadyOnlyOnceTheLoopRuns) {
  ecu.RunTask(true);
  EXPECT_TRUE(events.statuses.empty());
  EXPECT_FALSE(ecu.Ready());
  loop.DoEvents();  // the 1 ms timer is not due yet
  EXPECT_TRUE(events.statuses.empty());
  runFor(2);
  EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuReady});
  EXPECT_TRUE(ecu.Ready());
  EXPECT_EQ(ecu.State(), ecuReady);
  EXPECT_EQ(process.classes, std::vector<int>{priority::REALTIME_PRIORITY_CLASS});
  EXPECT_EQ(process.threadPriorities, std::vector<int>{priority::THREAD_PRIORITY_HIGHEST});
  EXPECT_EQ(form().Caption, "HdnCommThd-ID: 4242");
  EXPECT_EQ(form().numPort, 1);
  EXPECT_EQ(globals.gTaskObject, nullptr);
}

TEST_F(ClientClass, IdentityStartsUnknown) {
  EXPECT_EQ(ecu.idHardware(), "UNKNOWN");
  EXPECT_EQ(ecu.idSoftware(), "UNKNOWN");
  EXPECT_EQ(ecu.idCustomer(), "UNKNOWN");
}

TEST_F(ClientClass, PropertiesReachTheForm) {
  start();
  ecu.setDebugMode(true);
  EXPECT_TRUE(form().mbDebugMode);
  EXPECT_TRUE(ecu.DebugMode());
  ecu.setBaseTimingMode(true);
  EXPECT_TRUE(form().mbTimingMode);
  ecu.setDevice(12345);  // stored and logged unchanged, no check
  EXPECT_EQ(form().ecuDevice, 12345);
  EXPECT_EQ(ecu.Device(), 12345);
  EXPECT_NE(form().trace.lstTrace().back().find("++ Client changing ecuDevice, from 0 to 12345"),
            std::string::npos);
  ecu.setClientName("Diag Main");
  EXPECT_EQ(form().msClientName, "Diag Main");
  EXPECT_EQ(form().Caption, "Client: Diag Main");
  ecu.MellowOut();
  EXPECT_TRUE(form().holdThePhone);
  EXPECT_TRUE(ecu.Busy());
  ecu.command(201);
  EXPECT_EQ(form().commandRequested, 201);
  ecu.ClearFaults();
  EXPECT_TRUE(form().clearPending);
  EXPECT_EQ(ecu.ThreadID(), 4242);
  EXPECT_FALSE(ecu.Pullup());  // the port is closed: DTR reads False
}

// What a client sets before RunTask is what the form works with; a flash request then has
// nobody to carry it out and changes nothing.
TEST_F(ClientClass, ChoicesMadeBeforeTheFormLoadsApplyToIt) {
  ecu.setDevice(ecuVisteon);
  ecu.setDebugMode(true);
  ecu.setBaseTimingMode(true);
  ecu.setClientName("Diag");
  EXPECT_EQ(ecu.FlashInit(), 0);
  ecu.FlashVerify(0x1234);
  ecu.FlashAbort();
  ecu.FlashReadCalText();
  EXPECT_EQ(ecu.FlashStatus(), flashIdle);
  EXPECT_FALSE(globals.gFlashAbort);
  EXPECT_FALSE(ecu.ecuGetCalText);
  EXPECT_TRUE(events.notes.empty());
  start();
  EXPECT_EQ(form().ecuDevice, ecuVisteon);
  EXPECT_STREQ(form().family().info().name, "Visteon");
  EXPECT_TRUE(form().mbDebugMode);
  EXPECT_TRUE(form().mbTimingMode);
  EXPECT_EQ(form().msClientName, "Diag");
  EXPECT_EQ(form().Caption, "Client: Diag");
  EXPECT_EQ(form().commandRequested, 0);
}

TEST_F(ClientClass, FlashInitReturnsTheBlockSizeOfTheFamily) {
  start();
  const struct {
    std::int32_t device;
    std::int16_t size;
  } cases[] = {{ecuMSE11, 250}, {ecuVisteon, 1024}, {ecuMSE10, 0},
               {ecuFicht, 0},   {ecuMBE, 0},        {ecuWeberM7, 0}};
  for (const auto& c : cases) {
    ecu.setDevice(c.device);
    EXPECT_EQ(ecu.FlashInit(), c.size) << c.device;
    EXPECT_EQ(ecu.FlashStatus(), flashBusy);
    EXPECT_EQ(form().commandRequested, cmd::kFlashInit);
    EXPECT_TRUE(form().tmrSampleRate.Enabled());
  }
  EXPECT_EQ(events.notes.back(), "flashStatus=1");
}

TEST_F(ClientClass, FlashWriteNeedsASessionExceptOnFicht) {
  start();
  ecu.setDevice(ecuVisteon);
  ecu.FlashWrite("abc");
  EXPECT_EQ(form().commandRequested, 0);  // idle: ignored without a report
  EXPECT_TRUE(events.notes.empty());

  ecu.setDevice(ecuFicht);
  ecu.FlashWrite(std::string("\x00\xFF", 2));
  EXPECT_EQ(form().commandRequested, cmd::kFichtBlockWrite);
  EXPECT_EQ(form().ecuFlashData, std::string("\x00\xFF", 2));
  EXPECT_EQ(ecu.FlashStatus(), flashIdle);

  ecu.setDevice(ecuVisteon);
  ecu.FlashInit();
  ecu.FlashWrite("first");
  runFor(7);
  ecu.FlashWrite("second");  // overwrites the block whether or not the first was written
  EXPECT_EQ(form().ecuFlashData, "second");
  EXPECT_EQ(form().commandRequested, cmd::kFlashWrite);
  EXPECT_EQ(form().startFlashWrite, ms());
}

TEST_F(ClientClass, FlashRequestsLeaveTheirTraceLines) {
  start();
  ecu.setDebugMode(true);
  ecu.setDevice(ecuVisteon);
  ecu.FlashInit();
  ecu.FlashWrite("x");
  ecu.FlashWrite("y");
  ecu.FlashVerify(255);
  ecu.FlashVerify(-1);
  ecu.FlashAbort();
  ecu.FlashReadCalText();
  std::vector<std::string> tails;
  for (const auto& line : form().trace.lstTrace())
    tails.push_back(line.substr(line.find(": ") + 2));
  const std::vector<std::string> expected = {
      "++ Client changing ecuDevice, from 0 to 4",
      "## Client requesting FlashInit, enabling SampleRateTimer",
      "## Client requesting FlashWrite #1",
      "## Client requesting FlashWrite #2",
      "## Client requesting FlashVerify... FF",
      "## Client requesting FlashVerify... FFFFFFFF",
      "## Client requesting FlashAbort, gFlashAbort flag set...",
      "## Client requesting ReadCalText, enabling SampleRateTimer",
  };
  EXPECT_EQ(tails, expected);
  EXPECT_TRUE(globals.gFlashAbort);
  EXPECT_TRUE(ecu.ecuGetCalText);
  EXPECT_EQ(form().ecuChecksum, -1);
  EXPECT_EQ(form().commandRequested, cmd::kFlashInit);
}

TEST_F(ClientClass, FlashIdentOnlyOnMse11) {
  start();
  ecu.setDevice(ecuVisteon);
  EXPECT_TRUE(ecu.FlashIdent().isEmpty());
  EXPECT_EQ(form().commandRequested, 0);
  ecu.setDevice(ecuMSE11);
  EXPECT_TRUE(ecu.FlashIdent().isEmpty());
  EXPECT_EQ(form().commandRequested, cmd::kFlashIdent);
  EXPECT_EQ(ecu.FlashStatus(), flashBusy);
  EXPECT_TRUE(form().tmrSampleRate.Enabled());
}

TEST_F(ClientClass, EcuLogTimeChangesNothing) {
  start();
  const auto before = events.log;
  ecu.ecuLogTime();
  EXPECT_EQ(events.log, before);
}

TEST_F(ClientClass, MembersCalledBeforeTheFormExistsDoNotCrash) {
  ecu.setDebugMode(true);
  ecu.setDevice(ecuVisteon);
  ecu.InitComm(1);
  ecu.ClearFaults();
  ecu.command(1);
  EXPECT_EQ(ecu.GetInfo(1), "");
  EXPECT_EQ(ecu.Device(), ecuVisteon);
}

}  // namespace
}  // namespace quorvan::testing
