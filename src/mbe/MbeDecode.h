#pragma once
// What the bytes of the MBE link mean, as pure functions: the read request for an
// address, a reply as the value the client receives, and a fault byte as fault codes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "client/Variant.h"

namespace quorvan::mbe {

// The two request bytes for a 16-bit address, high byte first; nothing for an address
// outside 0..65535.
std::optional<std::string> ReadRequest(std::int32_t address);

// A whole reply as the client's value: one byte as an unsigned number, two bytes as a
// 16-bit number sent low byte first, longer replies as their bytes.
Variant ReplyValue(std::string_view reply);

// The fault codes of a fault byte, bit 0 first: "C" (current) or "H" (history), the
// fault number in two digits and "/". A current byte 0x05 gives "C01/C03/".
std::string ExtractMBEFaults(std::int32_t bits, bool isCurrent);

}  // namespace quorvan::mbe
