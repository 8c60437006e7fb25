#pragma once
// Turns a complete MSE 1.0 controller block (blockBuf) into what the client sees:
// identification texts, fault codes, data values and clear-faults answers.
namespace quorvan {

class frmCommThread;
struct Mse10Link;

void ShowPacket(frmCommThread& f, Mse10Link& m);

}  // namespace quorvan
