#include <gtest/gtest.h>

#include "support/ServerFixture.h"

namespace quorvan::testing {
namespace {

// A port whose line events and bytes the test makes up.
class ScriptedDevice final : public SerialDevice {
 public:
  void setListener(SerialListener* l) override { listener = l; }
  bool setBitRate(std::uint32_t r) override {
    rate = r;
    return true;
  }
  std::uint32_t bitRate() const override { return rate; }
  void write(const std::string& bytes) override {
    ++writes;
    written += bytes;
  }
  std::size_t available() const override { return input.size(); }
  std::string readAll() override { return std::exchange(input, {}); }
  void flushInput() override { input.clear(); }
  void setBreak(bool) override {}
  void setDtr(bool) override {}
  void setRts(bool) override {}
  bool cts() override { return false; }
  bool dsr() override { return false; }
  bool cd() override { return false; }

  SerialListener* listener = nullptr;
  std::uint32_t rate = 0;
  std::string input;
  std::string written;
  int writes = 0;
};

class ScriptedBackend final : public SerialBackend {
 public:
  std::unique_ptr<SerialDevice> open(int) override {
    auto d = std::make_unique<ScriptedDevice>();
    device = d.get();
    return d;
  }
  bool isModemPort(int) override { return false; }
  ScriptedDevice* device = nullptr;
};

class CommEvents : public ServerFixture {
 protected:
  void SetUp() override {
    serial.target = &scripted;
    start();
    ecu.setDebugMode(true);
    ecu.setDevice(ecuVisteon);
    form().SetupPort();
    ASSERT_NE(scripted.device, nullptr);
  }
  void raise(int code) {
    scripted.device->listener->onLineEvent(code);
    loop.DoEvents();
  }
  std::string lastRingEntry() {
    const int i = form().trace.ringIndex();
    return i > 0 ? form().trace.ringSlot(i) : std::string();
  }
  ScriptedBackend scripted;
};

TEST_F(CommEvents, EachLineEventIsReportedWithItsTextAndCounted) {
  const struct {
    int code;
    const char* text;
    int counted;
  } cases[] = {
      {comm::comEvCD, "** CD line changed state!", 1},
      {comm::comEvCTS, "** CTS line changed state!", 1},
      {comm::comEvDSR, "** DSR line changed state!", 0},
      {comm::comEvRing, "** Ring Indicator changed state!", 1},
      {comm::comEvEOF, "** EOF character found in input stream!", 0},
      {comm::comEventRxOver, "** The Receive buffer overflowed!", 0},
      {comm::comEventRxParity, "** A Parity Error was detected!", 0},
      {comm::comEventTxFull, "** The Transmit buffer was full!", 0},
      {comm::comEventDCB, "** Error occurred retrieving the DCB!", 0},
      {1002, "** Unknown Event: 3EA", 0},
  };
  // The port masks CTS, CD and ring changes as line noise; unmask to see them handled.
  form().commSerial.SetCommMask(evmask::kAll);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const int before = form().modemLineEvents;
    raise(c.code);
    EXPECT_NE(lastRingEntry().find(c.text), std::string::npos) << lastRingEntry();
    EXPECT_EQ(form().modemLineEvents - before, c.counted);
  }
}

TEST_F(CommEvents, NoiseEventsAreMaskedOnAnOpenedPort) {
  for (int code : {comm::comEvCD, comm::comEvCTS, comm::comEvRing}) raise(code);
  EXPECT_EQ(form().modemLineEvents, 0);
}

TEST_F(CommEvents, BreakAndFramingErrorsFlushTheInputOnlyBreakSetsTheFlag) {
  scripted.device->input = "junk";
  raise(comm::comEventFrame);
  EXPECT_TRUE(scripted.device->input.empty());
  EXPECT_FALSE(form().breakReceived);
  scripted.device->input = "junk";
  raise(comm::comEventBreak);
  EXPECT_TRUE(scripted.device->input.empty());
  EXPECT_TRUE(form().breakReceived);
}

TEST_F(CommEvents, OverrunsAreCountedEvenWithTheTraceOff) {
  ecu.setDebugMode(false);
  const int ringBefore = form().trace.ringIndex();
  raise(comm::comEventOverrun);
  raise(comm::comEventOverrun);
  EXPECT_EQ(form().iOverrun, 2);
  EXPECT_EQ(form().trace.ringIndex(), ringBefore);  // traced only in debug mode
}

TEST_F(CommEvents, TransfersWriteNothingForNothing) {
  const int writes = scripted.device->writes;
  form().CommOutStr("");
  EXPECT_EQ(scripted.device->writes, writes);
  EXPECT_EQ(form().CommInStr(), "");
  form().CommOutStr(std::string("\x00\xFF\x80", 3));
  EXPECT_EQ(scripted.device->written.substr(scripted.device->written.size() - 3),
            std::string("\x00\xFF\x80", 3));
}

TEST_F(CommEvents, OneReceiveEventTakesEverythingWaiting) {
  scripted.device->input = std::string("\x01\x02\x03", 3);
  scripted.device->listener->onBytesArrived();
  scripted.device->listener->onBytesArrived();
  loop.DoEvents();
  EXPECT_EQ(form().blockBuf, std::string("\x01\x02\x03", 3));
  EXPECT_TRUE(form().gotInput);
  EXPECT_EQ(form().msgTime, ms());
}

}  // namespace
}  // namespace quorvan::testing
