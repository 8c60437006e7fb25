#pragma once
// Loop-back tests that recognise the adapter cables of other families, so a session is
// not started over the wrong cable.
namespace quorvan {
class frmCommThread;
// The Ficht cable loops RTS back to CTS, and DTR to both DSR and CD.
bool FichtCableTest(frmCommThread& f);
// The smart cable loops DTR back to DSR.
bool SmartCableTest(frmCommThread& f);
}  // namespace quorvan
