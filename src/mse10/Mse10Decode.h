#pragma once
// What a complete MSE 1.0 controller block says, as pure functions of its bytes: the
// title and data, identification texts, fault codes and memory values. The receive side
// (ShowPacket) calls these and raises the client's events.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/Variant.h"

namespace quorvan::mse10 {

// Length, counter and title come before the data, the end byte after it.
struct BlockParts {
  std::uint8_t title = 0;
  std::string_view data;
};
// Nothing for a block shorter than its three header bytes.
std::optional<BlockParts> SplitBlock(std::string_view block);

// An identification text: NULs removed, then the blanks around it.
std::string IdentificationText(std::string_view data);

// One fault code as the client sees it: "C" (current) or "H" (historic, flagged in the
// third byte) and six hex digits, then "/". Nothing when the data is too short.
std::optional<std::string> FaultCodeText(std::string_view data);

// A memory reading for an item of the given size: up to four bytes as a number (a
// positive size reads the first byte as least significant, zero or a negative size as
// most significant), longer readings as the bytes themselves.
Variant MemoryValue(std::string_view data, std::int16_t itemSize);

}  // namespace quorvan::mse10
