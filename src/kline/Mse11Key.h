#pragma once
// The seed-to-key function of the MSE 1.1 controllers' security access.
//
// The real controllers' function is not known to us. This is our own stand-in with the
// same inputs and outputs: a 32-bit key from the 32-bit seed the controller sends. A
// real controller needs its own function here; it is the one place to replace (the
// simulated controller checks keys with this same function).
#include <cstdint>

namespace quorvan {

constexpr std::uint32_t KeyFromSeed(std::uint32_t seed) {
  std::uint32_t key = seed ^ 0x5A3C96E1U;
  key = (key << 7) | (key >> 25);
  key += 0x1F2E3D4CU;
  key ^= key >> 13;
  key *= 0x9E3779B1U;
  return key ^ (key >> 16);
}

}  // namespace quorvan
