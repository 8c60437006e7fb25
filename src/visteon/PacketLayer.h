#pragma once
// Request/response packets on the K-line at 10400 bit/s (Visteon controllers and the
// identification at initialisation): a three-byte header, the request, a checksum; the
// single-wire line echoes every byte sent, then the controller's reply follows.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan {

class frmCommThread;
struct VisteonLink;

// Results of an exchange.
inline constexpr std::int32_t kExchangeOk = 1;
inline constexpr std::int32_t kExchangeRefused = 2;  // negative reply
inline constexpr std::int32_t kExchangeNoReply = 3;  // no, short or malformed reply

// Negative response code: the routine has not finished yet (counts as success).
inline constexpr std::int16_t kRoutineNotComplete = 0x23;

// How many times a "busy, repeat request" answer is honoured before the exchange is
// given up as refused.
inline constexpr int kMaxBusyRepeats = 20;

// Header bytes for a request (its first byte is the service id).
std::string FrameHeader(const std::string& request, bool flashActive);
// The complete packet: header, request, checksum.
std::string FramePacket(const std::string& request, bool flashActive);
// Reply packet length from its first byte (and the request for SAE J1979 replies);
// 0 when the packet is malformed.
int ReplyPacketLength(std::uint8_t firstByte, const std::string& lastRequest);

// The reply is the controller's answer to this request: its positive answer (the
// service plus 0x40; for current and freeze-frame data also the same PID) or a refusal of
// this service (7F and the service). Anything else is a late or stray reply to another
// request and says nothing about this one.
bool AnswersRequest(std::string_view reply, std::string_view request);
// The controller's positive answer to the request (not a refusal).
bool IsPositiveAnswer(std::string_view reply, std::string_view request);

std::int32_t SendCommand(frmCommThread& f, VisteonLink& v, const std::string& request,
                         bool noReply = false);
void BuildAndSendPacket(frmCommThread& f, VisteonLink& v, const std::string& request);
// Waits until blockBuf holds n bytes or the reply bound has passed (timeOut).
void WaitForInput(frmCommThread& f, VisteonLink& v, std::size_t n);
// The same, with the bound counted from start.
void WaitForInputSince(frmCommThread& f, VisteonLink& v, std::size_t n, std::uint32_t start);
void WaitForEchoback(frmCommThread& f, VisteonLink& v);
// Reads one reply packet into replyBuffer; false (nothing left of it in blockBuf) when it
// did not come whole within the bound or was malformed.
bool WaitForReply(frmCommThread& f, VisteonLink& v);
std::int16_t ResponseCode(const frmCommThread& f);
int ResponseResult(std::int16_t code);
bool CheckConnection(frmCommThread& f);

}  // namespace quorvan
