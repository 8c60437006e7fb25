#pragma once
// The Ficht session: the module's identification, then a loop that paces itself, one
// request per step and a short rest between steps, until the session is shut down.
#include <cstdint>

namespace quorvan {

class frmCommThread;
struct FichtLink;

// The rest between two steps of the loop.
inline constexpr std::uint32_t kFichtStepRestMs = 10;
// The wait before each watched item's request.
inline constexpr std::int32_t kFichtItemDelayMs = 10;

// Identifies the module and fills the identity strings; on success the session runs and
// the sample-rate timer's next tick starts the loop.
void StartupFicht(frmCommThread& f, FichtLink& k);
// One step of the loop: a clear-faults, a client command, the next due watched item, or
// the keep-alive read when nothing is due.
void NextFichtRequest(frmCommThread& f, FichtLink& k);
// The loop goes on while the session runs for this family and the client is there.
bool FichtLoopGoesOn(frmCommThread& f, const FichtLink& k);

}  // namespace quorvan
