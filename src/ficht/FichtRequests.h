#pragma once
// What the Ficht session asks of the module and hands to the client: watched values,
// fault codes and their history, the client's reads, commands, clear faults and block
// writes.
#include <cstdint>
#include <string>

#include "client/Variant.h"

namespace quorvan {

class frmCommThread;
struct FichtLink;

// Fault item kinds (the watch address divided by 65536).
inline constexpr std::int32_t kFichtHistoryFaults = 1;
inline constexpr std::int32_t kFichtCurrentFaults = 2;

// One read of `size` bytes at `address`, decoded by its size: a number for sizes 1..4,
// an array otherwise. A failed read gives the array {0, 0}.
Variant FichtRequestCore(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t size);
// Polls one watched data item and hands its value to the client.
void FichtDataItem(frmCommThread& f, FichtLink& k, std::int32_t address, std::int32_t size);
// The client's read command: (count * 256 + address); answered with a "FichtData=" note.
void FichtDataRequest(frmCommThread& f, FichtLink& k, std::int32_t code);
// Polls the fault history (kind bit 1) and the current faults (bit 2).
void FichtFaultRequest(frmCommThread& f, FichtLink& k, std::int32_t kind);
// A command to the module; CommandComplete tells whether it took it.
void DoFichtCommand(frmCommThread& f, FichtLink& k, std::int32_t code);
void FichtClearFaults(frmCommThread& f, FichtLink& k);
// The client's FlashWrite on a Ficht module: command byte, address byte, data bytes.
void FichtBlockWrite(frmCommThread& f, FichtLink& k, const std::string& block);
// Sends a write and checks that the module's status confirms it.
bool FichtWriteChecked(frmCommThread& f, FichtLink& k, const std::string& payload);

}  // namespace quorvan
