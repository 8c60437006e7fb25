#pragma once
// Numbers the Ficht and MBE modules send most significant byte first.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvan {

// The number in `length` bytes of `bytes` from byte `start` (1-based), first byte most
// significant, mapped into the signed range (0xFFFFFFFF gives -1). 0 when the bytes do
// not reach that far; no byte (length 0) gives 0 as well.
std::int32_t ExtractLong(std::string_view bytes, std::size_t start, std::size_t length);

}  // namespace quorvan
