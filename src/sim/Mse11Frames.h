#pragma once
// Frames of KWP2000 on the K-line (ISO 14230), from the controller's side: taking the
// tester's requests off the wire and framing the controller's responses.
//
// A frame is a format byte, then (when the format byte's top bits say so) target and
// source addresses, then (when its length bits are 0) a separate length byte, the data
// (service byte first) and a checksum: the sum of all previous bytes modulo 256.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvan::sim::mse11 {

inline constexpr std::uint8_t kEcuAddress = 0x11;
inline constexpr std::uint8_t kTesterAddress = 0xF1;

// Services the controller knows.
namespace sid {
inline constexpr std::uint8_t kStartSession = 0x10;
inline constexpr std::uint8_t kReadMemory = 0x23;
inline constexpr std::uint8_t kSecurityAccess = 0x27;
inline constexpr std::uint8_t kStartRoutine = 0x31;
inline constexpr std::uint8_t kRoutineResult = 0x33;
inline constexpr std::uint8_t kRequestDownload = 0x34;
inline constexpr std::uint8_t kTransferData = 0x36;
inline constexpr std::uint8_t kTransferExit = 0x37;
inline constexpr std::uint8_t kStartCommunication = 0x81;
inline constexpr std::uint8_t kStopCommunication = 0x82;
inline constexpr std::uint8_t kTimingParameters = 0x83;
inline constexpr std::uint8_t kPositive = 0x40;  // added to the service in its answer
}  // namespace sid

// Negative answers are 7F, the service, then a code (visteon::nrc holds the codes both
// controllers use); this one only the MSE 1.1 gives: the answer follows later.
inline constexpr std::uint8_t kResponsePending = 0x78;

// The whole frame's length from its first bytes (format, and the length byte when the
// format has none); nothing until enough bytes are there to say.
std::optional<std::size_t> StatedFrameLength(std::string_view first);
// The data of a whole frame with a right checksum; nothing otherwise.
std::optional<std::string> FrameData(std::string_view frame);
// A response frame: with addresses (format 0x80 + length) when addressed, else the
// length in the format byte, or in a byte of its own for more than 63 data bytes.
std::string FrameResponse(std::string_view data, bool addressed = false);

}  // namespace quorvan::sim::mse11
