#pragma once
// The KWP2000 link on the K-line (ISO 14230): the fast-init wake-up at 10400 bit/s, the
// framing of requests, the echo every byte makes on the single wire, the three response
// formats and the repeats the negative answers 0x21, 0x23 and 0x78 ask for.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan {

class frmCommThread;
struct Kwp2000Link;

// Results of an exchange.
inline constexpr std::int32_t kIsoPositive = 1;
inline constexpr std::int32_t kIsoNegative = 2;    // a negative answer not repeated
inline constexpr std::int32_t kIsoNoReply = 3;     // no, short or malformed response
inline constexpr std::int32_t kIsoAbandoned = -1;  // abort after a failed echo

// Repeats of one exchange (time-outs of the result requests, busy and pending answers)
// end after this long with kIsoNoReply: a controller that answers "busy" for ever does
// not hold the line for ever.
inline constexpr std::uint32_t kIsoRepeatLimitMs = 15'000;

inline constexpr std::uint32_t kFastInitBitRate = 10400;

// The frame the sender writes for a request (checksum included).
std::string FrameIsoRequest(const Kwp2000Link& k, const std::string& request,
                            std::int32_t checksum);

// Where a response frame's data lie, from its first byte.
struct IsoReplyLayout {
  std::size_t total = 0;      // bytes of the whole frame, checksum included
  std::size_t dataStart = 0;  // 0-based offset of the first data byte
  std::size_t length() const { return total - dataStart - 1; }
};
// For a format 0x00 frame the length byte (the second) must be there too.
IsoReplyLayout ReplyLayout(std::string_view firstBytes);

void PresetTimingParams(Kwp2000Link& k);
void DoFastInit(frmCommThread& f);
std::int32_t IsoSendCommand(frmCommThread& f, Kwp2000Link& k, const std::string& request);
void IsoSendFrame(frmCommThread& f, Kwp2000Link& k, const std::string& request);
bool isoWaitForEchoback(frmCommThread& f, Kwp2000Link& k);
bool IsoReadReply(frmCommThread& f, Kwp2000Link& k);
void WaitForBytes(frmCommThread& f, const Kwp2000Link& k, std::size_t n);
// The negative-response code of a 7F response, else minus its first byte.
std::int16_t IsoResponseCode(const std::string& replyBuffer);
// 1 positive, 0 repeat (a retry code), 2 refused.
std::int32_t IsoResultOf(const Kwp2000Link& k, std::int16_t code);

}  // namespace quorvan
