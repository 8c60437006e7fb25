#pragma once
// Timing and decoding of UART frames: start bit, eight data bits least significant
// first, one stop bit, i.e. ten bit times per byte.
#include <cstdint>

namespace quorvan::sim {

inline constexpr std::uint64_t kBitsPerFrame = 10;

// A byte as a receiver takes it off the wire.
struct RxByte {
  std::uint8_t value = 0;
  std::uint64_t atUs = 0;     // end of its frame
  bool rateMatched = true;    // the receiver was set to the sender's bit rate
  bool framingError = false;  // the stop bit was sampled low
  bool decoded() const { return rateMatched && !framingError; }
};

// Microseconds from the start of a burst of back-to-back frames to the end of the
// first `frames` of them. Rounded up: a byte is never complete before its stop bit
// ends. Always computed from the burst's origin, so long runs do not drift.
std::uint64_t FramesDurationUs(std::uint64_t frames, std::uint32_t bitRate);

// Receivers decode within 3 % of the sender's rate, which a real UART tolerates.
bool RatesMatch(std::uint32_t senderRate, std::uint32_t receiverRate);

// What a receiver set to receiverRate makes of a frame sent at senderRate. Matching
// rates give the byte itself. Otherwise the receiver samples the sender's waveform
// at the centres of its own bit times (after the frame the line idles high), which
// gives a deterministic garbage byte, and a framing error when the stop-bit sample
// is low.
RxByte DecodeFrame(std::uint8_t onWire, std::uint32_t senderRate, std::uint32_t receiverRate,
                   std::uint64_t atUs);

// Where one frame sits in time.
struct FrameSlot {
  std::uint64_t startUs = 0;
  std::uint64_t endUs = 0;
};

// A sender's shift register: bytes go out one after another at its bit rate. Bytes
// handed over while it is still busy join the running burst without a gap.
class FrameTransmitter {
 public:
  FrameSlot next(std::uint64_t nowUs, std::uint32_t bitRate);
  // The next byte starts this much later than it otherwise would (a late byte).
  void delayNext(std::uint64_t gapUs) { gapUs_ += gapUs; }
  // Forgets whatever was still queued (the sender lost power).
  void reset(std::uint64_t nowUs);
  std::uint64_t idleAtUs() const { return freeAtUs_; }

 private:
  std::uint64_t originUs_ = 0;
  std::uint64_t count_ = 0;
  std::uint32_t rate_ = 0;
  std::uint64_t freeAtUs_ = 0;
  std::uint64_t gapUs_ = 0;
};

}  // namespace quorvan::sim
