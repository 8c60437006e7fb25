#include <gtest/gtest.h>

#include "kline/FaultCodes.h"
#include "kline/Format.h"
#include "kwp2000/BoschSession.h"
#include "kwp2000/IsoLink.h"
#include "kwp2000/Kwp2000Family.h"
#include "sim/SimEcu.h"
#include "support/SimServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {
namespace {

std::string framed(std::initializer_list<int> bytes) {
  std::string frame = Bytes(bytes);
  frame.push_back(static_cast<char>(Checksum8(frame)));
  return frame;
}

// ---- Framing: pure functions of the request ----

TEST(IsoFraming, RequestsAreFramedByTheirKind) {
  Kwp2000Link k;
  BuildKwpRequests(k);
  k.dataSize = 250;
  k.dataPacket = std::string(250, '\x01');
  EXPECT_EQ(FrameIsoRequest(k, Bytes({0x81}), 0), Bytes({0x81, 0x11, 0xF1, 0x81, 0x04}));
  EXPECT_EQ(FrameIsoRequest(k, Bytes({0x33, 0x02}), 0), Bytes({0x02, 0x33, 0x02, 0x37}));
  EXPECT_EQ(FrameIsoRequest(k, Bytes({0x36}), 0),
            Bytes({0x00, 0xFB, 0x36}) + k.dataPacket + Bytes({(0xFB + 0x36 + 250) & 0xFF}));
  EXPECT_EQ(FrameIsoRequest(k, k.requests.reqVerifyStart, 0x12345678),
            framed({0x0C, 0x31, 0x01, 0, 0, 0, 0, 0xF6, 0xFF, 0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(FrameIsoRequest(k, k.requests.reqTiming, 0),
            framed({0x07, 0x83, 0x03, 0x00, 0x10, 0x00, 0x0A, 0x00}));
}

TEST(IsoFraming, ResponseLayoutFollowsTheFormatByte) {
  struct Case {
    std::string first;
    std::size_t total;
    std::size_t dataStart;
  };
  const Case cases[] = {
      {Bytes({0x83, 0xF1}), 7, 3},  // addresses, length in the format byte
      {Bytes({0x02, 0x71}), 4, 1},  // no addresses
      {Bytes({0x40, 0x00}), 66, 1}, {Bytes({0x00, 0x05}), 8, 2},  // a length byte of its own
      {Bytes({0xC0, 0xF1}), 4, 3},                                // no data at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(PktToHex(c.first));
    const IsoReplyLayout layout = ReplyLayout(c.first);
    EXPECT_EQ(layout.total, c.total);
    EXPECT_EQ(layout.dataStart, c.dataStart);
  }
}

TEST(IsoFraming, ByteOrderHelpers) {
  EXPECT_EQ(BytesToLongBE(Bytes({0x67, 0x81, 0x12, 0x34, 0x56, 0x78}), 3), 0x12345678);
  EXPECT_EQ(BytesToLongBE(Bytes({0x67, 0x81, 0x80, 0, 0, 1}), 3),
            static_cast<std::int32_t>(0x80000001));
  EXPECT_EQ(BytesToLongBE(Bytes({0x67, 0x81, 0x12, 0x34, 0x56}), 3), 0);  // a short seed
  EXPECT_EQ(LongToBytesBE(0x0A0B0C0D), Bytes({0x0A, 0x0B, 0x0C, 0x0D}));
  EXPECT_EQ(LittleEndianValue(Bytes({0x01, 0x02, 0x03, 0x00})), 197121);
}

// ---- Exchanges with a scripted controller on the virtual clock ----

class IsoExchange : public SimServerFixture {
 protected:
  IsoExchange() : ecuSim(line(), 10400) {}

  void SetUp() override {
    startWith(ecuMSE11);
    ecu.InitComm(1);
    // Only the exchange under test on the line.
    form().tmrWatchDog.setEnabled(false);
    form().tmrSampleRate.setEnabled(false);
    form().SetBaudRate(10400);
    link().isoTimingSet = true;
    line().clearLog();
    events.statuses.clear();
  }

  Kwp2000Link& link() { return dynamic_cast<Kwp2000Family&>(form().family()).link; }
  std::int32_t send(const std::string& request) { return IsoSendCommand(form(), link(), request); }
  int sent(const std::string& request) {
    const std::string all = line().heardFrom(sim::WireEnd::Server);
    const std::string frame = FrameIsoRequest(link(), request, 0);
    int n = 0;
    for (auto at = all.find(frame); at != std::string::npos; at = all.find(frame, at + 1)) ++n;
    return n;
  }

  sim::ReplyEcu ecuSim;
};

TEST_F(IsoExchange, TheThreeResponseFormatsGiveTheirDataBytes) {
  struct Case {
    std::string request;
    std::string reply;
    std::string data;
  };
  const Case cases[] = {
      {Bytes({0x81}), Bytes({0x83, 0xF1, 0x11, 0xC1, 0x8F, 0xEA, 0xBF}), Bytes({0xC1, 0x8F, 0xEA})},
      {Bytes({0x21, 0x05}), framed({0x02, 0x61, 0x05}), Bytes({0x61, 0x05})},
      {Bytes({0x23, 0x03, 0x00, 0x10, 0x02}), framed({0x00, 0x03, 0x63, 0x01, 0x02}),
       Bytes({0x63, 0x01, 0x02})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(PktToHex(c.reply));
    ecuSim.answer(FrameIsoRequest(link(), c.request, 0), c.reply, 5'000);
    EXPECT_EQ(send(c.request), kIsoPositive);
    EXPECT_EQ(form().replyBuffer, c.data);
    EXPECT_FALSE(link().gNegReply);
  }
}

TEST_F(IsoExchange, APlainNegativeAnswerIsResultTwo) {
  const std::string request = Bytes({0x36});
  link().dataSize = 1;
  link().dataPacket = Bytes({0x55});
  ecuSim.answer(FrameIsoRequest(link(), request, 0), framed({0x03, 0x7F, 0x36, 0x22}), 5'000);
  EXPECT_EQ(send(request), kIsoNegative);
  EXPECT_TRUE(link().gNegReply);
  EXPECT_EQ(form().replyBuffer, Bytes({0x7F, 0x36, 0x22}));
  EXPECT_EQ(sent(request), 1);
}

TEST_F(IsoExchange, APendingAnswerIsWaitedForWithoutSendingAgain) {
  const std::string request = Bytes({0x31, 0x02, 0, 0, 0, 0, 0xFF, 0xFF});
  ecuSim.answer(FrameIsoRequest(link(), request, 0),
                framed({0x03, 0x7F, 0x31, 0x78}) + framed({0x02, 0x71, 0x02}), 5'000);
  EXPECT_EQ(send(request), kIsoPositive);
  EXPECT_EQ(form().replyBuffer, Bytes({0x71, 0x02}));
  EXPECT_EQ(sent(request), 1);
}

TEST_F(IsoExchange, APendingAnswerWithoutItsFinalOneEndsAfterP3Max) {
  const std::string request = Bytes({0x31, 0x02, 0, 0, 0, 0, 0xFF, 0xFF});
  ecuSim.answer(FrameIsoRequest(link(), request, 0), framed({0x03, 0x7F, 0x31, 0x78}), 5'000);
  const std::uint32_t t0 = ms();
  EXPECT_EQ(send(request), kIsoNoReply);
  EXPECT_EQ(sent(request), 1);
  // The request and the pending answer take a few ms; then p3Max x 250 ms of waiting.
  EXPECT_GE(ms() - t0, 2500U);
  EXPECT_LT(ms() - t0, 2600U);
}

TEST_F(IsoExchange, ATimeOutEndsMostExchangesButTheResultRequestsAreSentAgain) {
  const std::string erase = Bytes({0x31, 0x02, 0, 0, 0, 0, 0xFF, 0xFF});
  EXPECT_EQ(send(erase), kIsoNoReply);
  EXPECT_EQ(sent(erase), 1);
  // 33 02 goes out again after each time-out, until the repeats' limit.
  const std::string result = Bytes({0x33, 0x02});
  const std::uint32_t t0 = ms();
  EXPECT_EQ(send(result), kIsoNoReply);
  EXPECT_GE(sent(result), 30);
  EXPECT_GE(ms() - t0, kIsoRepeatLimitMs);
  EXPECT_LT(ms() - t0, kIsoRepeatLimitMs + 1000);
}

TEST_F(IsoExchange, ABusyControllerIsAskedAgainUntilTheRepeatsLimit) {
  const std::string request = Bytes({0x34, 0x00});
  ecuSim.answer(FrameIsoRequest(link(), request, 0), framed({0x03, 0x7F, 0x34, 0x21}), 5'000);
  EXPECT_EQ(send(request), kIsoNoReply);
  const int repeats = sent(request);
  // One request per gRepeatDelay x 5 ms (200 ms) and its few ms of exchange.
  EXPECT_GE(repeats, 60);
  EXPECT_LE(repeats, 76);
}

TEST_F(IsoExchange, AResponseWithoutServiceOrCodeFailsTheExchange) {
  const std::string cases[] = {framed({0x80, 0xF1, 0x11}), framed({0x00, 0x00}),
                               framed({0x02, 0x7F, 0x33})};
  int local = 0;
  for (const std::string& reply : cases) {
    SCOPED_TRACE(PktToHex(reply));
    const std::string request = Bytes({0x21, ++local});
    ecuSim.answer(FrameIsoRequest(link(), request, 0), reply, 5'000);
    EXPECT_EQ(send(request), kIsoNoReply);
    EXPECT_EQ(sent(request), 1);
  }
}

// A byte spoilt on the way can turn "not yet" into a positive answer (7F 33 23 into
// 3F 33 23): a frame whose checksum does not fit says nothing the controller said.
TEST_F(IsoExchange, AResponseWhoseChecksumDoesNotFitIsNoResponse) {
  std::string spoilt = framed({0x03, 0x7F, 0x21, 0x23});
  spoilt[1] = static_cast<char>(0x3F);
  const std::string request = Bytes({0x21, 0x01});
  ecuSim.answer(FrameIsoRequest(link(), request, 0), spoilt, 5'000);
  EXPECT_EQ(send(request), kIsoNoReply);
  EXPECT_EQ(sent(request), 1);
  EXPECT_TRUE(form().replyBuffer.empty());
  // A result request is asked again, as after a time-out, and never taken as done.
  const std::string result = Bytes({0x33, 0x02});
  std::string spoiltResult = framed({0x03, 0x7F, 0x33, 0x23});
  spoiltResult[1] = static_cast<char>(0x3F);
  ecuSim.answer(FrameIsoRequest(link(), result, 0), spoiltResult, 5'000);
  EXPECT_EQ(send(result), kIsoNoReply);
  EXPECT_GE(sent(result), 2);
}

// Bytes lost to an overrun are not waited for; a frame that lacks them cannot be read:
// its data would be other bytes than the controller's.
TEST_F(IsoExchange, AResponseThatLostBytesToAnOverrunIsNoResponse) {
  for (const int lost : {2, 7}) {
    SCOPED_TRACE(lost);
    const std::string request = Bytes({0x21, 0x03});
    ecuSim.answer(FrameIsoRequest(link(), request, 0), framed({0x02, 0x61, 0x03}), 5'000);
    form().iOverrun = lost;
    EXPECT_EQ(send(request), kIsoNoReply);
    EXPECT_TRUE(form().replyBuffer.empty());
    runFor(100);
  }
}

// A late answer to the request before arrives while the next one waits: it answers
// another service, or the same service for another sub-function, and is not this
// request's answer (a late seed taken for the key's acceptance unlocked nothing).
TEST_F(IsoExchange, AnAnswerToAnotherRequestIsNotThisOnesAnswer) {
  struct Case {
    std::string request;
    std::string reply;
  };
  const Case cases[] = {
      {Bytes({0x27, 0x82, 1, 2, 3, 4}), framed({0x06, 0x67, 0x81, 0xDE, 0x28, 0x74, 0x86})},
      {Bytes({0x23, 0x03, 0x00, 0xF1, 0x03}), framed({0x03, 0x7F, 0x27, 0x35})},
      {Bytes({0x31, 0x01, 0, 0, 0, 0, 0xF6, 0xFF}), framed({0x02, 0x71, 0x02})},
      {Bytes({0x34, 0x00}), framed({0x02, 0x76, 0x00})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(PktToHex(c.request));
    ecuSim.answer(FrameIsoRequest(link(), c.request, 0), c.reply, 5'000);
    EXPECT_EQ(send(c.request), kIsoNoReply);
    EXPECT_TRUE(form().replyBuffer.empty());
  }
}

// A memory read answered with another length than asked is an answer to another read.
TEST_F(IsoExchange, AMemoryReadOfAnotherLengthFails) {
  Kwp2000Link& k = link();
  BuildKwpRequests(k);
  ecuSim.answer(FrameIsoRequest(k, Bytes({0x23, 0x03, 0x00, 0xF1, 0x03}), 0),
                framed({0x0B, 0x63, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}), 5'000);
  EXPECT_EQ(ReadEcuMemory(form(), k, 0xF1, 3), kReadFailed);
  ecuSim.answer(FrameIsoRequest(k, Bytes({0x23, 0x03, 0x00, 0xE7, 0x02}), 0),
                framed({0x03, 0x63, 'A', 'B'}), 5'000);
  EXPECT_EQ(ReadEcuMemory(form(), k, 0xE7, 2), "AB");
}

TEST_F(IsoExchange, UntilTheTimingIsSetBytesGoSixMillisecondsApart) {
  const std::string request = Bytes({0x10, 0x85, 0x03});
  for (const bool timingSet : {false, true}) {
    SCOPED_TRACE(timingSet);
    line().clearLog();
    link().isoTimingSet = timingSet;
    send(request);
    const auto& log = line().wireLog();
    ASSERT_GE(log.size(), 5U);
    for (std::size_t i = 1; i < 5; ++i) {
      const std::uint64_t gapUs = log[i].startUs - log[i - 1].endUs;
      if (timingSet) {
        EXPECT_EQ(gapUs, 0U);
      } else {
        EXPECT_GE(gapUs, 5'000U);
      }
    }
  }
}

TEST_F(IsoExchange, AnEchoThatDiffersIsReportedAsACollision) {
  const std::string request = Bytes({0x10, 0x85, 0x03});
  line().corruptNext(sim::WireEnd::Server, 0x01);
  send(request);
  EXPECT_EQ(traceCount("Data Collision on K-Line at 1!"), 1);
}

TEST_F(IsoExchange, NoEchoIsALostCableOrPower) {
  line().setEchoSuppressed(true);
  EXPECT_EQ(send(Bytes({0x10, 0x85, 0x03})), kIsoNoReply);
  EXPECT_EQ(events.statuses, std::vector<std::int32_t>{ecuNoCableOrPower});
  EXPECT_EQ(traceCount(">> lostCableOrPower, detected in isoWaitForEchoback--timeOut"), 1);
}

}  // namespace
}  // namespace quorvan::testing
