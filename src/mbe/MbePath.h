#pragma once
// The MBE session: started by the initialisation, then run by a free-running loop that
// the first sample-rate tick starts.
namespace quorvan {
class frmCommThread;
void StartupMBE(frmCommThread& f);
void MBERequestLoop(frmCommThread& f);
}  // namespace quorvan
