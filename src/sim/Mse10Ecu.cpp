#include "sim/Mse10Ecu.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "sim/Mse10Wakeup.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim {

using mse10::ByteAt;
using mse10::Complement;
using mse10::kBitRate;
using mse10::kFiveBaudBits;
using mse10::kFiveBaudBitUs;

namespace {

constexpr std::array<std::uint8_t, 3> kWakeUpAnswer = {mse10::kSync, mse10::kKeyword1,
                                                       mse10::kKeyword2};

std::string fitted(std::string_view text) {
  return std::string(text.substr(0, std::min(text.size(), mse10::kMaxData)));
}

std::string hexByte(std::uint8_t value) {
  return visteon::Hex(std::string(1, static_cast<char>(value)));
}

}  // namespace

Mse10Ecu::Mse10Ecu(SimLine& line, Mse10Config config)
    : SimEcu(line, kBitRate),
      config_(config),
      ids_{"0261204130", "1037350421", "QUORVAN SIM"},
      faults_{{0x01, 0x23, 0x05}, {0x02, 0x21, 0x85}} {}

void Mse10Ecu::setIdentification(std::string_view hardware, std::string_view software,
                                 std::string_view customer) {
  ids_ = {fitted(hardware), fitted(software), fitted(customer)};
}

void Mse10Ecu::setMemory(std::uint16_t address, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    memory_[static_cast<std::uint16_t>(address + i)] = ByteAt(bytes, i);
  }
}

void Mse10Ecu::storeValue(std::uint16_t address, std::uint32_t value, int size) {
  const int count = std::clamp(std::abs(size), 1, 4);
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  if (size < 0) std::reverse(bytes.begin(), bytes.end());
  setMemory(address, bytes);
}

std::string Mse10Ecu::memory(std::uint16_t address, std::size_t size) const {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    const auto it = memory_.find(static_cast<std::uint16_t>(address + i));
    bytes.push_back(static_cast<char>(it == memory_.end() ? 0 : it->second));
  }
  return bytes;
}

Mse10Ecu::Link Mse10Ecu::link() const {
  switch (phase_) {
    case Phase::Asleep:
      return Link::Asleep;
    case Phase::WakingUp:
      return Link::WakingUp;
    default:
      return Link::Linked;
  }
}

void Mse10Ecu::injectComplementFault(ComplementFault kind, int bytes, std::uint64_t lateUs) {
  injections_.complement = kind;
  injections_.complementBytes = bytes;
  injections_.lateUs = lateUs;
}

void Mse10Ecu::injectNak(int title, int times) {
  injections_.nakTitle = title;
  injections_.naks = times;
}

void Mse10Ecu::injectPairedBytes(std::size_t position) {
  injections_.pairAt = position;
}

void Mse10Ecu::injectWrongCounter(std::uint8_t offset) {
  injections_.counterOffset = offset;
}

void Mse10Ecu::injectBadLength(std::uint8_t length) {
  injections_.badLength = length;
}

void Mse10Ecu::setSilent(bool silent) {
  silent_ = silent;
  if (!silent) return;
  dropLink("silenced");
  cancel(addressDecision_);
  cancel(quiet_);
  address_ = {};
  recent_.clear();
}

void Mse10Ecu::onPowerLost() {
  // Every scheduled action is gone already.
  address_ = {};
  recent_.clear();
  dropLink("power lost");
}

void Mse10Ecu::onWireByte(const RxByte& byte) {
  if (silent_) return;
  if (config_.wakeOnQuiet && endsCableDetect(byte.value)) return;
  switch (phase_) {
    case Phase::Asleep:
      return;
    case Phase::WakingUp:
      onConfirmation(byte.decoded() ? std::optional(byte.value) : std::nullopt);
      return;
    default:
      break;
  }
  if (!byte.decoded()) {
    dropLink("garbled byte");
  } else if (phase_ == Phase::Sending) {
    onComplement(byte.value);
  } else if (phase_ == Phase::Receiving) {
    onTesterByte(byte.value);
  } else {
    dropLink("byte while it was to answer");
  }
}

void Mse10Ecu::onLineLevel(bool low, std::uint64_t atUs) {
  if (silent_ || config_.wakeOnQuiet) return;
  if (address_.active) {
    address_.changes.push_back({low, atUs});
    return;
  }
  if (!low) return;
  // A break is the tester calling a controller: whatever was going on is over.
  dropLink("break on the line");
  address_ = {true, atUs, {{true, atUs}}};
  const std::uint64_t stopBitMiddleUs = atUs + kFiveBaudBits * kFiveBaudBitUs - kFiveBaudBitUs / 2;
  schedule(addressDecision_, stopBitMiddleUs - nowUs(), [this] { readAddress(); });
}

void Mse10Ecu::readAddress() {
  address_.active = false;
  const std::optional<std::uint8_t> address =
      mse10::ReadFiveBaudCharacter(address_.startUs, address_.changes);
  if (!address) {
    logLine("-- no 5-baud address in the break pattern");
  } else if (*address != mse10::kAddress) {
    logLine("-- address " + hexByte(*address) + " is not its own");
  } else {
    wakeUp(address_.startUs + kFiveBaudBits * kFiveBaudBitUs);
  }
}

bool Mse10Ecu::endsCableDetect(std::uint8_t value) {
  recent_.push_back(static_cast<char>(value));
  if (recent_.size() > mse10::kCableDetectPacket.size()) recent_.erase(0, 1);
  cancel(quiet_);  // any byte breaks the silence
  if (recent_ != mse10::kCableDetectPacket) return false;
  recent_.clear();
  dropLink("cable-detect packet");
  // The silence stands for the address up to its stop bit.
  schedule(quiet_, config_.quietUs, [this] { wakeUp(nowUs() + kFiveBaudBitUs); });
  return true;
}

void Mse10Ecu::wakeUp(std::uint64_t addressEndUs) {
  ++wakeUps_;
  logLine("-- woken by its address");
  phase_ = Phase::WakingUp;
  wakeUp_ = {};
  schedule(step_, addressEndUs + config_.syncDelayUs - nowUs(), [this] { startWakeUpAnswer(); });
}

void Mse10Ecu::startWakeUpAnswer() {
  wakeUp_.sent = 0;
  sendWakeUpByte();
}

void Mse10Ecu::sendWakeUpByte() {
  send(std::string(1, static_cast<char>(kWakeUpAnswer[wakeUp_.sent])));
  const std::uint64_t frameUs = FramesDurationUs(1, kBitRate);
  if (++wakeUp_.sent < kWakeUpAnswer.size()) {
    schedule(step_, frameUs + config_.keywordGapUs, [this] { sendWakeUpByte(); });
    return;
  }
  wakeUp_.keywordsSent = true;
  schedule(deadline_, frameUs + config_.confirmWindowUs, [this] { onNoConfirmation(); });
}

void Mse10Ecu::onNoConfirmation() {
  if (++wakeUp_.tries >= config_.wakeUpTries) {
    dropLink("no confirmation");
    return;
  }
  startWakeUpAnswer();
}

void Mse10Ecu::onConfirmation(std::optional<std::uint8_t> value) {
  if (!wakeUp_.keywordsSent) return;  // nothing to confirm yet
  cancel(step_);
  cancel(deadline_);
  const bool afterKeyword = wakeUp_.sent == kWakeUpAnswer.size();
  if (!afterKeyword || value != Complement(mse10::kKeyword2)) {
    logLine("-- confirmation " + (value ? hexByte(*value) : std::string("??")) + " refused");
    wakeUp_ = {};
    schedule(step_, config_.syncDelayUs, [this] { startWakeUpAnswer(); });
    return;
  }
  logLine("-- wake-up confirmed");
  phase_ = Phase::Replying;
  nextCounter_ = 1;
  pending_.clear();
  for (const std::string& id : ids_) {
    pending_.push_back(mse10::Payload(mse10::title::kIdentification, id));
  }
  schedule(step_, config_.identDelayUs, [this, first = nextPending()] { sendBlock(first); });
}

void Mse10Ecu::dropLink(const std::string& reason) {
  if (phase_ == Phase::Asleep) return;
  cancel(step_);
  cancel(deadline_);
  phase_ = Phase::Asleep;
  wakeUp_ = {};
  tx_ = {};
  rx_ = {};
  pending_.clear();
  ++linkDrops_;
  lastDropReason_ = reason;
  logLine("-- link dropped: " + reason);
}

void Mse10Ecu::logLine(const std::string& line) const {
  if (log_) log_(line);
}

void Mse10Ecu::schedule(EventGroup::Handle& slot, std::uint64_t delayUs, std::function<void()> fn) {
  cancel(slot);
  slot = after(delayUs, std::move(fn));
}

}  // namespace quorvan::sim
