#pragma once
// One exchange with an MBE module: the address goes out, exactly the expected number of
// reply bytes must come back within 200 ms.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/Variant.h"

namespace quorvan {

class frmCommThread;
struct MbeLink;

// Sends one request, after throwing away whatever the port had received.
void MBESend(frmCommThread& f, MbeLink& m, const std::string& payload);
// Sends the read request for a 16-bit address; throws RunTimeError for any other.
void MBESendRead(frmCommThread& f, MbeLink& m, std::int32_t address);
// Waits for a reply of exactly n bytes; sets timeOut, replyBuffer and activity.
void MBEGetReply(frmCommThread& f, std::size_t n);
// One read of `size` bytes at `address`, decoded for the client; the number 0 when the
// exchange failed (timeOut set).
Variant MBERequestCore(frmCommThread& f, MbeLink& m, std::int32_t address, std::int32_t size);

}  // namespace quorvan
