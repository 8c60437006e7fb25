#include "mbe/MbeSession.h"

#include <cstdlib>
#include <exception>

#include "client/clsBoschECU.h"
#include "mbe/MbeDecode.h"
#include "mbe/MbeExchange.h"
#include "mbe/MbeLink.h"
#include "mbe/MbeProtocol.h"
#include "runtime/FlashSession.h"
#include "runtime/WatchPolling.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::int32_t kSettleMs = 800;  // after the port is set, before the first read
constexpr std::int32_t kDelayBeforeItemMs = 10;
constexpr int kStepAlert = 1;
constexpr int kStartupAlert = 122;
constexpr const char* kFamilyName = "MBE";

std::int32_t numberOf(const Variant& v) {
  const auto* n = std::get_if<std::int32_t>(&v.value);
  return n ? *n : 0;
}

std::string idText(const Variant& id) {
  if (const auto* text = std::get_if<std::string>(&id.value)) return *text;
  return std::to_string(numberOf(id));
}

void scheduleTurn(MbeLink& m, bool on) {
  if (m.tmrNextRequest) m.tmrNextRequest->setEnabled(on);
}

void endLoop(frmCommThread& f, MbeLink& m) {
  m.loopRunning = false;
  scheduleTurn(m, false);
  f.LogIt(std::string("-- Exiting MBERequestLoop, runStatus=") + BoolText(f.globals.gMbeRunning));
}

bool sessionGoesOn(frmCommThread& f, const MbeLink& m) {
  return !f.ClientIsGone() && f.globals.gMbeRunning && f.Serves(*m.family);
}

// Runs the next due watch item; false when the pass had none (an idle turn).
bool pollNextItem(frmCommThread& f, MbeLink& m, std::string& location) {
  const auto item = NextItemToRun(f, kDelayBeforeItemMs);
  if (!item) return false;
  m.curItemAddr = item->address;
  m.curItemSize = item->size;
  location = "ramAddress range test";
  if (m.curItemAddr < mbe::kFaultItemBase) {
    location = "in Data branch";
    MBEDataItem(f, m, m.curItemAddr, std::abs(static_cast<std::int32_t>(m.curItemSize)));
  } else {
    location = "in Fault branch";
    MBEFaultRequest(f, m, m.curItemAddr / mbe::kFaultItemBase);
  }
  return true;
}

void keepAlive(frmCommThread& f, MbeLink& m, std::string& location) {
  location = "no dataItems active";
  f.waits.WaitFor(static_cast<std::int32_t>(f.idleRequestDelay));
  MBERequestCore(f, m, mbe::kKeepAliveAddress, 1);
  if (f.replyBuffer.size() == 1) {
    if (f.lastEcuStatus == ecuNoCableOrPower) f.StatusNotify(ecuCommOK);
    f.activity = true;
  } else if (!f.timeOut) {
    f.ReportError("? Getting response from non-MBE EMM: " + PktToHex(f.replyBuffer),
                  mb::vbExclamation, kErrorTitle);
  }
}

void runStep(frmCommThread& f, MbeLink& m, std::string& location) {
  location = "just entered";
  f.DieIfNoClients();
  // Flash requests have no meaning here: refused, the client is not left at flashBusy
  // (and the watchdog, which holds off during a reflash, keeps watching the link).
  RefuseFlashRequest(f, kFamilyName);
  if (f.clearPending) {
    // The module's faults cannot be cleared over this link.
    f.passWasIdle = false;
    if (f.objBoschECU) f.objBoschECU->RaiseFaultsCleared(false);
    f.clearPending = false;
    return;
  }
  if (!pollNextItem(f, m, location)) keepAlive(f, m, location);
}

void identify(frmCommThread& f, MbeLink& m) {
  f.timeOut = false;
  f.globals.gMbeRunning = false;
  if (m.loopRunning) endLoop(f, m);  // the loop of an earlier session
  f.SetBaudRate(mbe::kBitRate);
  f.StatusNotify(ecuInitializing);
  f.waits.WaitFor(kSettleMs);
  f.lastEcuStatus = ecuCommOK;  // no report for the identification read itself
  const Variant id = MBERequestCore(f, m, mbe::kIdAddress, mbe::kIdSize);
  f.LogIt("++ Starting MBE-EMM: IdInfo=" + idText(id));
  f.lastEcuStatus = ecuNoComm;
  if (f.timeOut) {
    f.DieIfNoClients();
    return;
  }
  f.globals.gEcuIds[0] = idText(id).substr(1);
  f.globals.gEcuIds[1] = "MBE Controller";
  f.globals.gEcuIds[2] = "Victory";
  f.StatusNotify(ecuCommOK);
  f.globals.gMbeRunning = true;
  f.tmrSampleRate.setEnabled(true);  // its first tick starts the request loop
}

}  // namespace

void StartupMBE(frmCommThread& f, MbeLink& m) {
  try {
    identify(f, m);
  } catch (const std::exception& e) {
    f.trace.ReportFailure("StartupMBE", kStartupAlert, ErrFromException(e));
  }
  // Also after a failure: the watchdog tries again.
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.tmrWatchDog.setEnabled(true);
}

void MBERequestLoop(frmCommThread& f, MbeLink& m) {
  if (m.loopRunning) return;
  m.loopRunning = true;
  f.LogIt("++ Entering MBERequestLoop, runs @fullSpeed until shutDown");
  MbeLoopTurn(f, m);
}

void MbeLoopTurn(frmCommThread& f, MbeLink& m) {
  if (!m.loopRunning) return;
  if (!sessionGoesOn(f, m)) {
    endLoop(f, m);
    return;
  }
  Next_MBE_Request(f, m);
  // The next turn comes a pause after this one ended (the session may have ended or
  // started anew meanwhile: the turn looks).
  if (m.loopRunning) scheduleTurn(m, true);
}

void Next_MBE_Request(frmCommThread& f, MbeLink& m) {
  ExchangeScope busy(f);
  std::string location;
  try {
    runStep(f, m, location);
  } catch (const std::exception& e) {
    f.trace.ReportFailure(
        "Next_MBE_Request", kStepAlert, ErrFromException(e),
        {"location = " + location + ", sampleTimer =" + BoolText(f.tmrSampleRate.Enabled()),
         "ramAddress = " + std::to_string(m.curItemAddr),
         "ecuDevice (MSE10+MSE11+Vist+Ficht) is " + std::to_string(f.ecuDevice),
         "ecuActive = " + std::to_string(f.objBoschECU ? f.objBoschECU->ecuActive : 0)});
  }
}

void MBEDataItem(frmCommThread& f, MbeLink& m, std::int32_t address, std::int32_t size) {
  const Variant v = MBERequestCore(f, m, address, size);
  if (f.timeOut) return;
  f.StatusNotify(ecuCommOK);
  if (f.objBoschECU) f.objBoschECU->PacketNotify(v);
}

void MBEFaultRequest(frmCommThread& f, MbeLink& m, std::int32_t kind) {
  std::string faults;
  int reads = 0;
  bool allRead = true;
  const auto readFaultByte = [&](std::int32_t address, bool isCurrent) {
    const Variant bits = MBERequestCore(f, m, address, 1);
    ++reads;
    allRead = allRead && !f.timeOut;
    faults += mbe::ExtractMBEFaults(numberOf(bits), isCurrent);
  };
  if ((kind & mbe::kCurrentFaultsBit) != 0) readFaultByte(mbe::kCurrentFaultsAddress, true);
  // Every fault of the history is reported, also those present now.
  if ((kind & mbe::kFaultHistoryBit) != 0) readFaultByte(mbe::kFaultHistoryAddress, false);
  // Only the module's word counts: a fault byte that was not read is not "no faults".
  if (reads == 0 || !allRead) return;
  f.StatusNotify(ecuCommOK);
  if (f.objBoschECU) f.objBoschECU->RaiseNewFaults(faults);
}

}  // namespace quorvan
