// The MSE 1.1 controller in a swarm run. The server reads no live data from it: its
// work is identification and the reflash of the whole image over KWP2000.
#include <string>

#include "SwarmFamily.h"
#include "client/Enums.h"
#include "kline/Mse11Image.h"
#include "sim/Mse11Ecu.h"

namespace quorvan::swarm {

namespace {

using Ecu = sim::Mse11Ecu;
using Misbehave = sim::visteon::Misbehaviour;

constexpr int kAny = sim::visteon::kAnyService;
constexpr std::size_t kCustomerSize = 10;

// The server polls nothing on this family, so nothing may ever arrive for these slots;
// their ranges differ all the same, so a value that did arrive would be judged.
std::vector<ItemSlot> Mse11Slots() {
  return {{0x03E7, 1, 0x00, 0x7F}, {0x03F1, 2, 0x1000, 0xFFFF}};
}

class Mse11Swarm final : public SwarmFamily {
 public:
  Mse11Swarm(sim::SimLine& line, Rng& rng) : slots_(Mse11Slots()), ecu_(line, config(rng)) {
    for (std::size_t i = 0; i < kCustomerSize; ++i) {
      customer_.push_back(static_cast<char>(rng.between('A', 'Z')));
    }
    hardware_ = static_cast<std::uint32_t>(rng.between(1, 0xFFFFFF));
    ecu_.setIdentification(customer_, hardware_);
    ecu_.loadFlash(rng.bytes(kMse11ImageSize));  // a program is in it before any reflash
  }

  const char* name() const override { return "mse11"; }
  std::int32_t device() const override { return ecuMSE11; }
  const std::vector<ItemSlot>& slots() const override { return slots_; }
  // The controller's readings are not served on this path: the world's value changes
  // only in the truth, against which any delivery would be judged.
  void setValue(std::size_t /*slot*/, std::int64_t /*value*/) override {}

  // Nor are its faults: the list lives in the model, so that a fault list or a clear
  // reported done by the server is judged against a list it could not have read.
  std::int32_t faultAddress() const override { return 0x0300; }
  std::vector<std::string> randomFaults(Rng& rng) const override {
    std::vector<std::string> codes(static_cast<std::size_t>(rng.between(1, 5)));
    for (auto& c : codes) c = rng.bytes(2);
    return codes;
  }
  void setFaults(const std::vector<std::string>& codes) override { faults_ = codes; }
  std::vector<std::string> faults() const override { return faults_; }
  std::string faultText(const std::vector<std::string>& codes) const override {
    return TwoByteFaultText(codes);
  }

  std::vector<Misbehaviour> misbehaviours() override {
    return {
        {"busy", [this](Rng& r) { negative(r, 0x21); }},
        {"routine not complete", [this](Rng& r) { negative(r, 0x23); }},
        {"pending without answer", [this](Rng& r) { negative(r, 0x78); }},
        {"negative",
         [this](Rng& r) { negative(r, static_cast<std::uint8_t>(r.between(0x10, 0x35))); }},
        {"silence", [this](Rng& r) { ecu_.inject(kAny, Misbehave::silent(), times(r)); }},
        {"late reply",
         [this](Rng& r) {
           ecu_.inject(kAny,
                       Misbehave::late(static_cast<std::uint64_t>(r.between(20, 1500)) * 1000));
         }},
        {"truncated reply",
         [this](Rng& r) {
           ecu_.inject(kAny, Misbehave::truncated(static_cast<std::size_t>(r.between(1, 6))));
         }},
        {"corrupted reply",
         [this](Rng& r) {
           Misbehave what{Misbehave::Kind::Corrupted};
           what.packet = static_cast<std::size_t>(r.between(0, 3));  // data byte from the end
           ecu_.inject(kAny, what);
         }},
        {"wrong key", [this](Rng&) { ecu_.injectWrongKey(); }},
        {"reset", [this](Rng&) { ecu_.reset(); }},
        {"reset in the download",
         [this](Rng& r) { ecu_.resetAfterTransfers(static_cast<std::size_t>(r.between(1, 253))); }},
    };
  }
  void behave() override { ecu_.clearInjections(); }

  std::size_t flashBytes() const override { return ecu_.flash().size(); }
  std::string flash() const override { return ecu_.flash(); }
  bool erasing() const override { return ecu_.erasing(); }
  // Chunks of the block size, the last one shorter: 252 of 250 bytes and one of 232.
  std::vector<FlashWrite> flashWrites(const std::string& image,
                                      std::size_t blockSize) const override {
    std::vector<FlashWrite> writes;
    for (std::size_t at = 0; blockSize > 0 && at < image.size(); at += blockSize) {
      writes.push_back({at, image.substr(at, blockSize)});
    }
    return writes;
  }
  std::int32_t verifySum(const std::string& image) const override {
    return static_cast<std::int32_t>(Mse11ImageChecksum(image));
  }

  bool pollsItems() const override { return false; }
  std::string identity() const override {
    return std::to_string(hardware_) + "/Worked/" + customer_;
  }
  // The link wakes only for a client's flash request: between requests the
  // initialisation leaves it waiting at ecuInitializing, and a controller that answers
  // after a lost cable was reported is ecuCableDetected. ecuCommOK is never reported on
  // this path.
  bool settled(std::int32_t status) const override {
    return status == ecuInitializing || status == ecuCableDetected;
  }

  // The flash step under way when the misbehaviour ends finishes within the exchange's
  // repeat limit (15 s); the abort's re-initialisation then takes a second or two, and
  // an identification (wake-up, session, unlock, two reads) about two seconds more.
  std::uint32_t recoveryBoundMs() const override { return 30'000; }

 private:
  static sim::Mse11Config config(Rng& rng) {
    sim::Mse11Config c;
    c.replyDelayUs = static_cast<std::uint64_t>(rng.between(2, 40)) * 1000;
    c.erasePendingUs = static_cast<std::uint64_t>(rng.between(50, 1500)) * 1000;
    c.eraseTimeUs = static_cast<std::uint64_t>(rng.between(200, 8000)) * 1000;
    c.verifyTimeUs = static_cast<std::uint64_t>(rng.between(50, 1500)) * 1000;
    c.bootTimeUs = static_cast<std::uint64_t>(rng.between(50, 500)) * 1000;
    c.randomSeed = static_cast<std::uint32_t>(rng.between(0, 0xFFFFFFFF));
    return c;
  }
  static int times(Rng& r) { return static_cast<int>(r.between(1, 3)); }
  void negative(Rng& r, std::uint8_t code) {
    ecu_.inject(kAny, Misbehave::negative(code), times(r));
  }

  std::vector<ItemSlot> slots_;
  Ecu ecu_;
  std::string customer_;
  std::uint32_t hardware_ = 0;
  std::vector<std::string> faults_;
};

}  // namespace

std::unique_ptr<SwarmFamily> MakeMse11Swarm(sim::SimLine& line, Rng& rng) {
  return std::make_unique<Mse11Swarm>(line, rng);
}

}  // namespace quorvan::swarm
