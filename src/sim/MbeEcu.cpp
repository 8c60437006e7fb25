#include "sim/MbeEcu.h"

#include <algorithm>

#include "kline/Format.h"
#include "trace/Text.h"

namespace quorvan::sim {

namespace {

using Kind = mbe::Misbehaviour::Kind;

constexpr std::size_t kLongestValue = 4;
constexpr std::uint8_t kExtraByte = 0x00;

// The module's own values, as a running engine would show them.
constexpr std::uint16_t kEngineSpeedAddress = 0x40;  // 2 bytes, low byte first
constexpr std::uint16_t kThrottleAddress = 0x42;
constexpr std::uint16_t kCoolantAddress = 0x43;
constexpr std::uint16_t kIntakeAirAddress = 0x44;

}  // namespace

MbeEcu::MbeEcu(SimLine& line, MbeConfig config)
    : SimEcu(line, kBitRate), config_(config), replies_(line.scheduler()) {
  setIdentification("E9A4 V3.12");
  storeValue(kEngineSpeedAddress, 0x1770, 2);  // 1500 rpm in quarters
  storeValue(kThrottleAddress, 0x1C, 1);
  storeValue(kCoolantAddress, 0x78, 1);
  storeValue(kIntakeAirAddress, 0x44, 1);
  storeValue(kKeepAliveAddress, 0x5A, 1);
  setCurrentFaults(0x05);
  setFaultHistory(0x85);
}

void MbeEcu::storeValue(std::uint16_t address, std::uint32_t value, std::size_t size) {
  std::string bytes;
  for (std::size_t i = 0; i < std::clamp<std::size_t>(size, 1, kLongestValue); ++i) {
    bytes.push_back(static_cast<char>(value >> (8 * i)));
  }
  storeBytes(address, bytes);
}

void MbeEcu::storeBytes(std::uint16_t address, std::string_view bytes) {
  const std::size_t fits = std::min(bytes.size(), image_.size() - address);
  for (std::size_t i = 0; i < fits; ++i) {
    image_[address + i] = static_cast<std::uint8_t>(bytes[i]);
  }
  readSizes_[address] = std::max<std::size_t>(fits, 1);
}

std::string MbeEcu::memory(std::uint16_t address, std::size_t size) const {
  std::string bytes;
  for (std::size_t i = address; i < image_.size() && bytes.size() < size; ++i) {
    bytes.push_back(static_cast<char>(image_[i]));
  }
  return bytes;
}

std::size_t MbeEcu::readSize(std::uint16_t address) const {
  const auto it = readSizes_.find(address);
  return it == readSizes_.end() ? 1 : it->second;
}

void MbeEcu::setIdentification(std::string_view text) {
  std::string id(text.substr(0, kIdSize));
  id.resize(kIdSize, ' ');
  storeBytes(kIdAddress, id);
}

void MbeEcu::setCurrentFaults(std::uint8_t bits) {
  image_[kCurrentFaultsAddress] = bits;
  image_[kFaultHistoryAddress] |= bits;
}

void MbeEcu::setFaultHistory(std::uint8_t bits) {
  image_[kFaultHistoryAddress] = bits;
}

void MbeEcu::injectSilence(int address, int times) {
  rules_.add(address, {.kind = Kind::Silent}, times);
}

void MbeEcu::injectTruncatedReply(std::size_t keepBytes, int address, int times) {
  rules_.add(address, {.kind = Kind::Truncated, .keep = keepBytes}, times);
}

void MbeEcu::injectCorruptedReply(std::uint8_t xorMask, int address, int times) {
  rules_.add(address, {.kind = Kind::Corrupted, .mask = xorMask}, times);
}

void MbeEcu::injectExtraByte(int address, int times) {
  rules_.add(address, {.kind = Kind::Extra}, times);
}

void MbeEcu::injectLateReply(std::uint64_t lateUs, int address, int times) {
  rules_.add(address, {.kind = Kind::Late, .lateUs = lateUs}, times);
}

void MbeEcu::reset() {
  forgetExchanges();
  ++restarts_;
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void MbeEcu::onPowerLost() {
  forgetExchanges();
  ++restarts_;
}

void MbeEcu::onPowerRestored() {
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void MbeEcu::forgetExchanges() {
  replies_.cancelAll();
  firstByte_.reset();
}

void MbeEcu::onWireByte(const RxByte& byte) {
  if (booting()) return;
  if (!byte.decoded()) {
    firstByte_.reset();
    return;
  }
  if (!firstByte_ || byte.atUs - firstByte_->atUs > config_.requestGapUs) {
    firstByte_ = byte;
    return;
  }
  const auto address = static_cast<std::uint16_t>(firstByte_->value << 8 | byte.value);
  firstByte_.reset();
  serve(address);
}

void MbeEcu::serve(std::uint16_t address) {
  ++readsHeard_;
  std::string answer = memory(address, readSize(address));
  std::uint64_t delayUs = config_.replyDelayUs;
  if (const auto what = rules_.take(address)) {
    switch (what->kind) {
      case Kind::Silent:
        log(address, "(no answer)");
        return;
      case Kind::Truncated:
        answer.resize(std::min(answer.size(), what->keep));
        break;
      case Kind::Corrupted:
        answer.back() = static_cast<char>(answer.back() ^ what->mask);
        break;
      case Kind::Extra:
        answer.push_back(static_cast<char>(kExtraByte));
        break;
      case Kind::Late:
        delayUs += what->lateUs;
        break;
    }
  }
  log(address, PktToHex(answer));
  replies_.after(delayUs, [this, answer] { send(answer); });
}

void MbeEcu::log(std::uint16_t address, const std::string& answer) {
  if (log_) log_(PktToHex(Bytes({address >> 8, address & 0xFF})) + "-> " + answer);
}

}  // namespace quorvan::sim
