#include "mse10/Mse10Scheduler.h"

#include <cstdint>
#include <string>

#include "client/clsBoschECU.h"
#include "mse10/DataPump.h"
#include "mse10/Mse10Protocol.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

using namespace mse10;

namespace {

constexpr std::int32_t kHoldThePhoneMs = 800;

// Where the pump stood when the controller's block was complete. The waits below yield,
// and a client call or the watchdog may start a new wake-up meanwhile, or the controller
// may begin another block: our block then has no place on the wire any more.
struct Turn {
  std::int16_t pumpMode;
  std::int16_t byteCount;
};

Turn markTurn(const Mse10Link& m) {
  return {m.pumpMode, m.byteCount};
}

bool waitForTurn(frmCommThread& f, Mse10Link& m, const Turn& turn, std::uint32_t waitMs) {
  f.waits.WaitFor(static_cast<std::int32_t>(waitMs));
  if (m.pumpMode == turn.pumpMode && m.byteCount == turn.byteCount && f.commSerial.PortOpen()) {
    return true;
  }
  RingIfDebug(f,
              [] { return std::string("!! next request dropped: the line moved on meanwhile"); });
  return false;
}

void sendAfter(frmCommThread& f, Mse10Link& m, const Turn& turn, std::uint32_t waitMs,
               std::uint8_t title) {
  if (waitForTurn(f, m, turn, waitMs)) SendBlock(f, m, title);
}

void traceRefusedItem(frmCommThread& f, std::int16_t itemNum, const WatchItem& item) {
  if (!f.mbDebugMode) return;
  f.LogIt("** Watch item " + std::to_string(itemNum) + " not read: address $" + Hex(item.address) +
          " size " + std::to_string(item.size) + " do not fit a read-memory block");
}

void readItem(frmCommThread& f, Mse10Link& m, const Turn& turn, const WatchItem& item) {
  m.reqType = kReadMemory;
  m.curItemAddr = item.address;
  m.curItemSize = item.size;
  const bool faultList = item.kind == ecuFaults;
  f.passWasIdle = false;
  if (!waitForTurn(f, m, turn, m.requestDelay)) return;
  if (faultList) {
    m.faultText.clear();
    SendBlock(f, m, kReadFaults);
  } else {
    SendBlock(f, m, m.reqType);
  }
}

void holdThePhone(frmCommThread& f, Mse10Link& m, const Turn& turn) {
  f.holdThePhone = false;
  if (f.objBoschECU) f.objBoschECU->setBusy(false);
  sendAfter(f, m, turn, kHoldThePhoneMs, kAck);
}

// A pause the client asked for, the next due watch item, or a keep-alive.
void pollWatchTable(frmCommThread& f, Mse10Link& m, const Turn& turn) {
  if (f.holdThePhone) {
    holdThePhone(f, m, turn);
    return;
  }
  const std::int16_t itemNum = f.NextDueWatchItem([&](std::int16_t n, const WatchItem& item) {
    if (item.kind == ecuFaults || FitsReadMemoryBlock(item.address, item.size)) return true;
    traceRefusedItem(f, n, item);
    return false;
  });
  if (itemNum == 0) {  // a whole pass ran no item
    sendAfter(f, m, turn, f.idleRequestDelay, kAck);
    return;
  }
  const WatchItem item = f.globals.ecuWatchTable[static_cast<std::size_t>(itemNum)];
  readItem(f, m, turn, item);
}

}  // namespace

void SendNextRequest(frmCommThread& f, Mse10Link& m) {
  f.DieIfNoClients();
  const Turn turn = markTurn(m);
  const auto received = static_cast<std::uint8_t>(m.rxTitle);
  // The pump has counted this NAK already; the count is kept as it has always been
  // reported, two per NAK.
  if (received == kNak) CountUp(m.ecuNAKs);
  // A running multi-block answer first, then a clear, the timing mode, command 201 and
  // last the watch items.
  if (received == kFaultCode || received == kIdentText) {
    f.passWasIdle = false;
    sendAfter(f, m, turn, m.interByteDelay, kAck);  // the controller may have more blocks
    return;
  }
  if (f.clearPending) {
    f.passWasIdle = false;
    if (!waitForTurn(f, m, turn, m.interByteDelay)) return;
    SendBlock(f, m, kClearFaults);
    f.clearPending = false;
    return;
  }
  if (f.mbTimingMode) {
    f.passWasIdle = false;
    sendAfter(f, m, turn, m.requestDelay, kTimingMode);
    return;
  }
  if (f.commandRequested == cmd::kMse10Special) {
    f.passWasIdle = false;
    if (!waitForTurn(f, m, turn, m.interByteDelay)) return;
    SendBlock(f, m, kSpecialCommand);
    f.commandRequested = cmd::kNone;
    return;
  }
  pollWatchTable(f, m, turn);
}

}  // namespace quorvan
