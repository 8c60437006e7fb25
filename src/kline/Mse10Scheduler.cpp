#include "kline/Mse10Scheduler.h"

#include <cstdint>
#include <string>

#include "client/clsBoschECU.h"
#include "kline/DataPump.h"
#include "kline/Mse10Protocol.h"
#include "requests/RequestLoop.h"
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

Turn markTurn(const frmCommThread& f) {
  return {f.pumpMode, f.byteCount};
}

bool waitForTurn(frmCommThread& f, const Turn& turn, std::uint32_t waitMs) {
  f.waits.WaitFor(static_cast<std::int32_t>(waitMs));
  if (f.pumpMode == turn.pumpMode && f.byteCount == turn.byteCount && f.commSerial.PortOpen()) {
    return true;
  }
  RingIfDebug(f,
              [] { return std::string("!! next request dropped: the line moved on meanwhile"); });
  return false;
}

void sendAfter(frmCommThread& f, const Turn& turn, std::uint32_t waitMs, std::uint8_t title) {
  if (waitForTurn(f, turn, waitMs)) SendBlock(f, title);
}

void traceRefusedItem(frmCommThread& f, const WatchItem& item) {
  if (!f.mbDebugMode) return;
  f.LogIt("** Watch item " + std::to_string(f.globals.gCurItem) + " not read: address $" +
          Hex(item.address) + " size " + std::to_string(item.size) +
          " do not fit a read-memory block");
}

void readItem(frmCommThread& f, const Turn& turn, const WatchItem& item) {
  f.reqType = kReadMemory;
  f.curItemAddr = item.address;
  f.curItemSize = item.size;
  const bool faultList = item.kind == ecuFaults;
  f.passWasIdle = false;
  if (!waitForTurn(f, turn, f.requestDelay)) return;
  if (faultList) {
    f.faultText.clear();
    SendBlock(f, kReadFaults);
  } else {
    SendBlock(f, f.reqType);
  }
}

void holdThePhone(frmCommThread& f, const Turn& turn) {
  f.holdThePhone = false;
  if (f.objBoschECU) f.objBoschECU->setBusy(false);
  sendAfter(f, turn, kHoldThePhoneMs, kAck);
}

// The next due watch item, a pause the client asked for, or a keep-alive.
void pollWatchTable(frmCommThread& f, const Turn& turn) {
  modGlobals& g = f.globals;
  for (;;) {
    if (f.holdThePhone) {
      holdThePhone(f, turn);
      return;
    }
    NextWatchItem(f);
    if (g.gCurItem == 0) {  // a whole pass ran no item
      sendAfter(f, turn, f.idleRequestDelay, kAck);
      return;
    }
    const WatchItem item = g.ecuWatchTable[static_cast<std::size_t>(g.gCurItem)];
    if (item.priority == 0 || g.gPollCycle % item.priority != 0) continue;
    if (item.kind != ecuFaults && !FitsReadMemoryBlock(item.address, item.size)) {
      traceRefusedItem(f, item);
      continue;
    }
    readItem(f, turn, item);
    return;
  }
}

}  // namespace

void SendNextRequest(frmCommThread& f) {
  f.DieIfNoClients();
  const Turn turn = markTurn(f);
  // A running multi-block answer first, then a clear, the timing mode, command 201 and
  // last the watch items.
  const auto received = static_cast<std::uint8_t>(f.rxTitle);
  if (received == kFaultCode || received == kIdentText) {
    f.passWasIdle = false;
    sendAfter(f, turn, f.interByteDelay, kAck);  // the controller may have more blocks
    return;
  }
  if (f.clearPending) {
    f.passWasIdle = false;
    if (!waitForTurn(f, turn, f.interByteDelay)) return;
    SendBlock(f, kClearFaults);
    f.clearPending = false;
    return;
  }
  if (f.mbTimingMode) {
    f.passWasIdle = false;
    sendAfter(f, turn, f.requestDelay, kTimingMode);
    return;
  }
  if (f.commandRequested == cmd::kMse10Special) {
    f.passWasIdle = false;
    if (!waitForTurn(f, turn, f.interByteDelay)) return;
    SendBlock(f, kSpecialCommand);
    f.commandRequested = cmd::kNone;
    return;
  }
  pollWatchTable(f, turn);
}

}  // namespace quorvan
