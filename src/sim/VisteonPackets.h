#pragma once
// Packets of the Visteon K-line protocol, from the controller's side: taking the tester's
// requests off the wire and framing the controller's replies.
//
// A packet is a format byte, target, source, data (service byte then parameters) and a
// checksum (sum of all previous bytes modulo 256). General format bytes carry the packet
// length less one in the high nibble and 4 in the low one; the tester also uses fixed
// format bytes (0x44, 0x54) whatever the length, and SAE J1979 requests use 0x68 with
// the functional target 0x6A, so a request's end cannot always be read from its header.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvan::sim::visteon {

inline constexpr std::uint8_t kEngineAddress = 0x10;
inline constexpr std::uint8_t kTesterAddress = 0xF1;
inline constexpr std::uint8_t kSaeRequestFormat = 0x68;
inline constexpr std::uint8_t kSaeRequestTarget = 0x6A;
inline constexpr std::uint8_t kSaeReplyFormat = 0x48;
inline constexpr std::uint8_t kSaeReplyTarget = 0x6B;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kMinPacket = 5;   // header, one data byte, checksum
inline constexpr std::size_t kMaxPacket = 16;  // what a length nibble can say

// Services the controller knows.
namespace sid {
inline constexpr std::uint8_t kCurrentData = 0x01;
inline constexpr std::uint8_t kFreezeFrame = 0x02;
inline constexpr std::uint8_t kStoredFaults = 0x03;
inline constexpr std::uint8_t kClearFaults = 0x04;
inline constexpr std::uint8_t kStartDiagnostic = 0x10;
inline constexpr std::uint8_t kStopDiagnostic = 0x20;
inline constexpr std::uint8_t kSecurityAccess = 0x27;
inline constexpr std::uint8_t kStartRoutine = 0x31;
inline constexpr std::uint8_t kStopRoutine = 0x32;
inline constexpr std::uint8_t kRequestDownload = 0x34;
inline constexpr std::uint8_t kRequestUpload = 0x35;
inline constexpr std::uint8_t kTransferData = 0x36;
inline constexpr std::uint8_t kTransferExit = 0x37;
inline constexpr std::uint8_t kPing = 0xA0;
inline constexpr std::uint8_t kPositive = 0x40;  // added to the service in its positive reply
}  // namespace sid

// Routines started with 0x31 and stopped (their result read) with 0x32.
namespace routine {
inline constexpr std::uint8_t kPrepare = 0xA0;
inline constexpr std::uint8_t kErase = 0xA1;
inline constexpr std::uint8_t kBlockCheck = 0xA2;
inline constexpr std::uint8_t kVerify = 0xA3;
}  // namespace routine

// Negative answers are 7F, the service, then one of these codes.
namespace nrc {
inline constexpr std::uint8_t kNegativeResponse = 0x7F;
inline constexpr std::uint8_t kServiceNotSupported = 0x11;
inline constexpr std::uint8_t kSubFunctionNotSupported = 0x12;
inline constexpr std::uint8_t kBusyRepeatRequest = 0x21;
inline constexpr std::uint8_t kConditionsNotCorrect = 0x22;
inline constexpr std::uint8_t kRoutineNotComplete = 0x23;
inline constexpr std::uint8_t kSequenceError = 0x24;
inline constexpr std::uint8_t kOutOfRange = 0x31;
inline constexpr std::uint8_t kSecurityAccessDenied = 0x33;
inline constexpr std::uint8_t kInvalidKey = 0x35;
}  // namespace nrc

std::string Bytes(std::initializer_list<int> values);
inline std::uint8_t ByteAt(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}
// A positive answer: the service plus 0x40, then the rest.
std::string Positive(std::uint8_t service, std::string_view rest = {});
std::uint8_t Checksum(std::string_view bytes);
// Upper-case hexadecimal pairs separated by blanks ("41 0C 1A F8").
std::string Hex(std::string_view bytes);

// The packet length a general format byte states, 0 when the byte is not one.
std::size_t StatedLength(std::uint8_t format);
// True when bytes are exactly one packet whose format byte states its length and whose
// checksum is right.
bool IsWholeGeneralPacket(std::string_view bytes);

struct Request {
  std::string data;  // service byte then parameters
  bool sae = false;  // an SAE J1979 service, functionally addressed
};

// The request in one heard packet; nothing when the checksum, the addresses or the
// addressing mode for its service are wrong.
std::optional<Request> DecodeRequest(std::string_view packet);

// Cuts the bytes heard up to a pause on the line into packets: by their stated lengths
// when that accounts for every byte with right checksums (packets sent back to back),
// else as one packet with a fixed format byte. Empty when neither reading works.
std::vector<std::string> SplitPackets(std::string_view heard);

// 48 6B 10, data, checksum.
std::string FrameSaeReply(std::string_view data);
// General format byte, F1 10, data (1 to 12 bytes), checksum.
std::string FrameReply(std::string_view data);

}  // namespace quorvan::sim::visteon
