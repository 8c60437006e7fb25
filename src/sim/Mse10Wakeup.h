#pragma once
// How the MSE 1.0 controller hears that it is called.
//
// On the K-line the tester sends the controller's address at 5 bit/s by holding the
// line low and high (break on and off): start bit, eight data bits least significant
// first, stop bit, 200 ms each. The controller samples the middle of each bit, as a
// slow UART would, and takes the character only when every level change falls near a
// bit boundary: a pattern drawn at another speed, or a break of another length (a
// fast init), is no address at all.
//
// A pseudo-terminal carries no levels. There the tester's cable-detect packet, which
// it sends just before the address, followed by the silence the address takes stands
// for the address.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "sim/SimLine.h"

namespace quorvan::sim::mse10 {

inline constexpr std::uint64_t kFiveBaudBitUs = 200'000;
inline constexpr std::uint64_t kFiveBaudBits = 10;
// How far from a bit boundary a level change may fall.
inline constexpr std::uint64_t kFiveBaudToleranceUs = kFiveBaudBitUs / 4;

inline constexpr std::string_view kCableDetectPacket = "123456789.1234567";

// The character whose start bit began at startUs, read from the level changes since
// then (the first being that fall); nothing when the pattern is no 5-baud character.
std::optional<std::uint8_t> ReadFiveBaudCharacter(std::uint64_t startUs,
                                                  const std::vector<LevelChange>& changes);

}  // namespace quorvan::sim::mse10
