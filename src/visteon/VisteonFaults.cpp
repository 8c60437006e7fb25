#include "visteon/VisteonFaults.h"

#include "client/clsBoschECU.h"
#include "kline/FaultCodes.h"
#include "runtime/frmCommThread.h"
#include "visteon/PacketLayer.h"
#include "visteon/VisteonLink.h"

namespace quorvan {

namespace {
constexpr std::size_t kFaultReplyLength = 7;
constexpr std::size_t kCodePositions[] = {1, 3, 5};  // 0-based offsets of the three codes

template <typename OnCode>
void forEachCode(std::string_view reply, OnCode onCode) {
  if (reply.size() < kFaultReplyLength) return;
  for (std::size_t pos : kCodePositions) onCode(GetOneFaultCode(reply.substr(pos, 2)));
}
}  // namespace

std::string ExtractVFaults(std::string_view reply, bool& faultListDone) {
  std::string result;
  forEachCode(reply, [&](const std::string& code) {
    if (code == "0000") {
      faultListDone = true;
    } else {
      result += code + "/";
    }
  });
  return result;
}

std::string ExtractAllFaults(std::string_view reply) {
  std::string result;
  forEachCode(reply, [&](const std::string& code) { result += code + "/"; });
  return result;
}

void ClearVisteonFaults(frmCommThread& f, VisteonLink& v) {
  SendCommand(f, v, std::string(1, '\x04'));
  const bool success = f.replyBuffer == std::string(1, '\x44');
  if (f.objBoschECU) f.objBoschECU->RaiseFaultsCleared(success);
}

}  // namespace quorvan
