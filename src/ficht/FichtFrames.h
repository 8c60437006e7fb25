#pragma once
// The frames of a Ficht module and what their bytes say, as pure functions of bytes.
//
// Request: 0x01, payload, checksum. Reply: 0x01, count (or status), data, checksum. The
// checksum is the sum of the frame's bytes before it, modulo 256. Bit 7 of the payload's
// first byte marks a write; a write's reply is one status byte (0x80: refused).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvan {

inline constexpr char kFichtLead = '\x01';
inline constexpr std::uint8_t kFichtNak = 0x80;
// The most bytes one read asks for, or one write carries (the count byte's low 7 bits).
inline constexpr int kFichtMaxCount = 127;
// The module's command register: a command c is the two bytes c, 0x01 written there.
inline constexpr std::uint8_t kFichtCommandAddress = 0x66;
// Command 0 writes one byte 0x00 to the register after it.
inline constexpr std::uint8_t kFichtCommandZeroAddress = 0x67;
inline constexpr std::uint8_t kFichtClearFaultsCommand = 2;

// The whole request frame of a payload.
std::string FichtFrame(std::string_view payload);
// Read `count` bytes at `address`, high address byte first.
std::string FichtReadPayload(std::int32_t address, std::int32_t count);
// Command `code`: 1..255 write code, 0x01 to the command register; 0 writes 0x00 after it.
std::string FichtCommandPayload(std::int32_t code);
// Write `data` (at most kFichtMaxCount bytes) at the 8-bit address.
std::string FichtWritePayload(std::uint8_t address, std::string_view data);

// The checks of a received reply: `received` is everything that came (its first byte must
// be the lead byte), `reply` the bytes cut out after the lead (count or status and data).
// A single byte is a status; otherwise the count byte must give the reply's length, and
// the byte after the reply must be the checksum of the lead and the reply.
bool FichtReplyValid(std::string_view received, std::string_view reply);

// A read's reply (count byte and data) decoded by the size asked for: sizes 1..4 one
// number; 6 two 3-byte numbers; any other size size/4 (rounded, halves to even) 4-byte
// numbers, those past the reply 0. Numbers are most significant byte first.
std::vector<std::int32_t> DecodeFichtRead(std::string_view reply, int size);
// True when that size gives a single number rather than an array.
constexpr bool FichtSizeIsNumber(int size) {
  return size < 5;
}

// The fault history codes of eight 32-bit records (fault number, count, 16-bit time):
// "H012 @1234 #3/" for each record whose fault number is not 0. Fewer than eight
// records (a failed read) give nothing.
std::string ExtractFichtHistoric(const std::vector<std::int32_t>& records);
// The current fault codes of a 32-byte bitmap reply (count byte first): bit b of data byte
// k stands for fault k * 8 + b + 1, written "C009/".
std::string ExtractFichtCurrent(std::string_view reply);

}  // namespace quorvan
