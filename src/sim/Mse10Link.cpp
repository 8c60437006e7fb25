// The block exchange of the MSE 1.0 controller, byte by byte with complements.
#include <utility>

#include "sim/Mse10Ecu.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim {

using mse10::ByteAt;
using mse10::Complement;
using mse10::kBitRate;

namespace {

std::uint64_t framesUs(std::size_t frames) {
  return FramesDurationUs(frames, kBitRate);
}

}  // namespace

void Mse10Ecu::sendBlock(const std::string& payload) {
  std::string block = mse10::MakeBlock(nextCounter_, payload);
  if (const auto offset = std::exchange(injections_.counterOffset, std::nullopt)) {
    block[1] = static_cast<char>(nextCounter_ + *offset);
  }
  if (const auto length = std::exchange(injections_.badLength, std::nullopt)) {
    block[0] = static_cast<char>(*length);
  }
  // After a NAK the tester repeats, with the counter of the block that was refused.
  const std::uint8_t counter = ByteAt(block, 1);
  const bool nak = ByteAt(payload, 0) == mse10::title::kNak;
  expectedCounter_ = static_cast<std::uint8_t>(nak ? counter - 1 : counter + 1);
  sent_.push_back(block);
  phase_ = Phase::Sending;
  tx_ = {block, 0, std::nullopt, std::exchange(injections_.pairAt, std::nullopt)};
  sendNextByte();
}

void Mse10Ecu::sendNextByte() {
  const std::size_t first = tx_.next;
  const std::size_t count = tx_.pairAt == first && first + 1 < tx_.block.size() ? 2 : 1;
  send(tx_.block.substr(first, count));
  tx_.next += count;
  if (tx_.next == tx_.block.size()) {  // the end byte is not answered
    logLine("tx " + visteon::Hex(tx_.block));
    phase_ = Phase::Receiving;
    rx_ = {};
    waitForBlock(framesUs(count));
    return;
  }
  tx_.awaiting = Complement(ByteAt(tx_.block, tx_.next - 1));
  schedule(deadline_, framesUs(count) + config_.complementWindowUs,
           [this] { dropLink("no complement"); });
}

void Mse10Ecu::onComplement(std::uint8_t value) {
  if (!tx_.awaiting) {
    dropLink("byte while it was sending");
    return;
  }
  cancel(deadline_);
  if (value != *tx_.awaiting) {
    dropLink("wrong complement");
    return;
  }
  tx_.awaiting.reset();
  schedule(step_, config_.byteGapUs, [this] { sendNextByte(); });
}

void Mse10Ecu::onTesterByte(std::uint8_t value) {
  if (rx_.complementDue) {
    dropLink("tester did not wait for the complement");
    return;
  }
  cancel(deadline_);
  rx_.bytes.push_back(static_cast<char>(value));
  const std::size_t position = rx_.bytes.size() - 1;
  if (position == 0 && !mse10::ValidLength(value)) {
    dropLink("bad length");
  } else if (position == 1 && value != expectedCounter_) {
    dropLink("wrong counter");
  } else if (position < ByteAt(rx_.bytes, 0)) {
    answerByte(value);
  } else if (value != mse10::kEndByte) {
    dropLink("no end byte");
  } else {
    takeBlock(std::exchange(rx_.bytes, {}));
  }
}

void Mse10Ecu::answerByte(std::uint8_t value) {
  const std::optional<ComplementFault> fault = takeComplementFault();
  if (fault == ComplementFault::Missing) {
    waitForNextByte(config_.complementDelayUs);
    return;
  }
  const std::uint64_t delayUs =
      config_.complementDelayUs + (fault == ComplementFault::Late ? injections_.lateUs : 0);
  const auto complement =
      static_cast<std::uint8_t>(Complement(value) + (fault == ComplementFault::Wrong ? 1 : 0));
  rx_.complementDue = true;
  schedule(step_, delayUs, [this, complement] {
    rx_.complementDue = false;
    send(std::string(1, static_cast<char>(complement)));
    waitForNextByte(framesUs(1));
  });
}

void Mse10Ecu::waitForNextByte(std::uint64_t delayUs) {
  // A tester that gave up on a block starts it again from its length byte.
  schedule(deadline_, delayUs + config_.byteTimeoutUs, [this] {
    logLine("-- unfinished tester block forgotten");
    rx_ = {};
    waitForBlock(0);
  });
}

void Mse10Ecu::waitForBlock(std::uint64_t delayUs) {
  schedule(deadline_, delayUs + config_.linkTimeoutUs, [this] { dropLink("tester silent"); });
}

void Mse10Ecu::takeBlock(const std::string& block) {
  logLine("rx " + visteon::Hex(block));
  received_.push_back(block);
  nextCounter_ = static_cast<std::uint8_t>(ByteAt(block, 1) + 1);
  phase_ = Phase::Replying;
  schedule(step_, config_.replyDelayUs, [this, answer = answerFor(block)] { sendBlock(answer); });
}

std::optional<Mse10Ecu::ComplementFault> Mse10Ecu::takeComplementFault() {
  if (!injections_.complement || injections_.complementBytes == 0) return std::nullopt;
  const ComplementFault kind = *injections_.complement;
  if (injections_.complementBytes > 0 && --injections_.complementBytes == 0) {
    injections_.complement.reset();
  }
  return kind;
}

}  // namespace quorvan::sim
