#include "sim/Frames.h"

#include <algorithm>

namespace quorvan::sim {

namespace {

constexpr std::uint64_t kUsPerSecond = 1'000'000;

// Level of a sender's frame `bit` bit times after its start: start bit low, data
// bits least significant first, then the stop bit and the idle line, both high.
bool SenderLevel(std::uint8_t value, std::uint64_t bit) {
  if (bit == 0) return false;
  if (bit <= 8) return ((value >> (bit - 1)) & 1U) != 0;
  return true;
}

// Which of the sender's bits is on the line at the centre of the receiver's bit `slot`.
std::uint64_t SenderBitAtSlot(std::uint64_t slot, std::uint32_t senderRate,
                              std::uint32_t receiverRate) {
  return (2 * slot + 1) * std::uint64_t{senderRate} / (2 * std::uint64_t{receiverRate});
}

}  // namespace

std::uint64_t FramesDurationUs(std::uint64_t frames, std::uint32_t bitRate) {
  const std::uint64_t bitUs = frames * kBitsPerFrame * kUsPerSecond;
  return (bitUs + bitRate - 1) / bitRate;
}

bool RatesMatch(std::uint32_t senderRate, std::uint32_t receiverRate) {
  const std::uint64_t diff =
      senderRate > receiverRate ? senderRate - receiverRate : receiverRate - senderRate;
  return diff * 100 <= std::uint64_t{receiverRate} * 3;
}

RxByte DecodeFrame(std::uint8_t onWire, std::uint32_t senderRate, std::uint32_t receiverRate,
                   std::uint64_t atUs) {
  RxByte rx;
  rx.atUs = atUs;
  if (RatesMatch(senderRate, receiverRate)) {
    rx.value = onWire;
    return rx;
  }
  rx.rateMatched = false;
  for (std::uint64_t slot = 1; slot <= 8; ++slot) {
    if (SenderLevel(onWire, SenderBitAtSlot(slot, senderRate, receiverRate))) {
      rx.value = static_cast<std::uint8_t>(rx.value | (1U << (slot - 1)));
    }
  }
  rx.framingError = !SenderLevel(onWire, SenderBitAtSlot(9, senderRate, receiverRate));
  return rx;
}

FrameSlot FrameTransmitter::next(std::uint64_t nowUs, std::uint32_t bitRate) {
  const bool joinsBurst = bitRate == rate_ && freeAtUs_ > nowUs && gapUs_ == 0;
  if (!joinsBurst) {
    originUs_ = std::max(nowUs, freeAtUs_) + gapUs_;
    count_ = 0;
    rate_ = bitRate;
    gapUs_ = 0;
  }
  FrameSlot slot{originUs_ + FramesDurationUs(count_, rate_),
                 originUs_ + FramesDurationUs(count_ + 1, rate_)};
  ++count_;
  freeAtUs_ = slot.endUs;
  return slot;
}

void FrameTransmitter::reset(std::uint64_t nowUs) {
  freeAtUs_ = std::min(freeAtUs_, nowUs);
  count_ = 0;
  gapUs_ = 0;
}

}  // namespace quorvan::sim
