#pragma once
// Blocks of the MSE 1.0 K-line protocol, from the controller's side. Both ends use the
// same layout: length (the bytes that follow, end byte included: 3 to 15), counter
// (the previous block's + 1, whoever sent it), title, data, end byte 0x03. The
// receiver answers every byte but the end byte with its complement before the sender
// goes on.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan::sim::mse10 {

inline constexpr std::uint32_t kBitRate = 9600;
inline constexpr std::uint8_t kAddress = 0x10;  // its 5-baud address

// The wake-up answer: sync byte and the two keywords. The tester confirms with the
// complement of the second keyword.
inline constexpr std::uint8_t kSync = 0x55;
inline constexpr std::uint8_t kKeyword1 = 0x01;
inline constexpr std::uint8_t kKeyword2 = 0x8A;

inline constexpr std::uint8_t kEndByte = 0x03;
inline constexpr std::size_t kMinLength = 3;
inline constexpr std::size_t kMaxLength = 15;
inline constexpr std::size_t kMaxData = kMaxLength - 3;  // less counter, title, end byte

namespace title {
inline constexpr std::uint8_t kReadMemory = 0x01;  // data: size, address high, low
inline constexpr std::uint8_t kClearFaults = 0x05;
inline constexpr std::uint8_t kReadFaults = 0x07;
inline constexpr std::uint8_t kAck = 0x09;
inline constexpr std::uint8_t kNak = 0x0A;
inline constexpr std::uint8_t kCommand = 0x13;
inline constexpr std::uint8_t kTimingMode = 0x38;
inline constexpr std::uint8_t kSingleByte = 0xDB;
inline constexpr std::uint8_t kIdentification = 0xF6;
inline constexpr std::uint8_t kFaultCode = 0xFC;
inline constexpr std::uint8_t kMemoryData = 0xFE;
}  // namespace title

inline std::uint8_t Complement(std::uint8_t b) {
  return static_cast<std::uint8_t>(0xFF - b);
}
inline std::uint8_t ByteAt(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}
inline bool ValidLength(std::uint8_t length) {
  return length >= kMinLength && length <= kMaxLength;
}

// A block's title followed by its data.
std::string Payload(std::uint8_t title, std::string_view data = {});
// The whole block around a payload; data beyond kMaxData is cut.
std::string MakeBlock(std::uint8_t counter, std::string_view payload);
// Title and data of a whole block.
std::string PayloadOf(std::string_view block);

}  // namespace quorvan::sim::mse10
