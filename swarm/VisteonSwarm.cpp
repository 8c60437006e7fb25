// The Visteon controller in a swarm run.
#include <fmt/format.h>

#include <algorithm>
#include <deque>

#include "SwarmFamily.h"
#include "client/Enums.h"
#include "sim/VisteonEcu.h"

namespace quorvan::swarm {

namespace {

constexpr int kAny = sim::visteon::kAnyService;

// Engine speed is two bytes wide, the other readings one; their ranges do not overlap.
std::vector<ItemSlot> VisteonSlots() {
  return {{0x010C, 2, 0x1000, 0xFFFF},
          {0x0105, 1, 0x00, 0x3F},
          {0x010D, 1, 0x40, 0x7F},
          {0x0111, 1, 0x80, 0xBF},
          {0x010F, 1, 0xC0, 0xFF}};
}

class VisteonSwarm final : public SwarmFamily {
 public:
  VisteonSwarm(sim::SimLine& line, Rng& rng) : slots_(VisteonSlots()), ecu_(line, config(rng)) {
    ecu_.setSoftwareId(std::string("\xBE\x1F\xB8\x10", 4));
    ecu_.setExchangeLog([this, &line](const std::string& l) { onExchange(line, l); });
  }

  const char* name() const override { return "visteon"; }
  std::int32_t device() const override { return ecuVisteon; }
  const std::vector<ItemSlot>& slots() const override { return slots_; }
  void setValue(std::size_t slot, std::int64_t value) override {
    ecu_.setPid(static_cast<std::uint8_t>(slots_[slot].address & 0xFF),
                static_cast<std::uint16_t>(value));
  }

  std::int32_t faultAddress() const override { return 0x0300; }
  std::vector<std::string> randomFaults(Rng& rng) const override {
    std::vector<std::string> codes(static_cast<std::size_t>(rng.between(0, 7)));
    for (auto& c : codes) {
      const auto code = static_cast<std::uint16_t>(rng.between(1, 0xFFFF));
      c = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    }
    return codes;
  }
  void setFaults(const std::vector<std::string>& codes) override {
    std::vector<std::uint16_t> list;
    for (const auto& c : codes) {
      list.push_back(static_cast<std::uint16_t>((static_cast<unsigned char>(c[0]) << 8) |
                                                static_cast<unsigned char>(c[1])));
    }
    ecu_.setFaults(std::move(list));
  }
  std::vector<std::string> faults() const override {
    std::vector<std::string> codes;
    for (std::uint16_t code : ecu_.faults()) {
      codes.push_back({static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)});
    }
    return codes;
  }
  std::string faultText(const std::vector<std::string>& codes) const override {
    return TwoByteFaultText(codes);
  }

  std::vector<Misbehaviour> misbehaviours() override {
    return {
        {"busy", [this](Rng& r) { ecu_.injectBusy(kAny, static_cast<int>(r.between(1, 3))); }},
        {"negative",
         [this](Rng& r) {
           ecu_.injectNegative(kAny, static_cast<std::uint8_t>(r.between(0x10, 0x35)));
         }},
        {"silence",
         [this](Rng& r) { ecu_.injectSilence(kAny, static_cast<int>(r.between(1, 4))); }},
        {"late reply",
         [this](Rng& r) {
           ecu_.injectLateReply(kAny, static_cast<std::uint64_t>(r.between(20, 1500)) * 1000);
         }},
        {"garbled reply", [this](Rng& r) { ecu_.injectGarbledReply(kAny, packet(r)); }},
        {"corrupted reply", [this](Rng& r) { ecu_.injectCorruptedReply(kAny, packet(r)); }},
        {"truncated reply",
         [this](Rng& r) {
           ecu_.injectTruncatedReply(kAny, static_cast<std::size_t>(r.between(1, 6)), packet(r));
         }},
        {"reset", [this](Rng&) { ecu_.reset(); }},
        {"reset in a block",
         [this](Rng& r) {
           ecu_.resetAfterTransferPackets(static_cast<std::size_t>(r.between(1, 170)));
         }},
    };
  }
  void behave() override { ecu_.clearInjections(); }

  std::vector<std::int16_t> commands() const override { return {1, 2, 3}; }
  void randomiseCommandResults(Rng& rng) override {
    for (std::uint8_t routine : {0x00, 0x02, 0x03}) {
      ecu_.setRoutineResult(routine,
                            rng.chance(0.7) ? 0 : static_cast<std::uint8_t>(rng.between(1, 255)));
    }
  }
  bool commandRanSince(std::uint64_t us) const override {
    return std::any_of(ran_.begin(), ran_.end(), [&](std::uint64_t at) { return at >= us; });
  }

  std::size_t flashBytes() const override { return ecu_.flash().bytes().size(); }
  std::string flash() const override { return ecu_.flash().bytes(); }
  bool erasing() const override { return ecu_.erasing(); }

  // The watchdog's period, a wake-up and identification, and a pass of the items.
  std::uint32_t recoveryBoundMs() const override { return 15'000; }

 private:
  static sim::VisteonConfig config(Rng& rng) {
    sim::VisteonConfig c;
    c.flashBlocks = static_cast<std::size_t>(rng.between(1, 4));
    c.eraseTimeUs = static_cast<std::uint64_t>(rng.between(200, 5000)) * 1000;
    c.replyDelayUs = static_cast<std::uint64_t>(rng.between(5, 60)) * 1000;
    c.randomSeed = static_cast<std::uint32_t>(rng.between(0, 0xFFFFFFFF));
    return c;
  }
  static std::size_t packet(Rng& r) {
    return r.chance(0.8) ? 0 : static_cast<std::size_t>(r.between(1, 2));
  }

  // A diagnostic routine that the controller ran with success.
  void onExchange(sim::SimLine& line, const std::string& l) {
    for (int routine : {0x00, 0x02, 0x03}) {
      if (l.rfind(fmt::format("31 {:02X} -> 71 {:02X} 00", routine, routine), 0) == 0) {
        ran_.push_back(line.scheduler().nowUs());
      }
    }
  }

  std::vector<ItemSlot> slots_;
  sim::VisteonEcu ecu_;
  std::deque<std::uint64_t> ran_;
};

}  // namespace

std::unique_ptr<SwarmFamily> MakeVisteonSwarm(sim::SimLine& line, Rng& rng) {
  return std::make_unique<VisteonSwarm>(line, rng);
}

}  // namespace quorvan::swarm
