#pragma once
// Fault-code texts and frame checksums that more than one family uses.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan {

// Four characters, one per nibble, each 48 + the nibble (so 10..15 give : ; < = > ?).
std::string GetOneFaultCode(std::string_view twoBytes);
// The sum of the bytes modulo 256: the checksum that ends a K-line frame.
std::uint8_t Checksum8(std::string_view bytes);

}  // namespace quorvan
