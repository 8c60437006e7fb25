#include <gtest/gtest.h>

#include "kline/Format.h"
#include "kwp2000/BoschSession.h"
#include "kwp2000/IsoLink.h"
#include "kwp2000/Mse11Fixture.h"

namespace quorvan::testing {
namespace {

using Session = Mse11Fixture;
using sim::visteon::Misbehaviour;

// The request machine's bookkeeping, one tick per case, with no controller involved.
TEST_F(Session, EachTickLeavesTheCommandCodeAsTheStepsDemand) {
  struct Case {
    std::int16_t request;
    std::int16_t after;
    std::string leaving;  // the last trace line ("" when only the entering line is written)
  };
  const Case cases[] = {
      {0, 0, ""},
      {105, 100, "[leaving NextBoschReq, unchanged cmdRequested=105 -> 100]"},
      {1, 100, "[leaving NextBoschReq, unchanged cmdRequested=1 -> 100]"},
      {104, 0, "[leaving NextBoschReq, cmdRequested=0, cmdStarted=104 -> leave alone]"},
  };
  ASSERT_TRUE(connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    form().trace.lstTrace().clear();
    line().clearLog();
    form().commandRequested = c.request;
    NextBoschReq(form(), link());
    EXPECT_EQ(form().commandRequested, c.after);
    const auto lines = traceTexts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(),
              "[entering NextBoschReq, with cmdRequested=" + std::to_string(c.request) + "]");
    if (c.leaving.empty()) {
      EXPECT_EQ(lines.size(), 1U);
      EXPECT_TRUE(line().wireLog().empty());
    } else {
      EXPECT_EQ(lines.back(), c.leaving);
    }
  }
}

// Failures of the init, each at its own step, with the state the client is left in.
TEST_F(Session, AnInitThatCannotGoOnSaysWhereItStopped) {
  struct Case {
    const char* name;
    std::function<void(sim::Mse11Ecu&)> fault;
    std::int32_t outcome;
  };
  const Case cases[] = {
      {"timing refused", [](sim::Mse11Ecu& e) { e.inject(0x83, Misbehaviour::negative(0x12)); },
       flashFailedPrep},
      {"session refused", [](sim::Mse11Ecu& e) { e.inject(0x10, Misbehaviour::negative(0x12)); },
       flashFailedPrep},
      {"seed refused", [](sim::Mse11Ecu& e) { e.inject(0x27, Misbehaviour::negative(0x22)); },
       flashFailedUnlock},
      {"wrong key", [](sim::Mse11Ecu& e) { e.injectWrongKey(); }, flashFailedUnlock},
      {"erase refused", [](sim::Mse11Ecu& e) { e.inject(0x31, Misbehaviour::negative(0x22)); },
       flashFailedErase},
      {"busy seed, then the seed",
       [](sim::Mse11Ecu& e) { e.inject(0x27, Misbehaviour::negative(0x21), 3); }, flashReady},
      {"truncated timing answer",
       [](sim::Mse11Ecu& e) { e.inject(0x83, Misbehaviour::truncated(2)); }, flashFailedPrep},
  };
  ASSERT_TRUE(connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ecuSim.clearInjections();
    c.fault(ecuSim);
    ecu.FlashInit();
    EXPECT_EQ(flashOutcome(), c.outcome);
    EXPECT_EQ(ecuSim.erasing() || ecuSim.flash() != std::string(kMse11ImageSize, '\xFF'), false)
        << "nothing but a successful init erases";
  }
}

TEST_F(Session, AnotherControllerThanTheIdentOneIsNotErased) {
  ecuSim.loadFlash(makeImage(1));
  ASSERT_TRUE(connect());
  ecu.FlashIdent();
  ASSERT_EQ(flashOutcome(), flashReady);
  ecuSim.setIdentification("OTHER BIKE", 0x030201);
  ecu.FlashInit();
  EXPECT_EQ(flashOutcome(), flashFailedVerify);
  EXPECT_EQ(ecuSim.flash(), makeImage(1));
}

TEST_F(Session, AnIdentWithoutAnswersGivesFailedPrepAndUnknownIds) {
  ecuSim.inject(sim::visteon::kAnyService, Misbehaviour::silent(), sim::visteon::kForever);
  ASSERT_TRUE(connect());
  ecu.FlashIdent();
  EXPECT_EQ(flashOutcome(), flashFailedPrep);
  EXPECT_EQ(ecu.idHardware(), "UNKNOWN");
  EXPECT_EQ(ecu.idSoftware(), "UNKNOWN");
  EXPECT_FALSE(form().tmrSampleRate.Enabled());  // the client's next request enables it
}

// A lost cable is reported when the echo stays away; once the controller answers
// again the client must not be left believing it.
TEST_F(Session, AControllerThatAnswersAgainTakesBackALostCable) {
  ASSERT_TRUE(connect());
  line().setPlugged(false);
  ecu.FlashIdent();
  EXPECT_EQ(flashOutcome(), flashFailedPrep);
  EXPECT_EQ(events.statuses.back(), ecuNoCableOrPower);
  line().setPlugged(true);
  ecu.FlashIdent();
  EXPECT_EQ(flashOutcome(), flashReady) << traceDump();
  EXPECT_EQ(events.statuses.back(), ecuCableDetected);
}

// A step that cannot even start (the port was closed under it) still answers the
// client's request: left at flashBusy, the client would wait for ever.
TEST_F(Session, AStepThatBlowsUpReportsItsFailure) {
  struct Case {
    std::function<void()> ask;
    std::int32_t verdict;
  };
  const Case cases[] = {
      {[this] { ecu.FlashIdent(); }, flashFailedPrep},
      {[this] { ecu.FlashInit(); }, flashFailedPrep},
      {[this] { ecu.FlashVerify(1); }, flashFailedVerify},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(connect());
    ecu.InitComm(-1);
    c.ask();
    EXPECT_EQ(flashOutcome(10'000), c.verdict) << traceDump();
  }
}

// A block that is not the chunk the image needs next is never sent nor reported written.
TEST_F(Session, ABlockThatDoesNotFitTheImageIsRefused) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  ASSERT_TRUE(initAndWrite(image, 2));
  line().clearLog();
  ecu.FlashWrite(std::string(100, '\x11'));  // short of a chunk
  EXPECT_EQ(flashOutcome(), flashFailedWrite);
  EXPECT_EQ(link().ecuFlashBase, 500);
  ecu.FlashWrite(chunk(image, 2));  // the client tries again with the right one
  EXPECT_EQ(flashOutcome(), flashReady);
  EXPECT_EQ(ecuSim.received(), 750U);
}

TEST_F(Session, NothingIsSentOnceTheImageIsComplete) {
  ASSERT_TRUE(connect());
  const std::string image = makeImage();
  ASSERT_TRUE(initAndWrite(image));
  line().clearLog();
  ecu.FlashWrite(chunk(image, 0));
  EXPECT_EQ(flashOutcome(), flashFailedWrite);
  EXPECT_TRUE(line().wireLog().empty());
  ecu.FlashVerify(static_cast<std::int32_t>(Mse11ImageChecksum(image)));
  EXPECT_EQ(flashOutcome(), flashReady);
}

// An interruption at any stage ends in a defined flash state, and a verify afterwards
// never says the controller holds an image it does not.
TEST_F(Session, AnInterruptionNeverEndsInAnImageReportedWritten) {
  enum class Stage { Init, Download, Verify };
  enum class Fault { CablePulled, Reset, Abort };
  struct Case {
    const char* name;
    Stage stage;
    Fault fault;
    std::int32_t outcome;  // of the step interrupted
  };
  const Case cases[] = {
      {"cable pulled before the init", Stage::Init, Fault::CablePulled, flashFailedPrep},
      {"reset during the erase", Stage::Init, Fault::Reset, flashFailedErase},
      {"abort while the controller is silent", Stage::Init, Fault::Abort, flashIdle},
      {"cable pulled in the download", Stage::Download, Fault::CablePulled, flashFailedWrite},
      {"reset in the download", Stage::Download, Fault::Reset, flashFailedWrite},
      {"abort in the download", Stage::Download, Fault::Abort, flashIdle},
      {"cable pulled before the verify", Stage::Verify, Fault::CablePulled, flashFailedVerify},
      {"reset before the verify", Stage::Verify, Fault::Reset, flashFailedVerify},
  };
  const std::string image = makeImage(3);
  const auto sum = static_cast<std::int32_t>(Mse11ImageChecksum(image));
  ASSERT_TRUE(connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line().setPlugged(true);
    ecuSim.clearInjections();
    ecu.InitComm(1);
    std::int32_t outcome = -1;
    if (c.stage == Stage::Init) {
      if (c.fault == Fault::CablePulled) line().setPlugged(false);
      if (c.fault == Fault::Abort)
        ecuSim.inject(0x81, Misbehaviour::silent(), sim::visteon::kForever);
      if (c.fault == Fault::Reset) {
        when([&] { return ecuSim.erasing(); }, [&] { ecuSim.reset(); });
      }
      const std::uint32_t t0 = ms();
      if (c.fault == Fault::Abort) {
        when([&, t0] { return ms() - t0 > 1'000; }, [&] { ecu.FlashAbort(); });
      }
      ecu.FlashInit();
      outcome = flashOutcome();
      if (c.fault == Fault::Abort) {
        loop.runUntil([&] { return form().commandRequested == cmd::kNone; }, 10'000);
        outcome = ecu.FlashStatus();
      }
    } else {
      const std::size_t chunks = c.stage == Stage::Download ? 100 : kChunks;
      ASSERT_TRUE(initAndWrite(image, chunks));
      if (c.fault == Fault::CablePulled) line().setPlugged(false);
      if (c.fault == Fault::Reset) ecuSim.reset();
      if (c.stage == Stage::Download) {
        if (c.fault == Fault::Abort) {
          when([&] { return form().requestInProgress; }, [&] { ecu.FlashAbort(); });
        }
        ecu.FlashWrite(chunk(image, chunks));
        outcome = flashOutcome();
        if (c.fault == Fault::Abort) {
          loop.runUntil([&] { return form().commandRequested == cmd::kNone; }, 10'000);
          outcome = ecu.FlashStatus();
        }
      } else {
        ecu.FlashVerify(sum);
        outcome = flashOutcome();
      }
    }
    EXPECT_EQ(outcome, c.outcome) << traceDump();
    // Whatever happened, a verify now passes only when the controller holds the image.
    line().setPlugged(true);
    ecu.FlashVerify(sum);
    const std::int32_t verdict = flashOutcome();
    EXPECT_TRUE(verdict == flashFailedVerify || (verdict == flashReady && ecuSim.flash() == image))
        << verdict;
    if (c.stage != Stage::Verify) {
      EXPECT_EQ(verdict, flashFailedVerify);
    }
  }
}

}  // namespace
}  // namespace quorvan::testing

namespace quorvan::testing {
namespace {

// The controller wakes on the fast-init pattern; behind a pseudo-terminal, which carries
// no break, on the StartCommunication that follows the cable-detect packet.
TEST_F(Session, TheControllerWakesOnTheFastInitOrBehindAPtyOnTheCableDetectPacket) {
  struct Case {
    bool wakeOnRequest;
    bool fastInit;
    bool answered;
  };
  const Case cases[] = {{false, false, false}, {false, true, true}, {true, false, true}};
  ASSERT_TRUE(connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "pty " << c.wakeOnRequest << ", fast init " << c.fastInit);
    ecuSim.config().wakeOnRequest = c.wakeOnRequest;
    ecu.InitComm(1);  // sends the cable-detect packet at 9600 bit/s
    form().tmrSampleRate.setEnabled(false);
    if (c.fastInit) {
      DoFastInit(form());
    } else {
      form().SetBaudRate(kFastInitBitRate);
    }
    const std::int32_t r = IsoSendCommand(form(), link(), link().requests.reqStartComms);
    EXPECT_EQ(r == kIsoPositive, c.answered);
    EXPECT_EQ(ecuSim.communicating(), c.answered);
    EXPECT_EQ(form().replyBuffer, c.answered ? Bytes({0xC1, 0x8F, 0xEA}) : std::string());
  }
}

}  // namespace
}  // namespace quorvan::testing
