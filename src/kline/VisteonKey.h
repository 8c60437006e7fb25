#pragma once
// The seed-to-key function of the Visteon controllers' security access.
//
// The real controllers' function is not known to us. This is our own stand-in with the
// same inputs and outputs: one key byte per seed byte, each also depending on the random
// byte sent with the prepare request and on the fifth reply byte of the seed answer.
// A real controller needs its own function here; it is the one place to replace (the
// simulated controller checks keys with this same function).
#include <cstdint>

namespace quorvan {

constexpr std::uint8_t KeyFromSeed(std::uint8_t seedByte, std::uint8_t random, std::uint8_t salt) {
  const auto mixed = static_cast<std::uint8_t>((seedByte ^ 0x5A) + random);
  const auto rotated = static_cast<std::uint8_t>((mixed << 3) | (mixed >> 5));
  return static_cast<std::uint8_t>(rotated ^ salt ^ 0xC3);
}

}  // namespace quorvan
