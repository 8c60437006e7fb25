// The MSE 1.0 controller in a swarm run.
#include "SwarmFamily.h"
#include "client/Enums.h"
#include "mse10/Mse10Decode.h"
#include "sim/Mse10Ecu.h"

namespace quorvan::swarm {

namespace {

using Ecu = sim::Mse10Ecu;

// Two-byte readings, least significant byte first, and a one-byte one; their ranges do
// not overlap.
std::vector<ItemSlot> Mse10Slots() {
  return {{0x0100, 2, 0x0100, 0x0FFF},
          {0x0110, 2, 0x1000, 0x1FFF},
          {0x0120, 2, 0x2000, 0x2FFF},
          {0x0130, 2, 0x3000, 0x7FFF},
          {0x0140, 1, 0x00, 0xFF}};
}

class Mse10Swarm final : public SwarmFamily {
 public:
  Mse10Swarm(sim::SimLine& line, Rng& rng) : slots_(Mse10Slots()), ecu_(line, config(rng)) {
    ecu_.setIdentification("0261204123", "1037359426", "MSE 1.0");
  }

  const char* name() const override { return "mse10"; }
  std::int32_t device() const override { return ecuMSE10; }
  const std::vector<ItemSlot>& slots() const override { return slots_; }
  void setValue(std::size_t slot, std::int64_t value) override {
    ecu_.storeValue(static_cast<std::uint16_t>(slots_[slot].address),
                    static_cast<std::uint32_t>(value), slots_[slot].size);
  }

  std::int32_t faultAddress() const override { return 0; }
  std::vector<std::string> randomFaults(Rng& rng) const override {
    std::vector<std::string> codes(static_cast<std::size_t>(rng.between(0, 5)));
    for (auto& c : codes) c = rng.bytes(3);
    return codes;
  }
  void setFaults(const std::vector<std::string>& codes) override {
    std::vector<Ecu::Fault> list;
    for (const auto& c : codes) {
      list.push_back({static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]),
                      static_cast<std::uint8_t>(c[2])});
    }
    ecu_.setFaults(std::move(list));
  }
  std::vector<std::string> faults() const override {
    std::vector<std::string> codes;
    for (const auto& f : ecu_.faults()) {
      codes.push_back({static_cast<char>(f[0]), static_cast<char>(f[1]), static_cast<char>(f[2])});
    }
    return codes;
  }
  std::string faultText(const std::vector<std::string>& codes) const override {
    std::string text;
    for (const auto& c : codes) text += mse10::FaultCodeText(c).value_or("");
    return text;
  }

  std::vector<Misbehaviour> misbehaviours() override {
    return {
        {"late complement",
         [this](Rng& r) {
           ecu_.injectComplementFault(Ecu::ComplementFault::Late, 1,
                                      static_cast<std::uint64_t>(r.between(5, 200)) * 1000);
         }},
        {"missing complement",
         [this](Rng& r) {
           ecu_.injectComplementFault(Ecu::ComplementFault::Missing,
                                      static_cast<int>(r.between(1, 3)));
         }},
        {"wrong complement",
         [this](Rng&) { ecu_.injectComplementFault(Ecu::ComplementFault::Wrong); }},
        {"nak",
         [this](Rng& r) { ecu_.injectNak(Ecu::kAnyTitle, static_cast<int>(r.between(1, 3))); }},
        {"paired bytes",
         [this](Rng& r) { ecu_.injectPairedBytes(static_cast<std::size_t>(r.between(0, 4))); }},
        {"wrong counter",
         [this](Rng& r) { ecu_.injectWrongCounter(static_cast<std::uint8_t>(r.between(1, 255))); }},
        {"bad length",
         [this](Rng& r) { ecu_.injectBadLength(static_cast<std::uint8_t>(r.between(0, 255))); }},
    };
  }
  void behave() override { ecu_.clearInjections(); }

  // A wake-up at 5 baud takes about three seconds and may be refused twice.
  std::uint32_t recoveryBoundMs() const override { return 20'000; }

 private:
  static sim::Mse10Config config(Rng& rng) {
    sim::Mse10Config c;
    c.replyDelayUs = static_cast<std::uint64_t>(rng.between(2, 30)) * 1000;
    return c;
  }

  std::vector<ItemSlot> slots_;
  Ecu ecu_;
};

}  // namespace

std::unique_ptr<SwarmFamily> MakeMse10Swarm(sim::SimLine& line, Rng& rng) {
  return std::make_unique<Mse10Swarm>(line, rng);
}

}  // namespace quorvan::swarm
