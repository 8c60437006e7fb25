#pragma once
// The Bosch MSE 1.0 engine controller on the vehicle end of a SimLine, at 9600 bit/s.
//
// Asleep, it waits for its 5-baud address 0x10 (see Mse10Wakeup.h). Then it gives its
// wake-up answer: sync 0x55 and keywords 0x01 0x8A, sent again while no confirmation
// comes, so that a tester that counts six bytes before it confirms gets them. The
// tester confirms with the complement of 0x8A; any other byte is refused and the
// answer starts over after the sync delay (a tester whose first, adaptive
// confirmation is refused takes the new 0x55 as its cue for the standard one).
//
// Confirmed, it sends its three identification blocks (title 0xF6: hardware, software,
// customer) and from then on answers each tester block with one of its own, see
// Mse10Blocks.h for the layout:
//   0x09 acknowledge  the next block of a running answer, else an acknowledge
//   0x01 read memory  0xFE with the bytes at the address, in address order
//   0x07 read faults  one 0xFC block per stored fault (each acknowledged), then 0x09
//   0x05 clear faults 0x09, the list emptied
//   0x13 command      0x09
//   0x38 timing mode  0xDB with its timing byte
//   anything else     NAK 0x0A; after its own NAK it expects the tester's next block
//                     to carry the counter before the NAK's (a repeat)
// It complements each tester byte but the end byte after its complement delay, and
// after each of its own bytes waits for the tester's complement before the next one.
//
// The link drops (back to sleep, a new wake-up needed) when the tester's complement is
// late or wrong, a tester block has a bad length, counter or end byte, the tester sends
// when it should listen, stays silent too long, the line goes into break, or the power
// goes. A tester block that stops half way is forgotten after the byte time-out, so a
// tester that starts it again from its length byte is understood.
//
// The memory image, faults and identification survive all of that.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/EventGroup.h"
#include "sim/Mse10Blocks.h"
#include "sim/SimEcu.h"

namespace quorvan::sim {

struct Mse10Config {
  // Wake-up answer: from the end of the address's stop bit (or a refused confirmation)
  // to the sync byte, between its bytes, and how long it waits for the confirmation
  // before sending it again; it gives up after wakeUpTries answers.
  std::uint64_t syncDelayUs = 300'000;
  std::uint64_t keywordGapUs = 10'000;
  std::uint64_t confirmWindowUs = 50'000;
  int wakeUpTries = 3;
  std::uint64_t identDelayUs = 20'000;  // confirmation to the first identification block
  // Its own timing: a tester byte to its complement, the tester's complement to its next
  // byte, the tester's end byte to its answer.
  std::uint64_t complementDelayUs = 3'000;
  std::uint64_t byteGapUs = 3'000;
  std::uint64_t replyDelayUs = 10'000;
  // What it waits for, from the end of the byte before: the tester's complement, the
  // next byte of a tester block, the tester's next block.
  std::uint64_t complementWindowUs = 50'000;
  std::uint64_t byteTimeoutUs = 50'000;
  std::uint64_t linkTimeoutUs = 1'200'000;
  // Behind a pseudo-terminal: woken by the cable-detect packet and quietUs of silence
  // (the address pattern up to its stop bit) instead of the line levels.
  bool wakeOnQuiet = false;
  std::uint64_t quietUs = 1'800'000;
};

class Mse10Ecu final : public SimEcu {
 public:
  // Three data bytes of a fault-code block; a third byte of 0x80 or more marks a fault
  // that is no longer present.
  using Fault = std::array<std::uint8_t, 3>;
  // Receives one line per block exchanged ("rx ..." from the tester, "tx ..." its own,
  // in hexadecimal) and per link event ("-- ...").
  using ExchangeLog = std::function<void(const std::string&)>;

  enum class Link { Asleep, WakingUp, Linked };
  enum class ComplementFault { Late, Missing, Wrong };
  static constexpr int kAnyTitle = -1;
  static constexpr int kForever = -1;

  explicit Mse10Ecu(SimLine& line, Mse10Config config = {});

  // What it answers with. Identification texts longer than a block holds are cut.
  void setIdentification(std::string_view hardware, std::string_view software,
                         std::string_view customer);
  const std::array<std::string, 3>& identification() const { return ids_; }
  void setMemory(std::uint16_t address, std::string_view bytes);
  // A value as the tester reads a watch item of this size: 1 to 4 bytes, least
  // significant first for a positive size, most significant first for a negative one.
  void storeValue(std::uint16_t address, std::uint32_t value, int size);
  // Bytes never set read as 0; addresses wrap at 0xFFFF.
  std::string memory(std::uint16_t address, std::size_t size) const;
  void clearMemory() { memory_.clear(); }
  void setFaults(std::vector<Fault> faults) { faults_ = std::move(faults); }
  const std::vector<Fault>& faults() const { return faults_; }
  void setTimingValue(std::uint8_t value) { timingValue_ = value; }
  // Read when used: may be changed at any time.
  Mse10Config& config() { return config_; }

  // What it is doing and what it took in.
  Link link() const;
  int wakeUps() const { return wakeUps_; }
  int linkDrops() const { return linkDrops_; }
  const std::string& lastDropReason() const { return lastDropReason_; }
  // Whole blocks: the tester's as heard, its own as sent.
  const std::vector<std::string>& received() const { return received_; }
  const std::vector<std::string>& sent() const { return sent_; }

  // Misbehaviour, switched on at any time.
  // The complements of the next `bytes` tester bytes come lateUs late, not at all, or
  // wrong (one more than the complement).
  void injectComplementFault(ComplementFault kind, int bytes = 1, std::uint64_t lateUs = 0);
  // A NAK instead of the answer to the next `times` tester blocks of this title
  // (kAnyTitle: any; kForever: all of them); the block is not acted on.
  void injectNak(int title = kAnyTitle, int times = 1);
  // In its next block, the byte at `position` and the one after it go out back to back:
  // it does not wait for the first one's complement, only for the second's.
  void injectPairedBytes(std::size_t position = 0);
  // Its next block carries its counter plus offset.
  void injectWrongCounter(std::uint8_t offset = 1);
  // Its next block starts with this length byte (the rest as it should be).
  void injectBadLength(std::uint8_t length);
  // Silent, it drops the link, sends nothing and ignores everything until unsilenced.
  void setSilent(bool silent);
  void clearInjections() { injections_ = {}; }

  void setExchangeLog(ExchangeLog log) { log_ = std::move(log); }

  void onWireByte(const RxByte& byte) override;
  void onLineLevel(bool low, std::uint64_t atUs) override;

 private:
  enum class Phase {
    Asleep,
    WakingUp,   // answering its address, waiting for the confirmation
    Sending,    // one of its blocks
    Receiving,  // a tester block, or waiting for one
    Replying,   // a tester block is in, its answer is due
  };

  struct AddressReading {
    bool active = false;
    std::uint64_t startUs = 0;
    std::vector<LevelChange> changes;
  };
  struct WakeUpAnswer {
    std::size_t sent = 0;  // bytes of the current answer
    int tries = 0;
    bool keywordsSent = false;
  };
  struct Outgoing {
    std::string block;
    std::size_t next = 0;
    std::optional<std::uint8_t> awaiting;  // the complement it waits for
    std::optional<std::size_t> pairAt;
  };
  struct Incoming {
    std::string bytes;
    bool complementDue = false;
  };
  struct Injections {
    std::optional<ComplementFault> complement;
    int complementBytes = 0;
    std::uint64_t lateUs = 0;
    int nakTitle = kAnyTitle;
    int naks = 0;
    std::optional<std::size_t> pairAt;
    std::optional<std::uint8_t> counterOffset;
    std::optional<std::uint8_t> badLength;
  };

  // Waking up (Mse10Ecu.cpp).
  void onPowerLost() override;
  void readAddress();
  bool endsCableDetect(std::uint8_t value);
  void wakeUp(std::uint64_t addressEndUs);
  void startWakeUpAnswer();
  void sendWakeUpByte();
  void onNoConfirmation();
  void onConfirmation(std::optional<std::uint8_t> value);
  void dropLink(const std::string& reason);
  void logLine(const std::string& line) const;
  // Puts fn in the slot, in place of whatever the slot held.
  void schedule(EventGroup::Handle& slot, std::uint64_t delayUs, std::function<void()> fn);

  // The block exchange (Mse10Link.cpp).
  void sendBlock(const std::string& payload);
  void sendNextByte();
  void onComplement(std::uint8_t value);
  void onTesterByte(std::uint8_t value);
  void answerByte(std::uint8_t value);
  void waitForNextByte(std::uint64_t delayUs);
  void waitForBlock(std::uint64_t delayUs);
  void takeBlock(const std::string& block);
  std::optional<ComplementFault> takeComplementFault();

  // Answers (Mse10Answers.cpp).
  std::string answerFor(const std::string& block);
  bool takeNak(std::uint8_t title);
  std::string nextPending();
  std::string readMemory(std::string_view data) const;
  std::string readFaults();

  Mse10Config config_;
  std::array<std::string, 3> ids_;
  std::map<std::uint16_t, std::uint8_t> memory_;
  std::vector<Fault> faults_;
  std::uint8_t timingValue_ = 0x0A;

  Phase phase_ = Phase::Asleep;
  bool silent_ = false;
  AddressReading address_;
  std::string recent_;  // the last bytes heard, for the cable-detect packet
  WakeUpAnswer wakeUp_;
  Outgoing tx_;
  Incoming rx_;
  std::deque<std::string> pending_;  // payloads of the answer still to come
  std::uint8_t nextCounter_ = 1;
  std::uint8_t expectedCounter_ = 0;
  // Its next own action, what it waits for, the address decision, the quiet watch.
  EventGroup::Handle step_ = 0;
  EventGroup::Handle deadline_ = 0;
  EventGroup::Handle addressDecision_ = 0;
  EventGroup::Handle quiet_ = 0;

  Injections injections_;
  int wakeUps_ = 0;
  int linkDrops_ = 0;
  std::string lastDropReason_;
  std::vector<std::string> received_;
  std::vector<std::string> sent_;
  ExchangeLog log_;
};

}  // namespace quorvan::sim
