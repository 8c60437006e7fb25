#pragma once
// The MSE 1.0 receive pump: runs inside the receive event, answers each controller byte
// with its complement and assembles the controller's blocks.
namespace quorvan {
class frmCommThread;
void DataPump(frmCommThread& form);
}  // namespace quorvan
