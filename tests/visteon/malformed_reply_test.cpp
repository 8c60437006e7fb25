#include <gtest/gtest.h>

#include "support/FamilyState.h"
#include "visteon/PacketLayer.h"
#include "visteon/VisteonFixture.h"

// Replies that are malformed or cut short: consumed, never re-read, waited for no longer
// than a reply may take, and followed by good values once the controller answers again.
namespace quorvan::testing {
namespace {

class MalformedReply : public VisteonFixture {};

struct SpoiltFaultList {
  const char* name;
  void (*inject)(sim::VisteonEcu&);
};

class SpoiltFaultLists : public MalformedReply,
                         public ::testing::WithParamInterface<SpoiltFaultList> {};

// Six codes come in three packets (the third carries the ending 0000). A spoilt packet
// ends that read without a list for the client: a part of the list, or none, would be
// taken for the controller's whole list. The next read delivers it whole, and the
// watched value goes on meanwhile.
TEST_P(SpoiltFaultLists, EndTheReadAndTheNextReadDeliversTheWholeList) {
  ecuSim.setFaults({0x0123, 0x0133, 0x0221, 0x1005, 0x0300, 0x0401});
  ecuSim.setPid(0x0C, 0x1234);
  ASSERT_TRUE(connect());
  ecu.AddItem(1, 0x0300, 1, ecuFaults);
  ecu.AddItem(2, 0x010C, 2, ecuData);
  ecu.Watch(1, 1);
  ecu.Watch(2, 1);
  GetParam().inject(ecuSim);
  ASSERT_TRUE(
      loop.runUntil([&] { return events.faults.size() >= 2 && events.data.size() >= 3; }, 10'000))
      << traceDump();
  for (const std::string& list : events.faults) EXPECT_EQ(list, "0123/0133/0221/1005/0300/0401/");
  EXPECT_EQ(events.data.back().value, Variant(std::int32_t{0x1234}));
  EXPECT_EQ(events.statuses.back(), ecuCommOK);
}

INSTANTIATE_TEST_SUITE_P(
    , SpoiltFaultLists,
    ::testing::Values(
        SpoiltFaultList{"FirstPacketGarbled",
                        [](sim::VisteonEcu& e) { e.injectGarbledReply(0x03, 0); }},
        SpoiltFaultList{"SecondPacketGarbled",
                        [](sim::VisteonEcu& e) { e.injectGarbledReply(0x03, 1); }},
        SpoiltFaultList{"FirstPacketCutShort",
                        [](sim::VisteonEcu& e) { e.injectTruncatedReply(0x03, 5, 0); }},
        SpoiltFaultList{"SecondPacketCutShort",
                        [](sim::VisteonEcu& e) { e.injectTruncatedReply(0x03, 1, 1); }}),
    [](const auto& info) { return std::string(info.param.name); });

// However the reply is spoilt, the exchange gives up within the reply's bound (400 ms
// after the echo) and leaves nothing behind to be read as the next reply.
TEST_F(MalformedReply, ASpoiltReplyIsGivenUpWithinItsBoundAndConsumed) {
  const struct {
    const char* name;
    void (*inject)(sim::VisteonEcu&);
  } cases[] = {
      {"garbled", [](sim::VisteonEcu& e) { e.injectGarbledReply(0x01); }},
      {"cut after 2", [](sim::VisteonEcu& e) { e.injectTruncatedReply(0x01, 2); }},
      {"cut after 4", [](sim::VisteonEcu& e) { e.injectTruncatedReply(0x01, 4); }},
      {"cut after 6", [](sim::VisteonEcu& e) { e.injectTruncatedReply(0x01, 6); }},
      {"silent", [](sim::VisteonEcu& e) { e.injectSilence(0x01); }},
  };
  ecuSim.setPid(0x0C, 0x1234);
  ASSERT_TRUE(connect());
  form().tmrSampleRate.setEnabled(false);  // the test makes the exchanges itself
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.inject(ecuSim);
    const std::uint32_t t0 = ms();
    EXPECT_EQ(SendCommand(form(), VisteonState(form()), Bytes({0x01, 0x0C})), kExchangeNoReply);
    EXPECT_LE(ms() - t0, 420u);  // the echo of six bytes, then at most 400 ms
    runFor(100);                 // anything still under way arrives
    EXPECT_EQ(SendCommand(form(), VisteonState(form()), Bytes({0x01, 0x0C})), kExchangeOk);
    EXPECT_EQ(form().replyBuffer, Bytes({0x41, 0x0C, 0x12, 0x34}));
  }
}

}  // namespace
}  // namespace quorvan::testing
