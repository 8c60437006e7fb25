// The MBE engine management module in a swarm run, on its own lead (no echo).
#include <fmt/format.h>

#include "SwarmFamily.h"
#include "client/Enums.h"
#include "mbe/MbeProtocol.h"
#include "sim/MbeEcu.h"

namespace quorvan::swarm {

namespace {

using Ecu = sim::MbeEcu;

// Two-byte readings, least significant byte first, and a one-byte one; their ranges do
// not overlap, and the one-byte range leaves out the keep-alive byte.
std::vector<ItemSlot> MbeSlots() {
  return {{0x0100, 2, 0x0100, 0x0FFF},
          {0x0110, 2, 0x1000, 0x1FFF},
          {0x0120, 2, 0x2000, 0x2FFF},
          {0x0130, 2, 0x3000, 0xFFFF},
          {0x0140, 1, 0x00, 0x7F}};
}

constexpr std::uint8_t kKeepAliveByte = 0xA5;  // outside every one-byte range
constexpr int kFaultBits = 8;
constexpr std::size_t kCodeLength = 4;  // "C01/"

// A fault code as the client receives it, without its separator: "C01".."C08" for the
// faults present now, "H01".."H08" for the history.
std::string FaultCode(char prefix, int bit) {
  return fmt::format("{}{:02}", prefix, bit + 1);
}

class MbeSwarm final : public SwarmFamily {
 public:
  MbeSwarm(sim::SimLine& line, Rng& rng) : slots_(MbeSlots()), ecu_(line, config(rng)) {
    line.setCable(sim::CableKind::Mbe);  // the module's own lead: no echo
    ecu_.setIdentification("E9A4 V3.12");
    ecu_.storeValue(Ecu::kKeepAliveAddress, kKeepAliveByte, 1);
  }

  const char* name() const override { return "mbe"; }
  std::int32_t device() const override { return ecuMBE; }
  const std::vector<ItemSlot>& slots() const override { return slots_; }
  void setValue(std::size_t slot, std::int64_t value) override {
    ecu_.storeValue(static_cast<std::uint16_t>(slots_[slot].address),
                    static_cast<std::uint32_t>(value), static_cast<std::size_t>(slots_[slot].size));
  }

  // The item reads both fault bytes: the faults present now, then the history.
  std::int32_t faultAddress() const override {
    return (mbe::kCurrentFaultsBit | mbe::kFaultHistoryBit) * mbe::kFaultItemBase;
  }
  // Codes in the order the client receives them; every fault present now is also in the
  // history, as the module keeps it.
  std::vector<std::string> randomFaults(Rng& rng) const override {
    const auto current = static_cast<std::uint8_t>(rng.chance(0.3) ? 0 : rng.between(0, 255));
    const auto history =
        static_cast<std::uint8_t>(current | (rng.chance(0.3) ? 0 : rng.between(0, 255)));
    return codes(current, history);
  }
  void setFaults(const std::vector<std::string>& codes) override {
    std::uint8_t current = 0;
    std::uint8_t history = 0;
    for (const auto& c : codes) {
      const auto bit = static_cast<std::uint8_t>(1U << (std::stoi(c.substr(1)) - 1));
      (c[0] == 'C' ? current : history) |= bit;
    }
    ecu_.setFaultHistory(history);
    ecu_.setCurrentFaults(current);
  }
  std::vector<std::string> faults() const override {
    return codes(ecu_.currentFaults(), ecu_.faultHistory());
  }
  std::string faultText(const std::vector<std::string>& codes) const override {
    std::string text;
    for (const auto& c : codes) text += c + "/";
    return text;
  }

  // The list is two reads, one exchange each: the faults present now, then the history.
  // The world may change the list between them, so each part must be the part of a list
  // the module held in the window, not both parts of the same list.
  bool faultTextHeld(const std::string& text, const History<std::string>& lists,
                     std::uint64_t fromUs, std::uint64_t toUs) const override {
    bool currentHeld = false;
    bool historyHeld = false;
    lists.forEachDuring(fromUs, toUs, [&](const std::string& list) {
      currentHeld = currentHeld || part(list, 'C') == part(text, 'C');
      historyHeld = historyHeld || part(list, 'H') == part(text, 'H');
    });
    return currentHeld && historyHeld && text == part(text, 'C') + part(text, 'H');
  }

  // The answers carry neither header nor checksum, so an answer of the right length is
  // all the server can judge: a byte the line spoils, or stray bytes standing in for a
  // lost answer, are values no server could tell from the module's. Bytes the line
  // drops or delays stay: they change an answer's length or its timing.
  bool canSee(const std::string& lineMisbehaviour) const override {
    return lineMisbehaviour != "corrupted byte" && lineMisbehaviour != "noise";
  }

  // For the same reason the module neither spoils its answers nor adds a byte to them:
  // with a byte the line dropped, a byte more is an answer of the right length.
  std::vector<Misbehaviour> misbehaviours() override {
    return {
        {"silence", [this](Rng& r) { ecu_.injectSilence(anyAddress(), times(r)); }},
        {"truncated answer",
         [this](Rng& r) {
           ecu_.injectTruncatedReply(static_cast<std::size_t>(r.between(0, 1)), anyAddress(),
                                     times(r));
         }},
        {"late answer",
         [this](Rng& r) {
           ecu_.injectLateReply(static_cast<std::uint64_t>(r.between(5, 400)) * 1000, anyAddress(),
                                times(r));
         }},
        {"slow module",
         [this](Rng& r) {
           ecu_.setReplyDelayUs(static_cast<std::uint64_t>(r.between(2, 150)) * 1000);
         }},
        {"reset", [this](Rng&) { ecu_.reset(); }},
    };
  }
  void behave() override {
    ecu_.clearInjections();
    ecu_.setReplyDelayUs(replyDelayUs_);
  }

  // The watchdog looks every 2 s and wakes a quiet link at its next look (or after the
  // read in progress, which holds the next one back for a second when it failed); a
  // wake-up runs the cable tests, waits 0.8 s and reads the identification (0.2 s), and
  // one that fails is tried again about three seconds on. The line may still owe up to
  // three dropped bytes each way and an overrun when the misbehaviour ends, each of which
  // can spoil one wake-up: five tries fit.
  std::uint32_t recoveryBoundMs() const override { return 20'000; }

 private:
  sim::MbeConfig config(Rng& rng) {
    sim::MbeConfig c;
    replyDelayUs_ = static_cast<std::uint64_t>(rng.between(1, 30)) * 1000;
    c.replyDelayUs = replyDelayUs_;
    return c;
  }
  static int anyAddress() { return sim::mbe::kAnyAddress; }
  static int times(Rng& r) { return static_cast<int>(r.between(1, 3)); }

  // The codes of a list text that start with the prefix, in their order.
  static std::string part(const std::string& text, char prefix) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); at += kCodeLength) {
      if (text[at] == prefix) out += text.substr(at, kCodeLength);
    }
    return out;
  }

  static std::vector<std::string> codes(std::uint8_t current, std::uint8_t history) {
    std::vector<std::string> out;
    for (int b = 0; b < kFaultBits; ++b) {
      if ((current >> b & 1) != 0) out.push_back(FaultCode('C', b));
    }
    for (int b = 0; b < kFaultBits; ++b) {
      if ((history >> b & 1) != 0) out.push_back(FaultCode('H', b));
    }
    return out;
  }

  std::vector<ItemSlot> slots_;
  std::uint64_t replyDelayUs_ = 0;
  Ecu ecu_;
};

}  // namespace

std::unique_ptr<SwarmFamily> MakeMbeSwarm(sim::SimLine& line, Rng& rng) {
  return std::make_unique<MbeSwarm>(line, rng);
}

}  // namespace quorvan::swarm
