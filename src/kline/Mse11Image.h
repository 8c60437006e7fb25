#pragma once
// The MSE 1.1 controller's reprogrammable image as the tester, the client and the
// simulated controller all see it: its size, the chunk each transfer carries and the
// 32-bit checksum the verify routine compares.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvan {

inline constexpr std::size_t kMse11ImageSize = 63232;  // 0xF700 bytes from address 0
inline constexpr std::size_t kMse11ChunkSize = 250;    // data bytes of one transfer

// The 32-bit sum of every byte of the image.
constexpr std::uint32_t Mse11ImageChecksum(std::string_view image) {
  std::uint32_t sum = 0;
  for (const char c : image) sum += static_cast<unsigned char>(c);
  return sum;
}

}  // namespace quorvan
