// The Ficht engine management module in a swarm run.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <deque>
#include <set>

#include "History.h"
#include "SwarmFamily.h"
#include "client/Enums.h"
#include "sim/FichtEcu.h"

namespace quorvan::swarm {

namespace {

using Ecu = sim::FichtEcu;
constexpr int kAny = sim::ficht::kAnyAddress;
constexpr std::uint8_t kClearFaults = 2;
constexpr std::int32_t kFaultItemBase = 0x10000;  // a fault item's address: its kind times this
constexpr int kHistoryKind = 1;
constexpr int kCurrentKind = 2;
// The fault list is read in parts, one request each: the four history pages, then the
// bitmap of the current faults.
constexpr std::size_t kHistoryPages = Ecu::kHistoryPages;
constexpr std::size_t kCurrentPart = kHistoryPages;
constexpr std::size_t kParts = kHistoryPages + 1;

// Readings in the module's memory, most significant byte first, one to four bytes wide;
// their ranges do not overlap, and no reading is read where another lies. Four-byte
// values stay below 2^31, which the client receives as they are.
std::vector<ItemSlot> FichtSlots() {
  return {{0x20, 1, 0x00, 0x3F},
          {0x22, 2, 0x1000, 0x7FFF},
          {0x26, 3, 0x010000, 0x7FFFFF},
          {0x2A, 4, 0x01000000, 0x7FFFFFFF},
          {0x30, 1, 0x40, 0xFF}};
}

// A fault code of the world's list: 'H' and a history record's four bytes (fault number,
// count, time high, time low), or 'C' and a current fault's number less one.
std::string HistoryCode(const Ecu::HistoryRecord& r) {
  return {'H', static_cast<char>(r.fault), static_cast<char>(r.count),
          static_cast<char>(r.time >> 8), static_cast<char>(r.time & 0xFF)};
}
std::uint8_t CodeByte(const std::string& code, std::size_t i) {
  return static_cast<std::uint8_t>(code[i]);
}
Ecu::HistoryRecord RecordOf(const std::string& code) {
  return {CodeByte(code, 1), CodeByte(code, 2),
          static_cast<std::uint16_t>(CodeByte(code, 3) << 8 | CodeByte(code, 4))};
}

// What the client receives for the parts of a list: each history record as
// "H012 @1234 #3/", then each current fault in ascending order as "C009/".
std::array<std::string, kParts> PartTexts(const std::vector<std::string>& codes) {
  std::array<std::string, kParts> parts;
  std::size_t record = 0;
  std::set<int> current;
  for (const auto& c : codes) {
    if (c[0] == 'H') {
      const Ecu::HistoryRecord r = RecordOf(c);
      parts[record++ / Ecu::kRecordsPerPage] +=
          fmt::format("H{:03} @{} #{}/", r.fault, r.time, r.count);
    } else {
      current.insert(CodeByte(c, 1) + 1);
    }
  }
  for (const int fault : current) parts[kCurrentPart] += fmt::format("C{:03}/", fault);
  return parts;
}

sim::SimLine& WithFichtCable(sim::SimLine& line) {
  sim::UseFichtCable(line);
  return line;
}

class FichtSwarm final : public SwarmFamily {
 public:
  FichtSwarm(sim::SimLine& line, Rng& rng)
      : slots_(FichtSlots()),
        faultKind_(static_cast<int>(rng.between(kHistoryKind, kHistoryKind | kCurrentKind))),
        ecu_(WithFichtCable(line), config(rng)),
        line_(line) {
    ecu_.setCommandTaken([this](std::uint8_t command) { onCommand(command); });
  }

  const char* name() const override { return "ficht"; }
  std::int32_t device() const override { return ecuFicht; }
  const std::vector<ItemSlot>& slots() const override { return slots_; }
  void setValue(std::size_t slot, std::int64_t value) override {
    ecu_.storeValue(static_cast<std::uint16_t>(slots_[slot].address),
                    static_cast<std::uint32_t>(value), slots_[slot].size);
  }

  // History, current faults or both, as the seed drew it.
  std::int32_t faultAddress() const override { return faultKind_ * kFaultItemBase; }
  std::vector<std::string> randomFaults(Rng& rng) const override {
    std::vector<std::string> codes;
    const auto records =
        rng.between(0, static_cast<std::int64_t>(kHistoryPages * Ecu::kRecordsPerPage));
    for (std::int64_t i = 0; i < records; ++i) {
      codes.push_back(HistoryCode({static_cast<std::uint8_t>(rng.between(1, 255)),
                                   static_cast<std::uint8_t>(rng.between(0, 255)),
                                   static_cast<std::uint16_t>(rng.between(0, 0xFFFF))}));
    }
    const auto current = rng.between(0, 6);
    for (std::int64_t i = 0; i < current; ++i) {
      codes.push_back({'C', static_cast<char>(rng.between(0, Ecu::kMaxFault - 1))});
    }
    return codes;
  }
  void setFaults(const std::vector<std::string>& codes) override {
    std::vector<Ecu::HistoryRecord> history;
    std::set<int> current;
    for (const auto& c : codes) {
      if (c[0] == 'H') {
        history.push_back(RecordOf(c));
      } else {
        current.insert(CodeByte(c, 1) + 1);
      }
    }
    ecu_.setHistory(std::move(history));
    ecu_.setCurrentFaults(std::move(current));
    const auto texts = PartTexts(codes);
    for (std::size_t p = 0; p < kParts; ++p) setPart(p, texts[p]);
  }
  std::vector<std::string> faults() const override {
    std::vector<std::string> codes;
    for (const auto& r : ecu_.history()) codes.push_back(HistoryCode(r));
    for (const int f : ecu_.currentFaults()) codes.push_back({'C', static_cast<char>(f - 1)});
    return codes;
  }
  std::string faultText(const std::vector<std::string>& codes) const override {
    std::string text;
    const auto texts = PartTexts(codes);
    for (std::size_t p = 0; p < kParts; ++p) {
      if (watched(p)) text += texts[p];
    }
    return text;
  }
  // Each part the fault item reads must be one the module held for it in the window.
  bool faultTextHeld(const std::string& text, const History<std::string>& /*lists*/,
                     std::uint64_t fromUs, std::uint64_t toUs) const override {
    return partsMatch(text, 0, 0, fromUs, toUs);
  }
  // A clear empties the current faults; the history stays, as on the module.
  std::optional<bool> faultsClearedDuring(std::uint64_t fromUs, std::uint64_t toUs) const override {
    return parts_[kCurrentPart].heldDuring(std::string(), fromUs, toUs);
  }

  std::vector<Misbehaviour> misbehaviours() override {
    return {
        {"silence",
         [this](Rng& r) { ecu_.injectSilence(kAny, static_cast<int>(r.between(1, 4))); }},
        {"truncated reply",
         [this](Rng& r) {
           ecu_.injectTruncatedReply(kAny, static_cast<std::size_t>(r.between(1, 6)));
         }},
        {"corrupted checksum",
         [this](Rng& r) { ecu_.injectCorruptedChecksum(kAny, static_cast<int>(r.between(1, 3))); }},
        {"nak", [this](Rng& r) { ecu_.injectNak(kAny, static_cast<int>(r.between(1, 3))); }},
        // Its answer comes after the reply window, by up to half a second (with a late byte
        // on the line, 0.8 s): nothing in an answer tells which request it answers, so the
        // server keeps the line quiet for a while after a failed exchange, and an answer
        // later than that could not be told from the answer to the next request.
        {"late reply",
         [this](Rng& r) {
           ecu_.injectLateReply(kAny, static_cast<std::uint64_t>(r.between(20, 500)) * 1000);
         }},
        {"stray byte",
         [this](Rng& r) {
           ecu_.injectStrayByte(
               kAny, r.chance(0.5) ? 0x01 : static_cast<std::uint8_t>(r.between(0, 255)));
         }},
        {"reset on a request", [this](Rng&) { ecu_.injectReset(kAny); }},
        {"reset", [this](Rng&) { ecu_.reset(); }},
    };
  }
  void behave() override { ecu_.clearInjections(); }

  // Command codes 1..255, and -1 for command 0 (other codes are reads of the module).
  std::vector<std::int16_t> commands() const override { return {-1, 1, 2, 7}; }
  // The module takes every command it hears whole; a NAK at the command register stands
  // for a refusal.
  void randomiseCommandResults(Rng& rng) override {
    if (rng.chance(0.2)) ecu_.injectNak(0x66);
  }
  bool commandRanSince(std::uint64_t us) const override {
    return std::any_of(ran_.begin(), ran_.end(), [&](std::uint64_t at) { return at >= us; });
  }

  // The watchdog's next tick may still see activity from before the end, so it starts a
  // new session within two of its 2 s periods; a wake-up waits 0.8 s and makes four
  // reads of at most 0.3 s each. Bytes the line was told to drop before the end are
  // dropped from the next ones that pass, at either end, which can spoil two wake-ups,
  // the watchdog's tries coming about 4 s apart; then one pass of the items, a fault item
  // being five reads, after 1 s of quiet line when an exchange failed.
  std::uint32_t recoveryBoundMs() const override { return 15'000; }

 private:
  static sim::FichtConfig config(Rng& rng) {
    sim::FichtConfig c;
    c.replyDelayUs = static_cast<std::uint64_t>(rng.between(2, 60)) * 1000;
    c.bootTimeUs = static_cast<std::uint64_t>(rng.between(50, 500)) * 1000;
    return c;
  }

  bool watched(std::size_t part) const {
    return (faultKind_ & (part == kCurrentPart ? kCurrentKind : kHistoryKind)) != 0;
  }

  void setPart(std::size_t part, const std::string& text) {
    if (parts_[part].empty() || parts_[part].now() != text) parts_[part].set(nowUs(), text);
  }

  // The text from `at` on is made of parts from `part` on, each one that part held.
  bool partsMatch(const std::string& text, std::size_t at, std::size_t part, std::uint64_t fromUs,
                  std::uint64_t toUs) const {
    if (part == kParts) return at == text.size();
    if (!watched(part)) return partsMatch(text, at, part + 1, fromUs, toUs);
    bool match = false;
    parts_[part].forEachDuring(fromUs, toUs, [&](const std::string& held) {
      match = match || (text.compare(at, held.size(), held) == 0 &&
                        partsMatch(text, at + held.size(), part + 1, fromUs, toUs));
    });
    return match;
  }

  void onCommand(std::uint8_t command) {
    ran_.push_back(nowUs());
    if (command == kClearFaults) setPart(kCurrentPart, {});
  }

  std::uint64_t nowUs() { return line_.scheduler().nowUs(); }

  std::vector<ItemSlot> slots_;
  int faultKind_;
  Ecu ecu_;
  sim::SimLine& line_;
  std::array<History<std::string>, kParts> parts_;
  std::deque<std::uint64_t> ran_;
};

}  // namespace

std::unique_ptr<SwarmFamily> MakeFichtSwarm(sim::SimLine& line, Rng& rng) {
  return std::make_unique<FichtSwarm>(line, rng);
}

}  // namespace quorvan::swarm
