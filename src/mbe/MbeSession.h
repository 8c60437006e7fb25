#pragma once
// An MBE session: identification from the module's memory, then a free-running loop
// that polls the watched data and fault items one request at a time until the session
// is shut down. The loop serves data and faults only: client commands are not acted on,
// and a request to clear the faults is answered with failure.
#include <cstdint>

namespace quorvan {

class frmCommThread;
struct MbeLink;

// Reads the identification and, when the module answers, starts the session.
void StartupMBE(frmCommThread& f, MbeLink& m);
// Starts the request loop (the first sample-rate tick of a session does); it runs one
// request per turn until the session ends.
void MBERequestLoop(frmCommThread& f, MbeLink& m);
// One turn of the loop: a request, unless the session has ended.
void MbeLoopTurn(frmCommThread& f, MbeLink& m);
// One request of the loop: the answer to a clear-faults request, the next due watch
// item, or the keep-alive read.
void Next_MBE_Request(frmCommThread& f, MbeLink& m);
void MBEDataItem(frmCommThread& f, MbeLink& m, std::int32_t address, std::int32_t size);
void MBEFaultRequest(frmCommThread& f, MbeLink& m, std::int32_t kind);

}  // namespace quorvan
