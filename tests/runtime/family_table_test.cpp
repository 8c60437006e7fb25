#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Families.h"
#include "sim/SimModem.h"
#include "support/SimServerFixture.h"

// Which family serves which device value, and what a device value no family serves does.
namespace quorvan::testing {
namespace {

struct Row {
  std::int32_t device;
  const char* family;
};

// The 5-baud Weber and Kokusan controllers talk the MSE 1.0 blocks; a value that is not
// one of the published families (or a combination of them) is served by nobody.
TEST(FamilyTable, EachDeviceValueFindsItsFamily) {
  const FamilyTable table = MakeFamilyTable();
  const Row rows[] = {{ecuMSE10, "MSE 1.0"},   {ecuWeber7A, "MSE 1.0"}, {ecuWeber11, "MSE 1.0"},
                      {ecuKokusan, "MSE 1.0"}, {ecuWeberM7, "MSE 1.0"}, {ecuMSE11, "MSE 1.1"},
                      {ecuVisteon, "Visteon"}, {ecuFicht, "Ficht"},     {ecuMBE, "MBE"},
                      {0, "not served"},       {3, "not served"},       {999, "not served"},
                      {-1, "not served"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.device);
    EXPECT_STREQ(table.forDevice(row.device).info().name, row.family);
    EXPECT_EQ(table.forDevice(row.device).info().served, std::string(row.family) != "not served");
  }
}

class NotServed : public SimServerFixture {};

// Nothing goes to a controller for a device nobody serves: no wake-up pattern, no
// request, no status but the trace line.
TEST_F(NotServed, InitialisationOpensThePortAndSendsNothing) {
  for (std::int32_t device : {0, 3, 999}) {
    SCOPED_TRACE(device);
    nextDevice(device);
    ecu.InitComm(1);
    runFor(100);
    EXPECT_TRUE(form().commSerial.PortOpen());
    EXPECT_TRUE(line().levelLog().empty());
    EXPECT_TRUE(line().wireLog().empty());
    EXPECT_TRUE(events.statuses.empty());
    EXPECT_EQ(traceCount("-- Device " + std::to_string(device) + " is not served by this build"),
              1);
  }
}

// With no device chosen yet the port scan must still see a modem's answer: the bytes are
// kept for it instead of being taken for an MSE 1.0 block.
TEST_F(NotServed, PortScanWithoutADeviceStillFindsTheModem) {
  start();
  nameClient("Diag");
  ports().setPort(2, sim::SimPort::modem("OK\r\n"));
  std::vector<bool> free(2, false);
  ecu.PortsFree(1, free);
  EXPECT_EQ(free, (std::vector<bool>{true, false}));
}

// A family without a reflash answers each flash request with its failure at the next
// tick, instead of leaving the client at flashBusy (which also keeps the watchdog away).
class NoReflash : public SimServerFixture {};

TEST_F(NoReflash, EachFlashRequestIsAnsweredWithItsFailure) {
  startWith(ecuMSE10);
  EXPECT_EQ(ecu.FlashInit(), 0);
  runFor(500);
  EXPECT_EQ(ecu.FlashStatus(), flashFailedPrep);
  EXPECT_EQ(events.notes, (std::vector<std::string>{"flashStatus=1", "flashStatus=3"}));
  EXPECT_FALSE(form().tmrSampleRate.Enabled());
  EXPECT_TRUE(line().wireLog().empty());  // nothing of another family's reflash
  events.notes.clear();
  ecu.FlashVerify(0x1234);
  ecu.FlashAbort();  // the abort is the pending request now
  runFor(500);
  EXPECT_EQ(ecu.FlashStatus(), flashIdle);
  EXPECT_FALSE(globals.gFlashAbort);
  EXPECT_EQ(events.notes, (std::vector<std::string>{"flashStatus=1", "flashStatus=0"}));
}

}  // namespace
}  // namespace quorvan::testing
