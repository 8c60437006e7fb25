// The simulated Visteon controller, driven from the server's port with packets framed as
// the server frames them, on the virtual clock.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "SimFixture.h"
#include "kline/VisteonKey.h"
#include "sim/VisteonEcu.h"

namespace quorvan::sim::testing {
namespace {

using visteon::Bytes;

constexpr std::uint8_t kRandom = 0x5C;  // the prepare request's random byte
constexpr std::uint32_t kBlock = 0x400;
constexpr std::uint32_t kFirstBlock = 0x1C8000;

std::string withChecksum(std::string packet) {
  unsigned sum = 0;
  for (const char c : packet) sum += static_cast<unsigned char>(c);
  packet.push_back(static_cast<char>(sum & 0xFF));
  return packet;
}

// The server's header rules.
std::string Frame(const std::string& request, bool flashActive) {
  const auto sid = static_cast<std::uint8_t>(request[0]);
  std::string header;
  if (sid < 0x10) {
    header = Bytes({0x68, 0x6A, 0xF1});
  } else if (sid <= 0x20 || sid == 0x33) {
    header = Bytes({0x44, 0x10, 0xF1});
  } else if ((sid == 0x31 || sid == 0x32) && !flashActive) {
    header = Bytes({0x54, 0x10, 0xF1});
  } else {
    header = Bytes({static_cast<int>((request.size() + 3) * 16 + 4), 0x10, 0xF1});
  }
  return withChecksum(header + request);
}

std::string Sae(const std::string& data) {
  return withChecksum(Bytes({0x48, 0x6B, 0x10}) + data);
}

std::string Reply(const std::string& data) {
  return withChecksum(Bytes({static_cast<int>((data.size() + 3) << 4 | 4), 0xF1, 0x10}) + data);
}

std::string Pattern(std::size_t size, int seed) {
  std::string s;
  for (std::size_t i = 0; i < size; ++i) s.push_back(static_cast<char>((i * 7 + seed) & 0xFF));
  return s;
}

// The key request for a seed reply (64 F1 10 67 01 s1 s2 s3 cs), as the server computes it.
std::string KeyRequest(const std::string& seedReply, std::uint8_t random, int k2Error = 0) {
  const auto s = [&seedReply](int i) { return static_cast<std::uint8_t>(seedReply.at(i)); };
  return Bytes(
      {0x27, 0x02, KeyFromSeed(s(5), random, s(7)), KeyFromSeed(s(6), random, s(7)) ^ k2Error});
}

unsigned SumOf(const std::string& bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return sum & 0xFFFF;
}

class VisteonLink : public ::testing::Test {
 protected:
  VisteonLink() {
    backend.setPort(1, SimPort::kLine(line));
    device = backend.open(1);
    device->setBitRate(10400);
    listener = std::make_unique<RecordingListener>(clock, *device);
  }

  // Writes raw bytes and returns what the port heard after their echo.
  std::string roundTrip(const std::string& bytes, std::uint32_t waitMs = 100) {
    const std::size_t from = listener->text.size();
    device->write(bytes);
    clock.sleepMs(waitMs);
    const std::string heard = listener->text.substr(from);
    EXPECT_EQ(heard.substr(0, bytes.size()), bytes) << "echo";
    return heard.size() > bytes.size() ? heard.substr(bytes.size()) : std::string();
  }
  std::string exchange(const std::string& request, std::uint32_t waitMs = 100) {
    return roundTrip(Frame(request, flashActive), waitMs);
  }

  // Ping, prepare, seed and key as the server does them, then the reflash rate.
  void unlock() {
    flashActive = true;
    ASSERT_EQ(exchange(Bytes({0xA0})), Reply(Bytes({0xE0})));
    ASSERT_EQ(exchange(Bytes({0x31, 0xA0, 0x01, 0x00, kRandom, 0x01})),
              Reply(Bytes({0x71, 0xA0, 0x00})));
    const std::string seed = exchange(Bytes({0x27, 0x01}));
    ASSERT_EQ(seed.size(), 9u);
    ASSERT_EQ(exchange(KeyRequest(seed, kRandom)), Reply(Bytes({0x67, 0x02, 0x34})));
    device->setBitRate(57600);
  }

  void erase() {
    ASSERT_EQ(exchange(Bytes({0x31, 0xA1})), Reply(Bytes({0x71, 0xA1})));
    ASSERT_EQ(exchange(Bytes({0x32, 0xA1}), 3500), Reply(Bytes({0x72, 0xA1, 0x00})));
  }

  // 171 transfer packets back to back, as the server chunks a block; the last carries
  // the 16-bit sum (plus sumError).
  void sendTransfers(const std::string& data, unsigned sumError = 0) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < 171; ++i) {
      std::string chunk = i * 6 < data.size() ? data.substr(i * 6, 6) : std::string();
      sum = (sum + SumOf(chunk)) & 0xFFFF;
      if (chunk.size() < 6) {
        const unsigned sent = (sum + sumError) & 0xFFFF;
        chunk += Bytes({static_cast<int>(sent >> 8), static_cast<int>(sent)});
      }
      device->write(Frame(Bytes({0x36}) + chunk, flashActive));
    }
  }

  void requestDownload(std::uint32_t address) {
    EXPECT_EQ(exchange(Bytes({0x34, 0x82, 0x04, 0x00, static_cast<int>(address >> 16),
                              static_cast<int>(address >> 8), 0x00})),
              Reply(Bytes({0x74, 0x82})));
  }

  // One block the server's way; returns the block-check result.
  std::string writeBlock(std::uint32_t address, const std::string& data, unsigned sumError = 0) {
    requestDownload(address);
    sendTransfers(data, sumError);
    clock.sleepMs(400);
    EXPECT_EQ(exchange(Bytes({0x37, 0x82})), Reply(Bytes({0x77, 0x82})));
    EXPECT_EQ(exchange(Bytes({0x31, 0xA2})), Reply(Bytes({0x71, 0xA2})));
    return exchange(Bytes({0x32, 0xA2}));
  }

  std::string flashBlock(std::size_t index) const {
    return ecu.flash().bytes().substr(index * kBlock, kBlock);
  }

  VirtualClock clock;
  SimLine line{clock};
  VisteonEcu ecu{line};
  SimSerialBackend backend{clock, clock};
  std::unique_ptr<SerialDevice> device;
  std::unique_ptr<RecordingListener> listener;
  bool flashActive = false;
};

// --- SAE data services ---

struct SaeCase {
  const char* name;
  std::string request;
  std::string replyData;     // empty: no answer
  std::size_t serverLength;  // the reply length the server reads for this request
};

void PrintTo(const SaeCase& c, std::ostream* os) {
  *os << c.name;
}

class SaeData : public VisteonLink, public ::testing::WithParamInterface<SaeCase> {};

TEST_P(SaeData, AnswersWithTheLengthTheServerReads) {
  const SaeCase& c = GetParam();
  ecu.setPid(0x0C, 0x1AF8);
  ecu.setPid(0x05, 0x7B);
  ecu.setFreezeFrame(0x0C, 0x2EE0);
  ecu.setFreezeFrame(0x02, 0x0123);
  ecu.setFreezeFrame(0x05, 0x8C);
  const std::string heard = exchange(c.request);
  if (c.replyData.empty()) {
    EXPECT_EQ(heard, "");
    return;
  }
  EXPECT_EQ(heard, Sae(c.replyData));
  EXPECT_EQ(heard.size(), c.serverLength);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaeData,
    ::testing::Values(SaeCase{"Identification", Bytes({0x01, 0x00}),
                              Bytes({0x41, 0x00, 0xBE, 0x1F, 0xB8, 0x10}), 10},
                      SaeCase{"EngineSpeedIsBigEndian", Bytes({0x01, 0x0C}),
                              Bytes({0x41, 0x0C, 0x1A, 0xF8}), 8},
                      SaeCase{"OneBytePid", Bytes({0x01, 0x05}), Bytes({0x41, 0x05, 0x7B}), 7},
                      SaeCase{"UnsupportedPidIsNotAnswered", Bytes({0x01, 0x33}), "", 0},
                      SaeCase{"FreezeFrameSpeed", Bytes({0x02, 0x0C, 0x00}),
                              Bytes({0x42, 0x0C, 0x00, 0x2E, 0xE0}), 9},
                      SaeCase{"FreezeFrameFault", Bytes({0x02, 0x02, 0x00}),
                              Bytes({0x42, 0x02, 0x00, 0x01, 0x23}), 9},
                      SaeCase{"FreezeFrameOneByte", Bytes({0x02, 0x05, 0x00}),
                              Bytes({0x42, 0x05, 0x00, 0x8C}), 8},
                      SaeCase{"OnlyFreezeFrameZeroExists", Bytes({0x02, 0x05, 0x01}), "", 0},
                      SaeCase{"ClearFaults", Bytes({0x04}), Bytes({0x44}), 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VisteonLink, IdentificationIsFramedExactly) {
  ecu.setSoftwareId(Bytes({0xBE, 0x1F, 0xB8, 0x10}));
  EXPECT_EQ(exchange(Bytes({0x01, 0x00})),
            Bytes({0x48, 0x6B, 0x10, 0x41, 0x00, 0xBE, 0x1F, 0xB8, 0x10, 0xA9}));
}

struct FaultListCase {
  const char* name;
  std::vector<std::uint16_t> codes;
  std::vector<std::string> packets;  // data of each reply packet
};

void PrintTo(const FaultListCase& c, std::ostream* os) {
  *os << c.name;
}

class FaultList : public VisteonLink, public ::testing::WithParamInterface<FaultListCase> {};

TEST_P(FaultList, EndsWithAZeroCodeInPacketsOfThree) {
  const FaultListCase& c = GetParam();
  ecu.setFaults(c.codes);
  std::string expected;
  for (const std::string& data : c.packets) expected += Sae(data);
  EXPECT_EQ(exchange(Bytes({0x03})), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultList,
    ::testing::Values(FaultListCase{"None", {}, {Bytes({0x43, 0, 0, 0, 0, 0, 0})}},
                      FaultListCase{
                          "Two", {0x0123, 0x1ABC}, {Bytes({0x43, 0x01, 0x23, 0x1A, 0xBC, 0, 0})}},
                      FaultListCase{"ThreeNeedAPacketOfZeros",
                                    {0x0133, 0x0221, 0x1005},
                                    {Bytes({0x43, 0x01, 0x33, 0x02, 0x21, 0x10, 0x05}),
                                     Bytes({0x43, 0, 0, 0, 0, 0, 0})}},
                      FaultListCase{"SevenOverThreePackets",
                                    {0x0101, 0x0202, 0x0303, 0x0404, 0x0505, 0x0606, 0x0707},
                                    {Bytes({0x43, 0x01, 0x01, 0x02, 0x02, 0x03, 0x03}),
                                     Bytes({0x43, 0x04, 0x04, 0x05, 0x05, 0x06, 0x06}),
                                     Bytes({0x43, 0x07, 0x07, 0, 0, 0, 0})}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VisteonLink, ClearEmptiesTheFaultList) {
  ecu.setFaults({0x0123, 0x0133});
  EXPECT_EQ(exchange(Bytes({0x04})), Sae(Bytes({0x44})));
  EXPECT_TRUE(ecu.faults().empty());
  EXPECT_EQ(exchange(Bytes({0x03})), Sae(Bytes({0x43, 0, 0, 0, 0, 0, 0})));
}

struct DelayCase {
  const char* name;
  std::function<void(VisteonEcu&)> arm;
  std::uint64_t delayUs;
};

void PrintTo(const DelayCase& c, std::ostream* os) {
  *os << c.name;
}

class ReplyDelay : public VisteonLink, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(ReplyDelay, CountsFromTheRequestsLastByte) {
  GetParam().arm(ecu);
  const std::uint64_t t0 = clock.monoUs();
  exchange(Bytes({0x01, 0x0C}), 300);
  ASSERT_EQ(listener->arrivals.size(), 6u + 8u);
  // Six request bytes end 5770 us after the write; a reply byte takes 962 us.
  EXPECT_EQ(listener->arrivals[6].atUs - t0, 5770 + GetParam().delayUs + 962);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyDelay,
    ::testing::Values(
        DelayCase{"Default", [](VisteonEcu&) {}, 25'000},
        DelayCase{"Configured", [](VisteonEcu& e) { e.setReplyDelayUs(40'000); }, 40'000},
        DelayCase{"InjectedLate", [](VisteonEcu& e) { e.injectLateReply(0x01, 150'000); }, 175'000},
        DelayCase{"LateForAnotherService", [](VisteonEcu& e) { e.injectLateReply(0x02, 150'000); },
                  25'000}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Framing of what is heard ---

struct HeardCase {
  const char* name;
  std::string raw;
  std::string reply;  // everything heard back after the echo
  std::size_t badPackets;
};

void PrintTo(const HeardCase& c, std::ostream* os) {
  *os << c.name;
}

class Heard : public VisteonLink, public ::testing::WithParamInterface<HeardCase> {};

TEST_P(Heard, OnlySoundRequestsAreAnswered) {
  const HeardCase& c = GetParam();
  EXPECT_EQ(roundTrip(c.raw), c.reply);
  EXPECT_EQ(ecu.badPackets(), c.badPackets);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Heard,
    ::testing::Values(
        HeardCase{"Sound", Frame(Bytes({0x10}), false), Reply(Bytes({0x50})), 0},
        HeardCase{"BadChecksum", Bytes({0x44, 0x10, 0xF1, 0x10, 0x00}), "", 1},
        HeardCase{"WrongSource", withChecksum(Bytes({0x44, 0x10, 0xF2, 0x10})), "", 1},
        HeardCase{"SaeServiceAddressedPhysically",
                  withChecksum(Bytes({0x54, 0x10, 0xF1, 0x01, 0x0C})), "", 1},
        HeardCase{"OtherServiceAddressedAsSae", withChecksum(Bytes({0x68, 0x6A, 0xF1, 0x10})), "",
                  1},
        HeardCase{"CableDetectText", "123456789.1234567", "", 1},
        // The fixed 0x54 format byte does not give the length.
        HeardCase{"FixedFormatLongerRequest",
                  Frame(Bytes({0x31, 0xA0, 0x01, 0x00, 0x07, 0x01}), false),
                  Reply(Bytes({0x71, 0xA0, 0x00})), 0},
        HeardCase{"BackToBack", Frame(Bytes({0x10}), false) + Frame(Bytes({0x20}), false),
                  Reply(Bytes({0x50})) + Reply(Bytes({0x60})), 0},
        HeardCase{"UnknownService", Frame(Bytes({0x3B, 0x01}), false),
                  Reply(Bytes({0x7F, 0x3B, 0x11})), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VisteonLink, APauseInsideARequestEndsIt) {
  const std::string packet = Frame(Bytes({0x01, 0x0C}), false);
  roundTrip(packet.substr(0, 3), 10);
  EXPECT_EQ(roundTrip(packet.substr(3)), "");
  EXPECT_EQ(ecu.badPackets(), 2u);
}

TEST_F(VisteonLink, BytesAtAnotherRateAreDroppedWithTheirRequest) {
  device->setBitRate(9600);
  roundTrip(Frame(Bytes({0x01, 0x0C}), false));
  device->setBitRate(10400);
  EXPECT_EQ(exchange(Bytes({0x01, 0x0C})).size(), 8u);
  EXPECT_EQ(ecu.badPackets(), 0u);
}

TEST_F(VisteonLink, LogsOneLinePerAnsweredRequest) {
  std::vector<std::string> lines;
  ecu.setExchangeLog([&lines](const std::string& line) { lines.push_back(line); });
  ecu.setPid(0x0C, 0x1AF8);
  ecu.setFaults({0x0123, 0x0133, 0x0221, 0x1005});
  exchange(Bytes({0x01, 0x0C}));
  exchange(Bytes({0x01, 0x33}));  // not answered
  exchange(Bytes({0x03}));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "01 0C -> 41 0C 1A F8",
                       "03 -> 43 01 23 01 33 02 21 | 43 10 05 00 00 00 00",
                   }));
}

// --- Diagnostic routines ---

struct DiagCase {
  const char* name;
  std::vector<std::string> requests;
  std::string lastReply;  // data of the reply to the last request
};

void PrintTo(const DiagCase& c, std::ostream* os) {
  *os << c.name;
}

class Diagnostic : public VisteonLink, public ::testing::WithParamInterface<DiagCase> {};

TEST_P(Diagnostic, RoutinesNeedTheSession) {
  const DiagCase& c = GetParam();
  ecu.setRoutineResult(0x03, 0x05);
  std::string last;
  for (const std::string& request : c.requests) last = exchange(request);
  EXPECT_EQ(last, Reply(c.lastReply));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Diagnostic,
    ::testing::Values(
        DiagCase{"StartSession", {Bytes({0x10})}, Bytes({0x50})},
        DiagCase{"Routine2", {Bytes({0x10}), Bytes({0x31, 0x02})}, Bytes({0x71, 0x02, 0x00})},
        DiagCase{"Routine0", {Bytes({0x10}), Bytes({0x31, 0x00})}, Bytes({0x71, 0x00, 0x00})},
        DiagCase{"FailingRoutine", {Bytes({0x10}), Bytes({0x31, 0x03})}, Bytes({0x71, 0x03, 0x05})},
        DiagCase{"StopSession", {Bytes({0x10}), Bytes({0x31, 0x02}), Bytes({0x20})}, Bytes({0x60})},
        DiagCase{"WithoutSession", {Bytes({0x31, 0x02})}, Bytes({0x7F, 0x31, 0x22})},
        DiagCase{"AfterSessionStopped",
                 {Bytes({0x10}), Bytes({0x20}), Bytes({0x31, 0x02})},
                 Bytes({0x7F, 0x31, 0x22})},
        DiagCase{
            "UnknownRoutine", {Bytes({0x10}), Bytes({0x31, 0x07})}, Bytes({0x7F, 0x31, 0x12})}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Injected answers ---

struct InjectionCase {
  const char* name;
  std::function<void(VisteonEcu&)> arm;
  std::vector<std::string> replies;  // data of the answers to three 0x10 requests ("": none)
};

void PrintTo(const InjectionCase& c, std::ostream* os) {
  *os << c.name;
}

class Injected : public VisteonLink, public ::testing::WithParamInterface<InjectionCase> {};

TEST_P(Injected, ReplacesTheAnswersItCovers) {
  const InjectionCase& c = GetParam();
  c.arm(ecu);
  for (const std::string& data : c.replies) {
    EXPECT_EQ(exchange(Bytes({0x10})), data.empty() ? "" : Reply(data));
  }
}

const std::string kStarted = Bytes({0x50});
const std::string kBusy = Bytes({0x7F, 0x10, 0x21});

INSTANTIATE_TEST_SUITE_P(
    Cases, Injected,
    ::testing::Values(
        InjectionCase{
            "BusyTwice", [](VisteonEcu& e) { e.injectBusy(0x10, 2); }, {kBusy, kBusy, kStarted}},
        InjectionCase{"BusyForEver",
                      [](VisteonEcu& e) { e.injectBusy(0x10, visteon::kForever); },
                      {kBusy, kBusy, kBusy}},
        InjectionCase{"NotComplete",
                      [](VisteonEcu& e) { e.injectRoutineNotComplete(0x10); },
                      {Bytes({0x7F, 0x10, 0x23}), kStarted, kStarted}},
        InjectionCase{"OtherCodeAnyService",
                      [](VisteonEcu& e) { e.injectNegative(visteon::kAnyService, 0x22); },
                      {Bytes({0x7F, 0x10, 0x22}), kStarted, kStarted}},
        InjectionCase{"AnotherService",
                      [](VisteonEcu& e) { e.injectBusy(0x20, 2); },
                      {kStarted, kStarted, kStarted}},
        InjectionCase{
            "SilentOnce", [](VisteonEcu& e) { e.injectSilence(0x10); }, {"", kStarted, kStarted}},
        InjectionCase{"EarliestRuleFirst",
                      [](VisteonEcu& e) {
                        e.injectSilence(0x10);
                        e.injectBusy(0x10);
                      },
                      {"", kBusy, kStarted}},
        InjectionCase{"Cleared",
                      [](VisteonEcu& e) {
                        e.injectBusy(0x10, visteon::kForever);
                        e.clearInjections();
                      },
                      {kStarted, kStarted, kStarted}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VisteonLink, ARefusedRequestIsNotCarriedOut) {
  ecu.setFaults({0x0123});
  ecu.injectBusy(0x04);
  EXPECT_EQ(exchange(Bytes({0x04})), Sae(Bytes({0x7F, 0x04, 0x21})));
  EXPECT_EQ(ecu.faults().size(), 1u);
  EXPECT_EQ(exchange(Bytes({0x04})), Sae(Bytes({0x44})));
  EXPECT_TRUE(ecu.faults().empty());
}

// --- Reflash ---

class Reflash : public VisteonLink {};

TEST_F(Reflash, RightKeyUnlocksAndMovesToTheReflashRate) {
  unlock();
  EXPECT_TRUE(ecu.unlocked());
  EXPECT_EQ(ecu.rxBitRate(), 57600u);
  EXPECT_EQ(exchange(Bytes({0xA0})), Reply(Bytes({0xE0})));
}

struct WrongKeyCase {
  const char* name;
  std::uint8_t prepared;   // the random byte sent with the prepare request
  std::uint8_t keyedWith;  // the random byte the key was computed with
  int k2Error;
};

void PrintTo(const WrongKeyCase& c, std::ostream* os) {
  *os << c.name;
}

class WrongKey : public VisteonLink, public ::testing::WithParamInterface<WrongKeyCase> {};

TEST_P(WrongKey, IsRefusedAndSpendsTheSeed) {
  const WrongKeyCase& c = GetParam();
  flashActive = true;
  exchange(Bytes({0x31, 0xA0, 0x01, 0x00, c.prepared, 0x01}));
  const std::string seed = exchange(Bytes({0x27, 0x01}));
  ASSERT_EQ(seed.size(), 9u);
  EXPECT_EQ(exchange(KeyRequest(seed, c.keyedWith, c.k2Error)), Reply(Bytes({0x7F, 0x27, 0x35})));
  // Even the right key is too late for that seed.
  EXPECT_EQ(exchange(KeyRequest(seed, c.prepared)), Reply(Bytes({0x7F, 0x27, 0x24})));
  EXPECT_FALSE(ecu.unlocked());
  EXPECT_EQ(ecu.rxBitRate(), 10400u);
}

INSTANTIATE_TEST_SUITE_P(Cases, WrongKey,
                         ::testing::Values(WrongKeyCase{"SecondByteWrong", kRandom, kRandom, 0x01},
                                           WrongKeyCase{"FromAnotherRandomByte", kRandom + 1,
                                                        kRandom, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Reflash, SeedNeedsThePrepare) {
  flashActive = true;
  EXPECT_EQ(exchange(Bytes({0x27, 0x01})), Reply(Bytes({0x7F, 0x27, 0x22})));
  ecu.setRoutineResult(0xA0, 0x01);
  EXPECT_EQ(exchange(Bytes({0x31, 0xA0, 0x01, 0x00, kRandom, 0x01})),
            Reply(Bytes({0x71, 0xA0, 0x01})));
  EXPECT_EQ(exchange(Bytes({0x27, 0x01})), Reply(Bytes({0x7F, 0x27, 0x22})));
}

struct LockedCase {
  const char* name;
  std::string request;
};

void PrintTo(const LockedCase& c, std::ostream* os) {
  *os << c.name;
}

class Locked : public VisteonLink, public ::testing::WithParamInterface<LockedCase> {};

TEST_P(Locked, ReflashServicesAreRefusedUntilUnlocked) {
  flashActive = true;
  const std::string& request = GetParam().request;
  EXPECT_EQ(exchange(request), Reply(Bytes({0x7F, static_cast<std::uint8_t>(request[0]), 0x33})));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Locked,
    ::testing::Values(LockedCase{"EraseStart", Bytes({0x31, 0xA1})},
                      LockedCase{"EraseResult", Bytes({0x32, 0xA1})},
                      LockedCase{"Download", Bytes({0x34, 0x82, 0x04, 0x00, 0x1C, 0x80, 0x00})},
                      LockedCase{"TransferExit", Bytes({0x37, 0x82})},
                      LockedCase{"BlockCheck", Bytes({0x31, 0xA2})},
                      LockedCase{"VerifyStart", Bytes({0x31, 0xA3, 0x12, 0x34})},
                      LockedCase{"VerifyResult", Bytes({0x32, 0xA3})},
                      LockedCase{"CalibrationText",
                                 Bytes({0x35, 0x82, 0x01, 0x00, 0x1C, 0xFF, 0x00})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Reflash, TransferPacketsWhileLockedAreIgnoredSilently) {
  flashActive = true;
  EXPECT_EQ(exchange(Bytes({0x36, 1, 2, 3, 4, 5, 6})), "");
  EXPECT_EQ(ecu.badPackets(), 0u);
}

TEST_F(Reflash, EraseBlanksTheRegionWhenItsTimeIsUp) {
  unlock();
  ASSERT_NE(flashBlock(0), std::string(kBlock, '\xFF'));
  const std::uint64_t t0 = clock.monoUs();
  EXPECT_EQ(exchange(Bytes({0x31, 0xA1})), Reply(Bytes({0x71, 0xA1})));
  EXPECT_TRUE(ecu.erasing());
  const std::size_t from = listener->text.size();
  device->write(Frame(Bytes({0x32, 0xA1}), true));
  clock.advanceTo(t0 + 2'990'000);
  EXPECT_EQ(listener->text.size() - from, 6u) << "only the echo before the erase ends";
  EXPECT_NE(ecu.flash().bytes().find_first_not_of('\xFF'), std::string::npos);
  clock.sleepMs(100);
  EXPECT_EQ(listener->text.substr(from + 6), Reply(Bytes({0x72, 0xA1, 0x00})));
  // The answer starts when the erase ends: 3 s after the request was taken in.
  const std::uint64_t answeredUs = listener->arrivals[from + 6].atUs - t0;
  EXPECT_GE(answeredUs, 3'000'000u);
  EXPECT_LE(answeredUs, 3'003'000u);
  EXPECT_EQ(ecu.flash().bytes(), std::string(64 * kBlock, '\xFF'));
}

TEST_F(Reflash, EraseResultAfterTheEraseIsAnsweredAtOnce) {
  ecu.setEraseTimeUs(50'000);
  unlock();
  exchange(Bytes({0x31, 0xA1}));
  EXPECT_EQ(exchange(Bytes({0x32, 0xA1})), Reply(Bytes({0x72, 0xA1, 0x00})));
}

TEST_F(Reflash, FailedEraseKeepsTheContents) {
  ecu.setRoutineResult(0xA1, 0x02);
  unlock();
  const std::string before = ecu.flash().bytes();
  exchange(Bytes({0x31, 0xA1}));
  EXPECT_EQ(exchange(Bytes({0x32, 0xA1}), 3500), Reply(Bytes({0x72, 0xA1, 0x02})));
  EXPECT_EQ(ecu.flash().bytes(), before);
}

TEST_F(Reflash, EraseResultWithoutAnEraseIsOutOfSequence) {
  unlock();
  EXPECT_EQ(exchange(Bytes({0x32, 0xA1})), Reply(Bytes({0x7F, 0x32, 0x24})));
}

TEST_F(Reflash, WholeBlockIsWrittenWhereItWasAddressed) {
  unlock();
  erase();
  const std::string data = Pattern(kBlock, 3);
  EXPECT_EQ(writeBlock(kFirstBlock + kBlock, data), Reply(Bytes({0x72, 0xA2, 0x00})));
  EXPECT_EQ(flashBlock(1), data);
  EXPECT_EQ(flashBlock(0), std::string(kBlock, '\xFF'));
  EXPECT_EQ(flashBlock(2), std::string(kBlock, '\xFF'));
}

TEST_F(Reflash, BlockWithAWrongSumIsNotWritten) {
  unlock();
  erase();
  EXPECT_EQ(writeBlock(kFirstBlock, Pattern(kBlock, 3), 1), Reply(Bytes({0x72, 0xA2, 0x01})));
  EXPECT_EQ(flashBlock(0), std::string(kBlock, '\xFF'));
}

TEST_F(Reflash, BlockMissingAPacketIsNotWritten) {
  unlock();
  erase();
  ecu.injectSilence(0x36);
  EXPECT_EQ(writeBlock(kFirstBlock, Pattern(kBlock, 3)), Reply(Bytes({0x72, 0xA2, 0x01})));
  EXPECT_EQ(flashBlock(0), std::string(kBlock, '\xFF'));
}

TEST_F(Reflash, BlockWithACorruptedByteIsNotWritten) {
  unlock();
  erase();
  requestDownload(kFirstBlock);
  sendTransfers(Pattern(kBlock, 3));
  clock.sleepMs(50);
  line.corruptNext(WireEnd::Server, 0x10);  // a byte of a later transfer packet
  clock.sleepMs(350);
  exchange(Bytes({0x37, 0x82}));
  exchange(Bytes({0x31, 0xA2}));
  EXPECT_EQ(exchange(Bytes({0x32, 0xA2})), Reply(Bytes({0x72, 0xA2, 0x01})));
  EXPECT_GE(ecu.badPackets(), 1u);
}

TEST_F(Reflash, BlockWrittenWithoutAnEraseOnlyClearsBits) {
  unlock();
  const std::string before = flashBlock(0);
  const std::string data = Pattern(kBlock, 3);
  EXPECT_EQ(writeBlock(kFirstBlock, data), Reply(Bytes({0x72, 0xA2, 0x00})));
  const std::string after = flashBlock(0);
  for (std::size_t i = 0; i < kBlock; ++i) {
    ASSERT_EQ(after[i], static_cast<char>(before[i] & data[i])) << "byte " << i;
  }
}

struct DownloadCase {
  const char* name;
  std::string request;
};

void PrintTo(const DownloadCase& c, std::ostream* os) {
  *os << c.name;
}

class BadDownload : public VisteonLink, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(BadDownload, IsOutOfRange) {
  unlock();
  EXPECT_EQ(exchange(GetParam().request), Reply(Bytes({0x7F, 0x34, 0x31})));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadDownload,
    ::testing::Values(
        DownloadCase{"BelowTheRegion", Bytes({0x34, 0x82, 0x04, 0x00, 0x1C, 0x7C, 0x00})},
        DownloadCase{"PastTheRegion", Bytes({0x34, 0x82, 0x04, 0x00, 0x1D, 0x80, 0x00})},
        DownloadCase{"NotABlockStart", Bytes({0x34, 0x82, 0x04, 0x00, 0x1C, 0x81, 0x00})},
        DownloadCase{"OtherSize", Bytes({0x34, 0x82, 0x08, 0x00, 0x1C, 0x80, 0x00})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Reflash, VerifyComparesTheSumOfTheRegion) {
  unlock();
  erase();
  const std::string data = Pattern(kBlock, 9);
  writeBlock(kFirstBlock, data);
  const unsigned sum = (0xFF * (63 * kBlock) + SumOf(data)) & 0xFFFF;
  const auto ch = static_cast<std::uint8_t>(sum >> 8);
  const auto cl = static_cast<std::uint8_t>(sum);
  EXPECT_EQ(exchange(Bytes({0x31, 0xA3, ch, cl ^ 1})),
            Reply(Bytes({0x71, 0xA3, ch, cl ^ 1, 0x00, 0x23})));
  EXPECT_EQ(exchange(Bytes({0x32, 0xA3})), Reply(Bytes({0x72, 0xA3, ch, cl ^ 1, 0x00, 0x01})));
  exchange(Bytes({0x31, 0xA3, ch, cl}));
  EXPECT_EQ(exchange(Bytes({0x32, 0xA3})), Reply(Bytes({0x72, 0xA3, ch, cl, 0x00, 0x00})));
}

TEST_F(Reflash, CalibrationTextComesSixCharactersAPacket) {
  ecu.setCalibrationText("V92C CAL 02A7 / 1507cc / EU3");
  unlock();
  const std::string heard = exchange(Bytes({0x35, 0x82, 0x01, 0x00, 0x1C, 0xFF, 0x00}), 1000);
  const std::string first = Reply(Bytes({0x75, 0x82, 0x00}));
  ASSERT_EQ(heard.size(), first.size() + 43 * 11);
  EXPECT_EQ(heard.substr(0, first.size()), first);
  const std::string text = ecu.calibrationText();
  ASSERT_EQ(text.size(), 258u);
  EXPECT_EQ(text.substr(0, 28), "V92C CAL 02A7 / 1507cc / EU3");
  for (std::size_t k = 0; k < 43; ++k) {
    EXPECT_EQ(heard.substr(first.size() + 11 * k, 11), Reply("\x76" + text.substr(6 * k, 6)))
        << "packet " << k;
  }
}

// --- Losing the session ---

TEST_F(Reflash, ResetMidBlockLosesTheSessionAndTheBlock) {
  unlock();
  erase();
  ecu.resetAfterTransferPackets(50);
  requestDownload(kFirstBlock);
  sendTransfers(Pattern(kBlock, 3));
  // Each transfer packet is taken in as it completes, not when the stream ends (~300 ms).
  clock.sleepMs(100);
  EXPECT_EQ(ecu.restarts(), 1);
  clock.sleepMs(300);
  EXPECT_FALSE(ecu.unlocked());
  EXPECT_EQ(ecu.rxBitRate(), 10400u);
  // The rest of the block and the exit went out at the reflash rate: unheard.
  EXPECT_EQ(exchange(Bytes({0x37, 0x82})), "");
  EXPECT_EQ(flashBlock(0), std::string(kBlock, '\xFF'));
  device->setBitRate(10400);
  EXPECT_EQ(exchange(Bytes({0x37, 0x82})), Reply(Bytes({0x7F, 0x37, 0x33})));
}

TEST_F(Reflash, BackAtTheBaseRateWhenTheServerReopens) {
  unlock();
  device->setBitRate(10400);
  // The server's cable test goes out first; the controller cannot decode it.
  roundTrip("123456789.1234567", 50);
  EXPECT_EQ(ecu.rxBitRate(), 10400u);
  EXPECT_FALSE(ecu.unlocked());
  EXPECT_EQ(exchange(Bytes({0x01, 0x00})).size(), 10u);
}

TEST_F(Reflash, PowerLossMidEraseLeavesItHalfDone) {
  unlock();
  device->write(Frame(Bytes({0x31, 0xA1}), true));
  clock.sleepMs(1510);  // just past half of the 3 s erase
  line.setVehiclePower(false);
  clock.sleepMs(10);
  line.setVehiclePower(true);
  EXPECT_EQ(ecu.restarts(), 1);
  EXPECT_FALSE(ecu.erasing());
  const std::string& flash = ecu.flash().bytes();
  EXPECT_EQ(flash.substr(0, 32 * kBlock), std::string(32 * kBlock, '\xFF'));
  EXPECT_EQ(flash.substr(32 * kBlock).find('\xFF'), std::string::npos);
  // Deaf while it boots, then back at the base rate, locked.
  device->setBitRate(10400);
  EXPECT_EQ(exchange(Bytes({0x01, 0x00}), 50), "");
  clock.sleepMs(100);
  EXPECT_EQ(exchange(Bytes({0x01, 0x00})).size(), 10u);
  EXPECT_EQ(exchange(Bytes({0x32, 0xA1})), Reply(Bytes({0x7F, 0x32, 0x33})));
}

}  // namespace
}  // namespace quorvan::sim::testing
