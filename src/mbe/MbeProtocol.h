#pragma once
// What the server reads from an MBE engine management module: a request is a 16-bit
// address, high byte first, and the module answers with the bytes kept there, as many
// as the server expects, with neither header nor checksum, at 4800 bit/s.
#include <cstdint>

namespace quorvan::mbe {

inline constexpr std::uint32_t kBitRate = 4800;

// The identification text: ten bytes, the first of them not part of the name.
inline constexpr std::int32_t kIdAddress = 13;
inline constexpr std::int16_t kIdSize = 10;
// One byte each: the faults present now and every fault seen since the history was
// cleared, one bit per fault (bit 0 is fault 1).
inline constexpr std::int32_t kCurrentFaultsAddress = 211;
inline constexpr std::int32_t kFaultHistoryAddress = 255;
// A byte read only to keep the link alive while no item is watched.
inline constexpr std::int32_t kKeepAliveAddress = 237;

// A watch item at an address of 65536 or more is a fault item: address / 65536 gives
// which fault bytes it reads.
inline constexpr std::int32_t kFaultItemBase = 65536;
inline constexpr std::int32_t kCurrentFaultsBit = 2;
inline constexpr std::int32_t kFaultHistoryBit = 1;

}  // namespace quorvan::mbe
