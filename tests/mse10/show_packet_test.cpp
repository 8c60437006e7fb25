#include <gtest/gtest.h>

#include <stdexcept>

#include "mse10/Mse10Fixture.h"
#include "mse10/ShowPacket.h"
#include "support/FamilyState.h"
#include "support/ServerFixture.h"

// Decoding of complete controller blocks as the pump hands them over.
namespace quorvan::testing {
namespace {

class Decoding : public ServerFixture {
 protected:
  Decoding() {
    start();
    nameClient("Diag");
    ecu.setDebugMode(true);
  }

  // The block (without its end byte) arrives complete.
  void receive(const std::string& block) {
    form().blockBuf = block + '\x03';
    Mse10State(form()).byteCount = static_cast<std::int16_t>(form().blockBuf.size());
    Mse10State(form()).rxTitle = static_cast<std::uint8_t>(block[2]);
    ShowPacket(form(), Mse10State(form()));
  }

  int traceCount(const std::string& text) {
    int n = 0;
    for (const auto& l : form().trace.lstTrace()) n += l.find(text) != std::string::npos;
    return n;
  }

  // Item 1 is being read.
  void readingItem(std::int16_t size, std::int32_t kind = ecuData, std::int16_t priority = 1) {
    ecu.AddItem(1, 0x0100, size, kind);
    ecu.Watch(1, priority);
    globals.gCurItem = 1;
    Mse10State(form()).curItemSize = size;
  }
};

struct MemoryCase {
  std::string data;
  std::int16_t size;
  Variant value;
};

class MemoryData : public Decoding, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(MemoryData, IsDeliveredInTheItemsByteOrder) {
  const MemoryCase& c = GetParam();
  readingItem(c.size);
  receive(Block(9, 0xFE, c.data));
  ASSERT_EQ(events.data.size(), 1u);
  EXPECT_EQ(events.data[0].itemNum, 1);
  EXPECT_EQ(events.data[0].value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    , MemoryData,
    ::testing::Values(MemoryCase{Bytes({0x34, 0x12}), 2, Variant(std::int32_t{0x1234})},
                      MemoryCase{Bytes({0x34, 0x12}), -2, Variant(std::int32_t{0x3412})},
                      MemoryCase{Bytes({0xFF, 0xFF, 0xFF, 0xFF}), 4, Variant(std::int32_t{-1})},
                      MemoryCase{Bytes({0x00, 0x00, 0x00, 0x80}), 4,
                                 Variant(std::int32_t{-2147483647 - 1})},
                      // More bytes than asked for: still most significant first.
                      MemoryCase{Bytes({0x12, 0x34}), -1, Variant(std::int32_t{0x1234})},
                      MemoryCase{Bytes({1, 2, 3, 4, 5}), 5, Variant(Bytes({1, 2, 3, 4, 5}))}));

TEST_F(Decoding, MemoryDataWithoutAWatchedItemIsNotDelivered) {
  receive(Block(9, 0xFE, Bytes({0x34, 0x12})));  // no current item
  readingItem(2, ecuData, 0);
  receive(Block(9, 0xFE, Bytes({0x34, 0x12})));  // the item is no longer watched
  EXPECT_TRUE(events.data.empty());
  EXPECT_TRUE(form().blockBuf.empty());
}

TEST_F(Decoding, ASingleByteValueIsDeliveredWhateverTheItem) {
  receive(Block(9, 0xDB, Bytes({0x2A})));
  ASSERT_EQ(events.data.size(), 1u);
  EXPECT_EQ(events.data[0].itemNum, 1);
  EXPECT_EQ(events.data[0].value, Variant(std::int32_t{0x2A}));
}

TEST_F(Decoding, FaultBlocksAddCurrentAndHistoricCodesUntilTheAcknowledge) {
  readingItem(1, ecuFaults);
  Mse10State(form()).lastCmd = 0x07;
  receive(Block(5, 0xFC, Bytes({0x12, 0x34, 0x85})));
  receive(Block(7, 0xFC, Bytes({0x01, 0x02, 0x03})));
  receive(Block(9, 0xFC, Bytes({0x01})));  // too short to be a code
  EXPECT_EQ(Mse10State(form()).faultText, "H123405/C010203/");
  EXPECT_TRUE(events.faults.empty());
  receive(Block(11, 0x09));
  EXPECT_EQ(events.faults, std::vector<std::string>{"H123405/C010203/"});
  EXPECT_TRUE(alerts.boxes.empty());
}

TEST_F(Decoding, TheAnswerToAClearIsReportedOnce) {
  const struct {
    int title;
    bool success;
  } cases[] = {{0x09, true}, {0x0A, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    events.cleared.clear();
    Mse10State(form()).lastCmd = 0x05;
    receive(Block(3, c.title));
    receive(Block(5, 0x09));
    EXPECT_EQ(events.cleared, std::vector<bool>{c.success});
    EXPECT_EQ(Mse10State(form()).lastCmd, -1);
  }
}

TEST_F(Decoding, IdentificationTextsFillTheThreeEntriesAndNoMore) {
  receive(Block(1, 0xF6, std::string("  0261204123 \0 \0", 17)));
  receive(Block(3, 0xF6, "SW"));
  EXPECT_TRUE(events.statuses == std::vector<std::int32_t>{ecuReady});
  receive(Block(5, 0xF6, "CUST"));
  receive(Block(7, 0xF6, "FOURTH"));
  EXPECT_EQ(ecu.idHardware(), "0261204123");
  EXPECT_EQ(ecu.idSoftware(), "SW");
  EXPECT_EQ(ecu.idCustomer(), "CUST");
  EXPECT_EQ(events.statuses, (std::vector<std::int32_t>{ecuReady, ecuCommOK}));
  EXPECT_EQ(form().trace.lstTrace().size(), 1u);  // the status line, no failure
}

TEST_F(Decoding, EveryBlockCountsAsActivityAndIsConsumed) {
  for (const int title : {0x09, 0x0A, 0xF6, 0xFC, 0xFE, 0xDB, 0x42}) {
    SCOPED_TRACE(title);
    form().activity = false;
    receive(Block(1, title, Bytes({0x01, 0x02, 0x03})));
    EXPECT_TRUE(form().activity);
    EXPECT_TRUE(form().blockBuf.empty());
    EXPECT_EQ(Mse10State(form()).byteCount, 0);
  }
}

// A client whose event handler fails.
class FailingSink : public EventRecorder {
 public:
  void NewFaults(std::int16_t, std::int32_t, const std::string&) override {
    throw std::runtime_error("sink failed");
  }
};

TEST_F(Decoding, AFailureIsReportedWithTheStepReached) {
  FailingSink failing;
  ecu.addSink(&failing);
  readingItem(1, ecuFaults);
  Mse10State(form()).lastCmd = 0x07;
  receive(Block(3, 0x09));
  ecu.removeSink(&failing);
  EXPECT_EQ(traceCount("*** Crapped in ShowPacket, at: ACK/faultCheck ***"), 1);
  ASSERT_FALSE(alerts.boxes.empty());
  EXPECT_EQ(alerts.boxes[0].title, "Alert 9");
  EXPECT_FALSE(form().blockBuf.empty());  // left as it was
}

}  // namespace
}  // namespace quorvan::testing
