#pragma once
// The MSE 1.0 request scheduler: every complete controller block is answered by one
// block of ours, chosen here in a fixed order of priority.
namespace quorvan {

class frmCommThread;
struct Mse10Link;

// Called by the receive pump right after a controller block has been decoded.
void SendNextRequest(frmCommThread& f, Mse10Link& m);

}  // namespace quorvan
