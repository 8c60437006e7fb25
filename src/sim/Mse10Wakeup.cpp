#include "sim/Mse10Wakeup.h"

#include <algorithm>

namespace quorvan::sim::mse10 {

namespace {

bool nearBitBoundary(std::uint64_t offsetUs) {
  const std::uint64_t intoBit = offsetUs % kFiveBaudBitUs;
  return std::min(intoBit, kFiveBaudBitUs - intoBit) <= kFiveBaudToleranceUs;
}

// The line is high before the start bit and takes the level of each change from then on.
bool lowAt(std::uint64_t atUs, const std::vector<LevelChange>& changes) {
  bool low = false;
  for (const LevelChange& change : changes) {
    if (change.atUs > atUs) break;
    low = change.low;
  }
  return low;
}

}  // namespace

std::optional<std::uint8_t> ReadFiveBaudCharacter(std::uint64_t startUs,
                                                  const std::vector<LevelChange>& changes) {
  const std::uint64_t endUs = startUs + kFiveBaudBits * kFiveBaudBitUs;
  for (const LevelChange& change : changes) {
    if (change.atUs < startUs || change.atUs > endUs) return std::nullopt;
    if (!nearBitBoundary(change.atUs - startUs)) return std::nullopt;
  }
  const auto sample = [&](std::uint64_t bit) {
    return !lowAt(startUs + bit * kFiveBaudBitUs + kFiveBaudBitUs / 2, changes);
  };
  if (sample(0) || !sample(kFiveBaudBits - 1)) return std::nullopt;  // start low, stop high
  std::uint8_t character = 0;
  for (std::uint64_t bit = 0; bit < 8; ++bit) {
    if (sample(bit + 1)) character |= static_cast<std::uint8_t>(1U << bit);
  }
  return character;
}

}  // namespace quorvan::sim::mse10
