#pragma once
// The Ficht session: started by the initialisation, then run by a free-running loop that
// the first sample-rate tick starts.
namespace quorvan {
class frmCommThread;
void StartupFicht(frmCommThread& f);
void FichtRequestLoop(frmCommThread& f);
}  // namespace quorvan
