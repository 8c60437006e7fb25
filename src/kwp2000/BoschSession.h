#pragma once
// The MSE 1.1 session on the KWP2000 link: the request table, one step of the client's
// flash requests per sample-rate tick (ident, init, one chunk of the download, verify,
// abort), the session start with its security access, and the memory reads.
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvan {

class frmCommThread;
struct Kwp2000Link;

inline constexpr std::uint32_t kSessionBitRate = 38400;
// The erase is polled for at most this long before it counts as failed.
inline constexpr std::uint32_t kEraseLimitMs = 60'000;
// The init's wake-up is repeated for at most this long while nothing answers.
inline constexpr std::uint32_t kWakeUpLimitMs = 30'000;
inline constexpr const char* kReadFailed = "Failed!";

void BuildKwpRequests(Kwp2000Link& k);
void NextBoschReq(frmCommThread& f, Kwp2000Link& k);
void BoschIdent(frmCommThread& f, Kwp2000Link& k);
void doBoschInit(frmCommThread& f, Kwp2000Link& k);
void BoschDownload(frmCommThread& f, Kwp2000Link& k);
void BoschVerify(frmCommThread& f, Kwp2000Link& k);
bool BoschSessionStart(frmCommThread& f, Kwp2000Link& k);
std::string ReadEcuMemory(frmCommThread& f, Kwp2000Link& k, std::uint8_t lowAddress,
                          std::uint8_t length);

// Four bytes from the 1-based position, most significant first; 0 when too short.
std::int32_t BytesToLongBE(std::string_view bytes, std::size_t position);
std::string LongToBytesBE(std::int32_t value);
// The last four bytes, least significant first.
std::int32_t LittleEndianValue(std::string_view bytes);

}  // namespace quorvan
