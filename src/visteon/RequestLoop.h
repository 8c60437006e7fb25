#pragma once
// The sample-rate request loop of the K-line path: one unit of work per tick.
#include <cstdint>

namespace quorvan {

class frmCommThread;
struct VisteonLink;

void NextVisteonRequest(frmCommThread& f, VisteonLink& v);
void DoVisteonCommand(frmCommThread& f, VisteonLink& v, std::int32_t address);
// Byte i (1-based) of the last reply, or -1 when the reply is shorter.
std::int16_t GetReplyByte(const frmCommThread& f, std::int16_t i);
void DoDiagRoutine(frmCommThread& f, VisteonLink& v, std::int16_t routine);
bool DiagCmdWorked(frmCommThread& f);

}  // namespace quorvan
