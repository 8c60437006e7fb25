#pragma once
// Reprogramming a Visteon controller's flash memory, one step per sample-rate tick:
// init (presence, prepare, unlock, erase or calibration text), one 1 kB block per write
// request, verify; an abort returns controller and server to idle.
#include <cstdint>
#include <string>

namespace quorvan {

class frmCommThread;
struct VisteonLink;

// The first flash block lives at 0x1C80 (units of 256 bytes); each block adds 4.
inline constexpr std::int32_t kFirstFlashBase = 0x1C80;
inline constexpr std::size_t kTransferChunk = 6;
inline constexpr int kTransferChunks = 171;

void BuildVisteonRequests(VisteonLink& v);
void doFlashInit(frmCommThread& f, VisteonLink& v);
void DoBlockWrite(frmCommThread& f, VisteonLink& v);
void DoFlashVerify(frmCommThread& f, VisteonLink& v);
void ReadCalText(frmCommThread& f, VisteonLink& v);
std::string ExtractCalText(const std::string& uploaded);
bool IsBlankBlock(const std::string& data);
// Block number in the trace: the block at 0x1C80 is block 33.
std::int32_t FlashBlockNumber(std::int32_t flashBase);

}  // namespace quorvan
