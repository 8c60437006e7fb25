#pragma once
// Small formatting operations of the K-line replies (hex dumps are PktToHex in
// trace/Text.h).
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvan {

// Two upper-case hex digits, always: 0x05 gives "05".
std::string Hex2(std::uint8_t intByte);
// Maps an unsigned 32-bit reading into the signed range of the client interface:
// 4294967295 gives -1. Rounds to the nearest integer, ties to even.
std::int32_t UnsignedToLong(double value);
// The text without its NUL characters.
std::string CleanStr(std::string_view source);
// A byte string from byte values: Bytes({0x01, 0x0C}).
std::string Bytes(std::initializer_list<int> values);
// The code (0..255) of byte i (1-based) of bytes, or -1 when bytes is shorter.
std::int16_t ByteAt(std::string_view bytes, std::size_t i);

// A number from `length` bytes of `reply` starting at byte `start` (1-based), the first
// byte most significant, mapped into the signed range as UnsignedToLong does; 0 when the
// reply is too short to hold them.
std::int32_t ExtractLong(std::string_view reply, std::size_t start, std::size_t length);

}  // namespace quorvan
