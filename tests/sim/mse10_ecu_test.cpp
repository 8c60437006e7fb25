// The simulated MSE 1.0 controller, driven from the server's port by a scripted tester
// that plays the server's side of the wake-up and of the block protocol, on the
// virtual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SimFixture.h"
#include "sim/EventGroup.h"
#include "sim/Mse10Blocks.h"
#include "sim/Mse10Ecu.h"
#include "sim/Mse10Wakeup.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim::testing {
namespace {

using mse10::ByteAt;
using mse10::Complement;
using mse10::MakeBlock;
using mse10::Payload;
using mse10::PayloadOf;
using visteon::Bytes;
namespace title = mse10::title;
using Link = Mse10Ecu::Link;

constexpr std::uint64_t kFrameUs = 1042;  // one byte at 9600 bit/s
constexpr std::uint64_t kAddressUs = 2'000'000;
const std::string kCableDetect(mse10::kCableDetectPacket);

struct Level {
  bool low;
  std::uint32_t ms;
};

// A 5-baud character on the line: start bit, data bits least significant first, stop bit.
std::vector<Level> AddressPattern(std::uint8_t address, std::uint32_t bitMs = 200) {
  std::vector<Level> levels;
  const auto add = [&levels, bitMs](bool low) {
    if (!levels.empty() && levels.back().low == low) {
      levels.back().ms += bitMs;
    } else {
      levels.push_back({low, bitMs});
    }
  };
  add(true);
  for (int bit = 0; bit < 8; ++bit) add(((address >> bit) & 1) == 0);
  add(false);
  return levels;
}

bool Continues(const std::string& block) {
  const std::uint8_t t = ByteAt(block, 2);
  return t == title::kFaultCode || t == title::kIdentification;
}

// The tester side, byte by byte as the server's receive pump works: it confirms the
// wake-up answer after six bytes (complement + 1 on the first pass, the exact complement
// on the second, which a new sync byte starts), complements every controller byte but
// the end byte (a burst by its last byte), and answers every controller block: fault
// and identification blocks with an acknowledge, others with the next queued request or,
// after a pause, an acknowledge. A wrong complement makes it send its block again after
// 90 ms, a slow one (over 47 ms) 120 ms after the byte.
class Tester final : public SerialListener {
 public:
  Tester(VirtualClock& clock, SerialDevice& device)
      : clock_(clock), device_(device), events_(clock) {
    device_.setListener(this);
  }
  ~Tester() override { device_.setListener(nullptr); }

  // Drives the line through the levels, sleeping, then waits for the wake-up answer.
  void sendLevels(const std::vector<Level>& levels) {
    events_.cancelAll();
    mode_ = Mode::Waiting;
    for (const Level& level : levels) {
      device_.setBreak(level.low);
      clock_.sleepMs(level.ms);
    }
    device_.setBreak(false);
    expectWakeUp();
  }
  void sendAddress(std::uint8_t address = mse10::kAddress) { sendLevels(AddressPattern(address)); }
  void expectWakeUp() {
    events_.cancelAll();
    device_.flushInput();
    echoes_.clear();
    block_.clear();
    mode_ = Mode::Prolog;
    pass_ = firstPass;
    prologCount_ = 0;
  }
  void write(const std::string& bytes) {
    for (const char c : bytes) {
      echoes_.push_back(c);
      written.push_back({clock_.monoUs(), static_cast<std::uint8_t>(c)});
    }
    device_.write(bytes);
  }
  void forget() {
    heard.clear();
    written.clear();
    blocks.clear();
    sentBlocks.clear();
  }

  // How it behaves.
  int firstPass = 1;
  bool confirms = true;
  std::uint64_t complementDelayUs = 3'000;
  std::uint8_t complementError = 0;  // added to each complement it sends
  std::uint64_t byteGapUs = 3'000;
  std::uint64_t requestGapUs = 20'000;
  std::uint64_t idleGapUs = 400'000;
  std::deque<std::string> requests;             // payloads
  std::function<void(std::string&)> spoilNext;  // applied to its next block, once

  // What it saw and did.
  std::vector<Arrival> heard;    // the controller's bytes
  std::vector<Arrival> written;  // its own, when handed to the port
  std::string prolog;
  std::vector<std::string> blocks;      // the controller's, whole
  std::vector<std::string> sentBlocks;  // its own, every attempt
  std::vector<std::string> wire;        // both, in the order they went out
  int wrongComplements = 0;
  int slowComplements = 0;

  void onBytesArrived() override {
    for (const char c : device_.readAll()) {
      if (!echoes_.empty() && echoes_.front() == c) {
        echoes_.pop_front();
        continue;
      }
      heard.push_back({clock_.monoUs(), static_cast<std::uint8_t>(c)});
      onByte(static_cast<std::uint8_t>(c));
    }
  }
  void onLineEvent(int /*code*/) override {}

 private:
  enum class Mode { Prolog, Slave, Master, Waiting };

  void onByte(std::uint8_t b) {
    switch (mode_) {
      case Mode::Prolog:
        onPrologByte(b);
        break;
      case Mode::Slave:
        onBlockByte(b);
        break;
      case Mode::Master:
        onComplement(b);
        break;
      case Mode::Waiting:
        break;
    }
  }

  void onPrologByte(std::uint8_t b) {
    prolog.push_back(static_cast<char>(b));
    if (++prologCount_ < 6 || !confirms) {
      prologCount_ %= 6;
      return;
    }
    prologCount_ = 0;
    mode_ = Mode::Slave;
    block_.clear();
    const auto third = ByteAt(prolog, prolog.size() - 4);
    const auto confirmation = static_cast<char>(Complement(third) + (pass_ == 1 ? 1 : 0));
    events_.after(1'000, [this, confirmation] { write(std::string(1, confirmation)); });
  }

  void onBlockByte(std::uint8_t b) {
    if (block_.empty() && b == mse10::kSync) {
      pass_ = 2;
      mode_ = Mode::Prolog;
      onPrologByte(b);
      return;
    }
    block_.push_back(static_cast<char>(b));
    const std::uint8_t length = ByteAt(block_, 0);
    if (!mse10::ValidLength(length)) {
      block_.clear();  // not answered
    } else if (block_.size() <= length) {
      events_.cancel(complement_);
      const auto c = static_cast<char>(Complement(b) + complementError);
      complement_ = events_.after(complementDelayUs, [this, c] { write(std::string(1, c)); });
    } else {
      takeBlock(std::exchange(block_, {}));
    }
  }

  void takeBlock(const std::string& block) {
    blocks.push_back(block);
    wire.push_back(block);
    std::string payload = Payload(title::kAck);
    std::uint64_t gapUs = idleGapUs;
    if (Continues(block)) {
      gapUs = 2'000;
    } else if (!requests.empty()) {
      payload = requests.front();
      requests.pop_front();
      gapUs = requestGapUs;
    }
    const bool nak = ByteAt(block, 2) == title::kNak;
    std::string next =
        MakeBlock(static_cast<std::uint8_t>(ByteAt(block, 1) + (nak ? -1 : 1)), payload);
    if (spoilNext) std::exchange(spoilNext, nullptr)(next);
    events_.after(gapUs, [this, next] { startBlock(next); });
  }

  void startBlock(const std::string& block) {
    sentBlocks.push_back(block);
    wire.push_back(block);
    tx_ = block;
    txIndex_ = 0;
    mode_ = Mode::Master;
    sendTxByte();
  }

  void sendTxByte() {
    lastTxUs_ = clock_.monoUs();
    write(tx_.substr(txIndex_, 1));
    if (txIndex_ + 1 == tx_.size()) mode_ = Mode::Slave;
  }

  void onComplement(std::uint8_t b) {
    const std::uint64_t elapsedUs = clock_.monoUs() - lastTxUs_;
    if (b != Complement(ByteAt(tx_, txIndex_))) {
      ++wrongComplements;
      sendAgain(90'000);
    } else if (elapsedUs > 47'000) {
      ++slowComplements;
      sendAgain(elapsedUs < 120'000 ? 120'000 - elapsedUs : 0);
    } else {
      ++txIndex_;
      events_.after(byteGapUs, [this] { sendTxByte(); });
    }
  }

  void sendAgain(std::uint64_t afterUs) {
    mode_ = Mode::Waiting;
    events_.after(afterUs, [this] { startBlock(tx_); });
  }

  VirtualClock& clock_;
  SerialDevice& device_;
  EventGroup events_;
  std::deque<char> echoes_;
  Mode mode_ = Mode::Waiting;
  int pass_ = 1;
  int prologCount_ = 0;
  std::string block_;
  EventGroup::Handle complement_ = 0;
  std::string tx_;
  std::size_t txIndex_ = 0;
  std::uint64_t lastTxUs_ = 0;
};

class Mse10Session : public ::testing::Test {
 protected:
  Mse10Session() {
    backend.setPort(1, SimPort::kLine(line));
    device = backend.open(1);
    tester = std::make_unique<Tester>(clock, *device);
  }

  void runMs(std::uint32_t ms) { clock.sleepMs(ms); }
  bool runUntil(const std::function<bool()>& done, std::uint32_t maxMs = 5'000) {
    for (std::uint32_t ms = 0; ms < maxMs && !done(); ++ms) clock.sleepMs(1);
    return done();
  }
  bool runUntilBlocks(std::size_t count) {
    return runUntil([this, count] { return tester->blocks.size() >= count; });
  }

  // Wakes the controller and runs through its identification and the acknowledge after it.
  void connect() {
    tester->sendAddress();
    ASSERT_TRUE(runUntilBlocks(4));
    ASSERT_EQ(ecu.link(), Link::Linked);
  }

  // Queues a request and returns the payloads of the controller's answer to it, up to
  // its first block that does not continue.
  std::vector<std::string> ask(const std::string& payload) {
    tester->requests.push_back(payload);
    EXPECT_TRUE(runUntil([this] { return tester->requests.empty(); }));
    const std::size_t from = tester->blocks.size();
    EXPECT_TRUE(runUntil([this, from] {
      return tester->blocks.size() > from && !Continues(tester->blocks.back());
    }));
    std::vector<std::string> payloads;
    for (std::size_t i = from; i < tester->blocks.size(); ++i) {
      payloads.push_back(PayloadOf(tester->blocks[i]));
    }
    return payloads;
  }

  VirtualClock clock;
  SimLine line{clock};
  Mse10Ecu ecu{line};
  SimSerialBackend backend{clock, clock};
  std::unique_ptr<SerialDevice> device;
  std::unique_ptr<Tester> tester;
};

// --- Waking up ---

struct AddressCase {
  const char* name;
  std::vector<Level> levels;
  bool wakes;
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10Address : public Mse10Session, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(Mse10Address, WakesOnlyForItsOwn) {
  tester->sendLevels(GetParam().levels);
  runMs(1'000);
  if (GetParam().wakes) {
    ASSERT_FALSE(tester->heard.empty());
    EXPECT_EQ(tester->heard[0].value, mse10::kSync);
    EXPECT_EQ(ecu.wakeUps(), 1);
  } else {
    EXPECT_TRUE(tester->heard.empty());
    EXPECT_EQ(ecu.wakeUps(), 0);
    EXPECT_EQ(ecu.link(), Link::Asleep);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10Address,
    ::testing::Values(
        AddressCase{"Its", AddressPattern(0x10), true},
        AddressCase{"ItsWithEdgesSomewhatOff", {{true, 1'030}, {false, 170}, {true, 640}}, true},
        AddressCase{"Another", AddressPattern(0x11), false},
        AddressCase{"ItsWithTheTopBitSet", AddressPattern(0x90), false},
        AddressCase{"ItsAtTwiceTheSpeed", AddressPattern(0x10, 100), false},
        AddressCase{"ItsWithEdgesFarOff", {{true, 1'080}, {false, 120}, {true, 600}}, false},
        AddressCase{"NoStopBit", {{true, 1'000}, {false, 200}, {true, 1'000}}, false},
        AddressCase{"FastInitBreak", {{true, 25}, {false, 25}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, AGarbledPatternDoesNotSpoilTheNextAddress) {
  tester->sendLevels({{true, 1'080}, {false, 120}, {true, 600}});
  runMs(500);
  connect();
  EXPECT_EQ(ecu.wakeUps(), 1);
}

struct ConfirmationCase {
  const char* name;
  int firstPass;
  std::string prolog;         // every byte of the wake-up answers
  std::string confirmations;  // what the tester sent
};

void PrintTo(const ConfirmationCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10Confirmation : public Mse10Session,
                          public ::testing::WithParamInterface<ConfirmationCase> {};

TEST_P(Mse10Confirmation, OnlyTheExactComplementIsTaken) {
  tester->firstPass = GetParam().firstPass;
  connect();
  EXPECT_EQ(tester->prolog, GetParam().prolog);
  const std::size_t n = GetParam().confirmations.size();
  ASSERT_GE(tester->written.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(tester->written[i].value, ByteAt(GetParam().confirmations, i));
  }
  EXPECT_EQ(ecu.wakeUps(), 1);
}

const std::string kAnswerTwice = Bytes({0x55, 0x01, 0x8A, 0x55, 0x01, 0x8A});

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10Confirmation,
    ::testing::Values(ConfirmationCase{"AdaptiveRefusedThenStandard", 1,
                                       kAnswerTwice + kAnswerTwice, Bytes({0x76, 0x75})},
                      ConfirmationCase{"StandardAtOnce", 2, kAnswerTwice, Bytes({0x75})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, WakeUpAnswerTiming) {
  const std::uint64_t t0 = clock.monoUs();
  connect();
  const std::vector<Arrival>& heard = tester->heard;
  ASSERT_GE(heard.size(), 12u);
  // The sync byte 300 ms after the stop bit, the keywords 10 ms apart.
  EXPECT_EQ(heard[0].atUs, t0 + kAddressUs + 300'000 + kFrameUs);
  EXPECT_EQ(heard[1].atUs, heard[0].atUs + 10'000 + kFrameUs);
  EXPECT_EQ(heard[2].atUs, heard[1].atUs + 10'000 + kFrameUs);
  // Unconfirmed for 50 ms, it answers again.
  EXPECT_EQ(heard[3].atUs, heard[2].atUs + 50'000 + kFrameUs);
  // A refused confirmation: the next answer 300 ms after it.
  const Arrival refused = tester->written[0];
  EXPECT_EQ(heard[6].atUs, refused.atUs + kFrameUs + 300'000 + kFrameUs);
  // Confirmed: the first identification block 20 ms later.
  const Arrival confirmed = tester->written[1];
  EXPECT_EQ(heard[12].atUs, confirmed.atUs + kFrameUs + 20'000 + kFrameUs);
}

TEST_F(Mse10Session, GivesUpAfterThreeUnconfirmedAnswers) {
  tester->confirms = false;
  tester->sendAddress();
  runMs(2'000);
  EXPECT_EQ(tester->prolog, Bytes({0x55, 0x01, 0x8A, 0x55, 0x01, 0x8A, 0x55, 0x01, 0x8A}));
  EXPECT_EQ(ecu.link(), Link::Asleep);
  EXPECT_EQ(ecu.lastDropReason(), "no confirmation");
}

TEST_F(Mse10Session, IdentificationBlocksCarryTheTextsAsSet) {
  ecu.setIdentification("0261 HW  ", std::string("SW 17\0\0", 7), "CUSTOMER TEXT TOO LONG");
  connect();
  ASSERT_GE(tester->blocks.size(), 4u);
  EXPECT_EQ(tester->blocks[0], MakeBlock(1, Payload(title::kIdentification, "0261 HW  ")));
  EXPECT_EQ(tester->blocks[1],
            MakeBlock(3, Payload(title::kIdentification, std::string("SW 17\0\0", 7))));
  EXPECT_EQ(tester->blocks[2], MakeBlock(5, Payload(title::kIdentification, "CUSTOMER TEX")));
  // Nothing more to say: the tester's acknowledge gets an acknowledge.
  EXPECT_EQ(tester->blocks[3], MakeBlock(7, Payload(title::kAck)));
}

// --- Complements ---

struct TimingCase {
  const char* name;
  std::uint64_t complementDelayUs;
  std::uint64_t byteGapUs;
  std::uint64_t replyDelayUs;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10ByteTiming : public Mse10Session, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(Mse10ByteTiming, FollowsTheConfiguredDelays) {
  const TimingCase& c = GetParam();
  ecu.config().complementDelayUs = c.complementDelayUs;
  ecu.config().byteGapUs = c.byteGapUs;
  ecu.config().replyDelayUs = c.replyDelayUs;
  connect();
  tester->forget();
  ASSERT_TRUE(runUntilBlocks(1));
  // The tester's acknowledge 03 c 09 03, then the controller's.
  const std::vector<Arrival>& w = tester->written;
  const std::vector<Arrival>& h = tester->heard;
  ASSERT_GE(w.size(), 5u);
  ASSERT_GE(h.size(), 5u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(h[i].value, Complement(w[i].value));
    EXPECT_EQ(h[i].atUs, w[i].atUs + kFrameUs + c.complementDelayUs + kFrameUs) << i;
  }
  EXPECT_EQ(h[3].atUs, w[3].atUs + kFrameUs + c.replyDelayUs + kFrameUs);
  EXPECT_EQ(h[4].atUs, w[4].atUs + kFrameUs + c.byteGapUs + kFrameUs);
}

INSTANTIATE_TEST_SUITE_P(Cases, Mse10ByteTiming,
                         ::testing::Values(TimingCase{"Default", 3'000, 3'000, 10'000},
                                           TimingCase{"Configured", 7'000, 12'000, 25'000}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TesterFaultCase {
  const char* name;
  std::function<void(Tester&)> spoil;
  const char* dropReason;  // "": the link holds
};

void PrintTo(const TesterFaultCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10TesterFault : public Mse10Session,
                         public ::testing::WithParamInterface<TesterFaultCase> {};

TEST_P(Mse10TesterFault, DropsTheLinkUntilTheNextWakeUp) {
  const TesterFaultCase& c = GetParam();
  connect();
  GetParam().spoil(*tester);
  runMs(2'000);
  if (std::string(c.dropReason).empty()) {
    EXPECT_EQ(ecu.link(), Link::Linked);
    EXPECT_EQ(ecu.linkDrops(), 0);
    return;
  }
  EXPECT_EQ(ecu.link(), Link::Asleep);
  EXPECT_EQ(ecu.lastDropReason(), c.dropReason);
  const std::size_t heard = tester->heard.size();
  runMs(2'000);
  EXPECT_EQ(tester->heard.size(), heard) << "it stays asleep";
  tester.reset();  // a fresh one, with the default behaviour
  tester = std::make_unique<Tester>(clock, *device);
  connect();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10TesterFault,
    ::testing::Values(
        TesterFaultCase{"ComplementIn45ms", [](Tester& t) { t.complementDelayUs = 45'000; }, ""},
        TesterFaultCase{"ComplementLate", [](Tester& t) { t.complementDelayUs = 60'000; },
                        "no complement"},
        TesterFaultCase{"ComplementWrong", [](Tester& t) { t.complementError = 1; },
                        "wrong complement"},
        TesterFaultCase{"WrongCounter",
                        [](Tester& t) { t.spoilNext = [](std::string& b) { ++b[1]; }; },
                        "wrong counter"},
        TesterFaultCase{"LengthOver15",
                        [](Tester& t) { t.spoilNext = [](std::string& b) { b[0] = 16; }; },
                        "bad length"},
        TesterFaultCase{"LengthUnder3",
                        [](Tester& t) { t.spoilNext = [](std::string& b) { b[0] = 2; }; },
                        "bad length"},
        TesterFaultCase{"NoEndByte",
                        [](Tester& t) { t.spoilNext = [](std::string& b) { b.back() = 4; }; },
                        "no end byte"},
        TesterFaultCase{"Silent", [](Tester& t) { t.idleGapUs = 1'300'000; }, "tester silent"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Answers ---

struct MemoryValueCase {
  const char* name;
  std::uint32_t value;
  int size;
  std::string bytes;
};

void PrintTo(const MemoryValueCase& c, std::ostream* os) {
  *os << c.name;
}

// The value of a 0xFE block as the server computes it for an item of this size.
std::uint32_t ServerValue(const std::string& data, int size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::size_t weight = size > 0 ? i : data.size() - 1 - i;
    value += static_cast<std::uint32_t>(ByteAt(data, i)) << (8 * weight);
  }
  return value;
}

class Mse10MemoryValue : public Mse10Session,
                         public ::testing::WithParamInterface<MemoryValueCase> {};

TEST_P(Mse10MemoryValue, ReadsBackInTheItemsByteOrder) {
  const MemoryValueCase& c = GetParam();
  connect();
  ecu.storeValue(0x4321, c.value, c.size);
  const std::vector<std::string> answer =
      ask(Payload(title::kReadMemory, Bytes({std::abs(c.size), 0x43, 0x21})));
  ASSERT_EQ(answer, std::vector<std::string>{Payload(title::kMemoryData, c.bytes)});
  EXPECT_EQ(ServerValue(c.bytes, c.size), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10MemoryValue,
    ::testing::Values(MemoryValueCase{"Byte", 0xAB, 1, Bytes({0xAB})},
                      MemoryValueCase{"Word", 0x1234, 2, Bytes({0x34, 0x12})},
                      MemoryValueCase{"WordMostSignificantFirst", 0x1234, -2, Bytes({0x12, 0x34})},
                      MemoryValueCase{"Long", 0x12345678, 4, Bytes({0x78, 0x56, 0x34, 0x12})},
                      MemoryValueCase{"LongMostSignificantFirst", 0x12345678, -4,
                                      Bytes({0x12, 0x34, 0x56, 0x78})},
                      MemoryValueCase{"ThreeBytesMostSignificantFirst", 0xABCDEF, -3,
                                      Bytes({0xAB, 0xCD, 0xEF})}),
    [](const auto& info) { return std::string(info.param.name); });

struct MemoryReadCase {
  const char* name;
  std::function<void(Mse10Ecu&)> setUp;
  std::string request;  // data of the read-memory block
  std::string answer;   // payload
};

void PrintTo(const MemoryReadCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10MemoryRead : public Mse10Session,
                        public ::testing::WithParamInterface<MemoryReadCase> {};

TEST_P(Mse10MemoryRead, AnswersWithTheBytesOrRefuses) {
  const MemoryReadCase& c = GetParam();
  connect();
  c.setUp(ecu);
  EXPECT_EQ(ask(Payload(title::kReadMemory, c.request)), std::vector<std::string>{c.answer});
  EXPECT_EQ(ecu.link(), Link::Linked);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10MemoryRead,
    ::testing::Values(
        MemoryReadCase{"AsMuchAsABlockHolds",
                       [](Mse10Ecu& e) { e.setMemory(0x2000, "ABCDEFGHIJKL"); },
                       Bytes({12, 0x20, 0x00}), Payload(title::kMemoryData, "ABCDEFGHIJKL")},
        MemoryReadCase{"NeverSetReadsZero", [](Mse10Ecu&) {}, Bytes({3, 0x30, 0x00}),
                       Payload(title::kMemoryData, Bytes({0, 0, 0}))},
        MemoryReadCase{"WrapsAtTheTop",
                       [](Mse10Ecu& e) {
                         e.setMemory(0xFFFF, Bytes({0x11}));
                         e.setMemory(0x0000, Bytes({0x22}));
                       },
                       Bytes({2, 0xFF, 0xFF}), Payload(title::kMemoryData, Bytes({0x11, 0x22}))},
        MemoryReadCase{"SizeZero", [](Mse10Ecu&) {}, Bytes({0, 0x20, 0x00}), Payload(title::kNak)},
        MemoryReadCase{"MoreThanABlockHolds", [](Mse10Ecu&) {}, Bytes({13, 0x20, 0x00}),
                       Payload(title::kNak)},
        MemoryReadCase{"NoAddressLowByte", [](Mse10Ecu&) {}, Bytes({2, 0x20}),
                       Payload(title::kNak)}),
    [](const auto& info) { return std::string(info.param.name); });

struct FaultListCase {
  const char* name;
  std::vector<Mse10Ecu::Fault> faults;
  std::vector<std::string> answer;
};

void PrintTo(const FaultListCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10FaultList : public Mse10Session, public ::testing::WithParamInterface<FaultListCase> {};

TEST_P(Mse10FaultList, OneBlockPerFaultThenAnAcknowledge) {
  const FaultListCase& c = GetParam();
  ecu.setFaults(c.faults);
  connect();
  EXPECT_EQ(ask(Payload(title::kReadFaults)), c.answer);
  EXPECT_EQ(ecu.faults(), c.faults);
  EXPECT_EQ(ecu.link(), Link::Linked);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10FaultList,
    ::testing::Values(FaultListCase{"None", {}, {Payload(title::kAck)}},
                      FaultListCase{"CurrentAndHistoric",
                                    {{0x01, 0x02, 0x03}, {0x12, 0x34, 0x85}},
                                    {Payload(title::kFaultCode, Bytes({0x01, 0x02, 0x03})),
                                     Payload(title::kFaultCode, Bytes({0x12, 0x34, 0x85})),
                                     Payload(title::kAck)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, ARequestCutsARunningFaultListShort) {
  ecu.setFaults({{0x01, 0x02, 0x03}, {0x12, 0x34, 0x85}});
  connect();
  tester->requests.push_back(Payload(title::kReadFaults));
  ASSERT_TRUE(runUntil([this] { return tester->requests.empty(); }));
  const std::size_t from = tester->blocks.size();
  // The tester sends a command instead of acknowledging the first fault block.
  tester->spoilNext = [](std::string& b) { b = MakeBlock(ByteAt(b, 1), Payload(title::kCommand)); };
  ASSERT_TRUE(runUntilBlocks(from + 3));
  EXPECT_EQ(PayloadOf(tester->blocks[from]), Payload(title::kFaultCode, Bytes({1, 2, 3})));
  EXPECT_EQ(PayloadOf(tester->blocks[from + 1]), Payload(title::kAck));  // to the command
  EXPECT_EQ(PayloadOf(tester->blocks[from + 2]), Payload(title::kAck));  // to the next ack
}

TEST_F(Mse10Session, ClearingEmptiesTheFaultList) {
  ecu.setFaults({{0x01, 0x02, 0x03}});
  connect();
  EXPECT_EQ(ask(Payload(title::kClearFaults)), std::vector<std::string>{Payload(title::kAck)});
  EXPECT_TRUE(ecu.faults().empty());
  EXPECT_EQ(ask(Payload(title::kReadFaults)), std::vector<std::string>{Payload(title::kAck)});
}

struct AnswerCase {
  const char* name;
  std::string request;
  std::string answer;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10Answer : public Mse10Session, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Mse10Answer, ToEachTitle) {
  ecu.setTimingValue(0x2C);
  connect();
  EXPECT_EQ(ask(GetParam().request), std::vector<std::string>{GetParam().answer});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10Answer,
    ::testing::Values(AnswerCase{"Acknowledge", Payload(title::kAck), Payload(title::kAck)},
                      AnswerCase{"Command201", Payload(title::kCommand), Payload(title::kAck)},
                      AnswerCase{"TimingMode", Payload(title::kTimingMode),
                                 Payload(title::kSingleByte, Bytes({0x2C}))},
                      AnswerCase{"UnknownTitle", Payload(0x42, Bytes({0x01})),
                                 Payload(title::kNak)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, EveryBlockCarriesTheCounterBeforeItPlusOne) {
  tester->idleGapUs = 5'000;
  connect();
  ASSERT_TRUE(runUntil([this] { return tester->wire.size() >= 300; }, 60'000));
  const std::vector<std::string>& wire = tester->wire;
  bool wrapped = false;
  for (std::size_t i = 1; i < wire.size(); ++i) {
    ASSERT_EQ(ByteAt(wire[i], 1), static_cast<std::uint8_t>(ByteAt(wire[i - 1], 1) + 1)) << i;
    wrapped = wrapped || ByteAt(wire[i], 1) == 0;
  }
  EXPECT_TRUE(wrapped);
  EXPECT_EQ(ByteAt(wire[0], 1), 1);
}

// --- Misbehaviour ---

TEST_F(Mse10Session, InjectedNakIsFollowedByARepeatWithTheCounterBefore) {
  connect();
  tester->forget();
  ecu.injectNak();
  ASSERT_TRUE(runUntilBlocks(2));
  const std::vector<std::string>& blocks = tester->blocks;
  EXPECT_EQ(PayloadOf(blocks[0]), Payload(title::kNak));
  EXPECT_EQ(PayloadOf(blocks[1]), Payload(title::kAck));
  // The tester's block after the NAK carries the NAK's counter less one; the answer to it
  // carries the NAK's counter again.
  ASSERT_GE(tester->sentBlocks.size(), 2u);
  EXPECT_EQ(ByteAt(tester->sentBlocks[1], 1), static_cast<std::uint8_t>(ByteAt(blocks[0], 1) - 1));
  EXPECT_EQ(ByteAt(blocks[1], 1), ByteAt(blocks[0], 1));
  EXPECT_EQ(ecu.link(), Link::Linked);
}

struct NakCase {
  const char* name;
  int title;
  int times;
  std::vector<std::string> requests;
  std::vector<std::string> answers;
};

void PrintTo(const NakCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10Nak : public Mse10Session, public ::testing::WithParamInterface<NakCase> {};

TEST_P(Mse10Nak, ReplacesTheAnswersOfItsTitle) {
  const NakCase& c = GetParam();
  ecu.setFaults({{0x01, 0x02, 0x03}});
  connect();
  ecu.injectNak(c.title, c.times);
  std::vector<std::string> answers;
  for (const std::string& request : c.requests) {
    const std::vector<std::string> answer = ask(request);
    answers.push_back(answer.empty() ? std::string() : answer.front());
  }
  EXPECT_EQ(answers, c.answers);
  EXPECT_EQ(ecu.linkDrops(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10Nak,
    ::testing::Values(NakCase{"ClearRefusedOnce",
                              title::kClearFaults,
                              1,
                              {Payload(title::kClearFaults), Payload(title::kReadFaults),
                               Payload(title::kClearFaults), Payload(title::kReadFaults)},
                              {Payload(title::kNak), Payload(title::kFaultCode, Bytes({1, 2, 3})),
                               Payload(title::kAck), Payload(title::kAck)}},
                      NakCase{"CommandTwice",
                              title::kCommand,
                              2,
                              {Payload(title::kCommand), Payload(title::kTimingMode),
                               Payload(title::kCommand), Payload(title::kCommand)},
                              {Payload(title::kNak), Payload(title::kSingleByte, Bytes({0x0A})),
                               Payload(title::kNak), Payload(title::kAck)}},
                      NakCase{"TimingModeForever",
                              title::kTimingMode,
                              Mse10Ecu::kForever,
                              {Payload(title::kTimingMode), Payload(title::kTimingMode),
                               Payload(title::kTimingMode)},
                              {Payload(title::kNak), Payload(title::kNak), Payload(title::kNak)}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ComplementFaultCase {
  const char* name;
  Mse10Ecu::ComplementFault kind;
  std::uint64_t lateUs;
  int testerRepeats;
  const char* dropReason;  // "": the link holds
};

void PrintTo(const ComplementFaultCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10ComplementFault : public Mse10Session,
                             public ::testing::WithParamInterface<ComplementFaultCase> {};

TEST_P(Mse10ComplementFault, IsWhatTheTesterRecoversFromOrNot) {
  const ComplementFaultCase& c = GetParam();
  connect();
  tester->forget();
  ecu.injectComplementFault(c.kind, 1, c.lateUs);
  runMs(2'000);
  ASSERT_FALSE(tester->sentBlocks.empty());
  int repeats = 0;
  for (std::size_t i = 1; i < tester->sentBlocks.size(); ++i) {
    if (tester->sentBlocks[i] == tester->sentBlocks[i - 1]) ++repeats;
  }
  EXPECT_EQ(repeats, c.testerRepeats);
  if (std::string(c.dropReason).empty()) {
    EXPECT_EQ(ecu.link(), Link::Linked);
    EXPECT_GE(tester->blocks.size(), 2u);
  } else {
    EXPECT_EQ(ecu.link(), Link::Asleep);
    EXPECT_EQ(ecu.lastDropReason(), c.dropReason);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10ComplementFault,
    ::testing::Values(
        ComplementFaultCase{"LateWithinTheTestersPatience", Mse10Ecu::ComplementFault::Late, 20'000,
                            0, ""},
        // The tester sends the block again 120 ms after the byte; by then the
        // controller has forgotten the unfinished one.
        ComplementFaultCase{"LateSoTheTesterRepeats", Mse10Ecu::ComplementFault::Late, 60'000, 1,
                            ""},
        ComplementFaultCase{"WrongSoTheTesterRepeats", Mse10Ecu::ComplementFault::Wrong, 0, 1, ""},
        // Nothing tells the tester to go on: both wait until the controller gives up.
        ComplementFaultCase{"Missing", Mse10Ecu::ComplementFault::Missing, 0, 0, "tester silent"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, LateComplementsComeLateForAsManyBytesAsAsked) {
  connect();
  tester->forget();
  ecu.injectComplementFault(Mse10Ecu::ComplementFault::Late, 2, 20'000);
  ASSERT_TRUE(runUntilBlocks(1));
  const std::vector<Arrival>& w = tester->written;
  const std::vector<Arrival>& h = tester->heard;
  ASSERT_GE(w.size(), 3u);
  ASSERT_GE(h.size(), 3u);
  EXPECT_EQ(h[0].atUs - w[0].atUs, kFrameUs + 23'000 + kFrameUs);
  EXPECT_EQ(h[1].atUs - w[1].atUs, kFrameUs + 23'000 + kFrameUs);
  EXPECT_EQ(h[2].atUs - w[2].atUs, kFrameUs + 3'000 + kFrameUs);
}

TEST_F(Mse10Session, PairedBytesGoOutBackToBack) {
  connect();
  tester->forget();
  ecu.injectPairedBytes(0);
  ASSERT_TRUE(runUntilBlocks(1));
  // After the complements of the tester's acknowledge, length and counter in one burst:
  // both are in before the tester's 3 ms answer.
  const std::vector<Arrival>& h = tester->heard;
  ASSERT_GE(h.size(), 5u);
  EXPECT_EQ(h[4].atUs, h[3].atUs + kFrameUs);
  // Answered by the counter's complement alone, it goes on.
  EXPECT_EQ(tester->blocks[0], ecu.sent().back());
  EXPECT_EQ(ecu.link(), Link::Linked);
}

TEST_F(Mse10Session, InjectedWrongCounterIsOffByTheOffset) {
  connect();
  tester->forget();
  ecu.injectWrongCounter(5);
  ASSERT_TRUE(runUntilBlocks(2));
  ASSERT_FALSE(tester->sentBlocks.empty());
  EXPECT_EQ(ByteAt(tester->blocks[0], 1),
            static_cast<std::uint8_t>(ByteAt(tester->sentBlocks[0], 1) + 1 + 5));
  EXPECT_EQ(ByteAt(tester->blocks[1], 1),
            static_cast<std::uint8_t>(ByteAt(tester->sentBlocks[1], 1) + 1));
}

TEST_F(Mse10Session, InjectedBadLengthIsNotAnsweredSoTheLinkDrops) {
  connect();
  tester->forget();
  ecu.injectBadLength(16);
  runMs(1'000);
  // The complements of the tester's acknowledge, then the length byte alone.
  ASSERT_EQ(tester->heard.size(), 4u);
  EXPECT_EQ(tester->heard[3].value, 16);
  EXPECT_EQ(ecu.lastDropReason(), "no complement");
  EXPECT_EQ(ecu.link(), Link::Asleep);
}

TEST_F(Mse10Session, SilentItAnswersNothingUntilUnsilenced) {
  connect();
  ecu.setSilent(true);
  tester->forget();
  tester->sendAddress();
  runMs(2'000);
  EXPECT_TRUE(tester->heard.empty());
  EXPECT_EQ(ecu.link(), Link::Asleep);
  ecu.setSilent(false);
  connect();
}

// --- The world around it ---

struct OutageCase {
  const char* name;
  std::function<void(SimLine&, bool)> set;  // on: the outage begins
  const char* dropReason;
};

void PrintTo(const OutageCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10Outage : public Mse10Session, public ::testing::WithParamInterface<OutageCase> {};

TEST_P(Mse10Outage, PutsItToSleepUntilTheNextWakeUp) {
  connect();
  GetParam().set(line, true);
  runMs(2'000);
  EXPECT_EQ(ecu.link(), Link::Asleep);
  EXPECT_EQ(ecu.lastDropReason(), GetParam().dropReason);
  GetParam().set(line, false);
  const std::size_t heard = tester->heard.size();
  runMs(2'000);
  EXPECT_EQ(tester->heard.size(), heard);
  tester->forget();
  connect();
  EXPECT_EQ(ecu.wakeUps(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Mse10Outage,
    ::testing::Values(
        OutageCase{"PowerLost", [](SimLine& l, bool on) { l.setVehiclePower(!on); }, "power lost"},
        OutageCase{"CablePulled", [](SimLine& l, bool on) { l.setPlugged(!on); }, "tester silent"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mse10Session, ANewAddressInTheMiddleOfALinkStartsAgain) {
  connect();
  tester->forget();
  connect();
  EXPECT_EQ(ecu.wakeUps(), 2);
  EXPECT_EQ(ecu.linkDrops(), 1);
  EXPECT_EQ(ecu.lastDropReason(), "break on the line");
  EXPECT_EQ(PayloadOf(tester->blocks[0]).front(), static_cast<char>(title::kIdentification));
}

// --- Behind a pseudo-terminal ---

class Mse10Quiet : public Mse10Session {
 protected:
  Mse10Quiet() { ecu.config().wakeOnQuiet = true; }

  // The cable-detect packet as the server sends it before the address.
  void sendCableDetect() {
    tester->expectWakeUp();
    tester->write(kCableDetect);
  }
};

TEST_F(Mse10Quiet, TheCableDetectPacketAndSilenceWakeIt) {
  sendCableDetect();
  const std::uint64_t packetEndUs =
      tester->written.front().atUs + FramesDurationUs(kCableDetect.size(), mse10::kBitRate);
  ASSERT_TRUE(runUntilBlocks(4));
  EXPECT_EQ(ecu.link(), Link::Linked);
  // As if the address had ended with its stop bit one bit time after the silence.
  EXPECT_EQ(tester->heard[0].atUs, packetEndUs + 1'800'000 + 200'000 + 300'000 + kFrameUs);
}

TEST_F(Mse10Quiet, ThePacketWhileLinkedStartsAgain) {
  sendCableDetect();
  ASSERT_TRUE(runUntilBlocks(4));
  tester->forget();
  sendCableDetect();
  ASSERT_TRUE(runUntilBlocks(4));
  EXPECT_EQ(ecu.wakeUps(), 2);
  EXPECT_EQ(ecu.linkDrops(), 1);
}

struct NoQuietCase {
  const char* name;
  std::function<void(Tester&, VirtualClock&)> send;
};

void PrintTo(const NoQuietCase& c, std::ostream* os) {
  *os << c.name;
}

class Mse10NoWakeUp : public Mse10Quiet, public ::testing::WithParamInterface<NoQuietCase> {};

TEST_P(Mse10NoWakeUp, WithoutPacketAndSilence) {
  GetParam().send(*tester, clock);
  runMs(3'000);
  EXPECT_TRUE(tester->heard.empty());
  EXPECT_EQ(ecu.wakeUps(), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Mse10NoWakeUp,
                         ::testing::Values(NoQuietCase{"AByteInTheSilence",
                                                       [](Tester& t, VirtualClock& c) {
                                                         t.write(kCableDetect);
                                                         c.sleepMs(1'700);
                                                         t.write("x");
                                                       }},
                                           NoQuietCase{"PartOfThePacket",
                                                       [](Tester& t, VirtualClock&) {
                                                         t.write(kCableDetect.substr(1));
                                                       }},
                                           NoQuietCase{
                                               "TheAddressAlone",
                                               [](Tester& t, VirtualClock&) { t.sendAddress(); }}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The exchange log ---

TEST_F(Mse10Session, LogsEveryBlockAndLinkEvent) {
  std::vector<std::string> lines;
  ecu.setExchangeLog([&lines](const std::string& line) { lines.push_back(line); });
  ecu.setIdentification("HW", "SW", "CU");
  connect();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(
      std::vector<std::string>(lines.begin(), lines.begin() + 5),
      (std::vector<std::string>{"-- woken by its address", "-- confirmation 76 refused",
                                "-- wake-up confirmed", "tx 05 01 F6 48 57 03", "rx 03 02 09 03"}));
  line.setVehiclePower(false);
  EXPECT_EQ(lines.back(), "-- link dropped: power lost");
}

}  // namespace
}  // namespace quorvan::sim::testing
