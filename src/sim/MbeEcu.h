#pragma once
// The MBE engine management module on the vehicle end of a SimLine, at 4800 bit/s.
//
// The tester reads its memory: two bytes, an address high byte first, and the module
// answers after its reply delay with the bytes kept from that address on, low byte
// first for numbers. How many bytes depends on the address alone (one unless a wider
// value lives there); there is no header and no checksum. A first address byte whose
// second does not follow within the request gap is forgotten, and so are bytes it
// cannot decode.
//
// Its memory holds the identification text (ten bytes at 13), the current fault byte
// (211) and the fault history (255), one bit per fault, and a byte at 237 that the
// tester reads to keep the link alive; the rest is what the tests and the simulator
// store. A reset or a power loss drops the answers on their way and a half-heard
// request, and the module is deaf while it boots; the memory survives.
//
// Its lead to the server has separate send and receive wires: use it with the line's
// cable set to CableKind::Mbe, which does not echo the server's bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "sim/EventGroup.h"
#include "sim/RequestRules.h"
#include "sim/SimEcu.h"

namespace quorvan::sim {

namespace mbe {

inline constexpr int kAnyAddress = kAnyRequest;
inline constexpr int kForever = kForeverRule;

// What the module does wrong with a read, when told to.
struct Misbehaviour {
  enum class Kind {
    Silent,     // no answer at all
    Truncated,  // the answer stops after `keep` bytes
    Corrupted,  // the answer's last byte is spoilt on the way (xor `mask`); the link has
                // no checksum that could tell
    Extra,      // the answer carries one byte more than the read asks for
    Late,       // the answer starts `lateUs` later than usual
  };
  Kind kind = Kind::Silent;
  std::size_t keep = 0;
  std::uint8_t mask = 0;
  std::uint64_t lateUs = 0;
};

}  // namespace mbe

struct MbeConfig {
  std::uint64_t replyDelayUs = 2'000;   // from the request's second byte to the answer
  std::uint64_t requestGapUs = 10'000;  // the longest pause inside a request
  std::uint64_t bootTimeUs = 100'000;   // deaf after a reset or a power-up
};

class MbeEcu final : public SimEcu {
 public:
  static constexpr std::uint32_t kBitRate = 4800;
  static constexpr std::uint16_t kIdAddress = 13;
  static constexpr std::size_t kIdSize = 10;
  static constexpr std::uint16_t kCurrentFaultsAddress = 211;
  static constexpr std::uint16_t kKeepAliveAddress = 237;
  static constexpr std::uint16_t kFaultHistoryAddress = 255;

  // Receives one line per request heard, e.g. "00 D3 -> 05" or "00 D3 -> (no answer)".
  using ExchangeLog = std::function<void(const std::string&)>;

  explicit MbeEcu(SimLine& line, MbeConfig config = {});

  // The memory image. A value of `size` bytes (1..4), low byte first; a read of its
  // address answers with all of them.
  void storeValue(std::uint16_t address, std::uint32_t value, std::size_t size);
  // Bytes from an address on; a read of that address answers with all of them.
  void storeBytes(std::uint16_t address, std::string_view bytes);
  std::string memory(std::uint16_t address, std::size_t size) const;
  // How many bytes a read of the address answers with.
  std::size_t readSize(std::uint16_t address) const;
  // Ten bytes, blank-padded or cut.
  void setIdentification(std::string_view text);
  // The faults present now; each of them also enters the history.
  void setCurrentFaults(std::uint8_t bits);
  void setFaultHistory(std::uint8_t bits);
  std::uint8_t currentFaults() const { return image_[kCurrentFaultsAddress]; }
  std::uint8_t faultHistory() const { return image_[kFaultHistoryAddress]; }

  void setReplyDelayUs(std::uint64_t us) { config_.replyDelayUs = us; }

  // Misbehaviour, switched on at any time. address: one address or mbe::kAnyAddress;
  // times: a count or mbe::kForever.
  void injectSilence(int address = mbe::kAnyAddress, int times = 1);
  void injectTruncatedReply(std::size_t keepBytes, int address = mbe::kAnyAddress, int times = 1);
  void injectCorruptedReply(std::uint8_t xorMask, int address = mbe::kAnyAddress, int times = 1);
  void injectExtraByte(int address = mbe::kAnyAddress, int times = 1);
  void injectLateReply(std::uint64_t lateUs, int address = mbe::kAnyAddress, int times = 1);
  void clearInjections() { rules_.clear(); }
  // The module restarts: what it was answering is lost, and it is deaf while it boots.
  void reset();

  // What it has done.
  std::size_t readsHeard() const { return readsHeard_; }
  int restarts() const { return restarts_; }
  bool booting() { return nowUs() < awakeAtUs_; }

  void setExchangeLog(ExchangeLog log) { log_ = std::move(log); }

  void onWireByte(const RxByte& byte) override;

 private:
  void onPowerLost() override;
  void onPowerRestored() override;
  void forgetExchanges();
  void serve(std::uint16_t address);
  void log(std::uint16_t address, const std::string& answer);

  MbeConfig config_;
  EventGroup replies_;
  std::array<std::uint8_t, 0x10000> image_{};
  std::map<std::uint16_t, std::size_t> readSizes_;
  RequestRules<mbe::Misbehaviour> rules_;  // by address
  std::optional<RxByte> firstByte_;        // of the request being heard
  std::uint64_t awakeAtUs_ = 0;
  std::size_t readsHeard_ = 0;
  int restarts_ = 0;
  ExchangeLog log_;
};

}  // namespace quorvan::sim
