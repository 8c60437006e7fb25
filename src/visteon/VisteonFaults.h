#pragma once
// Fault codes of the Visteon path: service 0x03 replies carry three two-byte codes each,
// a code 0000 ends the list; service 0x04 clears them.
#include <string>
#include <string_view>

namespace quorvan {

class frmCommThread;
struct VisteonLink;

// The non-zero codes of a reply, each followed by "/"; a 0000 code sets faultListDone.
std::string ExtractVFaults(std::string_view reply, bool& faultListDone);
// All three codes of a reply, each followed by "/" (for the trace).
std::string ExtractAllFaults(std::string_view reply);
// Sends service 0x04 and tells the client whether the controller confirmed.
void ClearVisteonFaults(frmCommThread& f, VisteonLink& v);

}  // namespace quorvan
