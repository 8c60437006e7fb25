#pragma once
// One request and its reply on the Ficht module's line. A failed exchange (no reply in
// time, a NAK, or a reply that is not a valid frame) leaves timeOut set.
#include <cstdint>
#include <string>

namespace quorvan {

class frmCommThread;
struct FichtLink;

// The time a reply has to come whole, from the request.
inline constexpr std::uint32_t kFichtReplyMs = 300;
// The text a read gives while the exchanges of the identification are failing.
inline constexpr const char* kFichtTimedOutText = "000000=TimedOut";

// Frames and sends one request; nothing is sent on a closed port.
void FichtSend(frmCommThread& f, FichtLink& k, const std::string& payload);
void FichtSendRead(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t count);
void FichtSendCommand(frmCommThread& f, FichtLink& k, std::int32_t code);
// Waits for a reply of n bytes after the lead byte (checksum not counted) and cuts them
// out into replyBuffer. Whatever came is consumed, so that no later exchange reads it.
void FichtGetReply(frmCommThread& f, FichtLink& k, std::size_t n);
// A read of the identification: its data bytes, or kFichtTimedOutText once an exchange
// has failed (nothing more is sent then until timeOut is cleared).
std::string FichtReadText(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t count);

}  // namespace quorvan
