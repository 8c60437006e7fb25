#pragma once
// The Visteon controller's reprogrammable region as the tester, the client and the
// simulated controller all see it: 1 kB blocks from block 33 at 0x1C8000. Its verify
// routine sums the whole region, so an image must fill it.
#include <cstddef>

namespace quorvan {

inline constexpr std::size_t kVisteonFlashBlockSize = 1024;
inline constexpr std::size_t kVisteonRegionBlocks = 64;

}  // namespace quorvan
