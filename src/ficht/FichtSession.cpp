#include "ficht/FichtSession.h"

#include <exception>

#include "client/clsBoschECU.h"
#include "ficht/FichtExchange.h"
#include "ficht/FichtFrames.h"
#include "ficht/FichtLink.h"
#include "ficht/FichtRequests.h"
#include "kline/Format.h"
#include "runtime/FlashSession.h"
#include "runtime/WatchPolling.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::uint32_t kWakeUpWaitMs = 800;
constexpr std::int32_t kKeepAliveAddress = 92;
constexpr std::int32_t kFaultItemBase = 0x10000;  // watch addresses from here are fault items
constexpr std::int16_t kCommandZero = -1;
constexpr std::int16_t kNoAction = -2;

// Reads the identification; the texts of reads that failed are kFichtTimedOutText.
void identify(frmCommThread& f, FichtLink& k) {
  const std::string letterText = FichtReadText(f, k, 2, 5);
  const std::string letter =
      letterText.empty() ? std::string() : letterText.substr(letterText.size() - 1);
  FichtReadText(f, k, 1, 3);
  // A failed read leaves no version to show.
  const std::int32_t softVer = f.timeOut ? 0 : ExtractLong(f.replyBuffer, 2, 3);
  const std::string mapVer = FichtReadText(f, k, 115, 8);
  const std::string model = FichtReadText(f, k, 110, 15);
  f.LogIt("++ Starting Ficht: Model=" + model + ", mapVer=" + mapVer +
          " softVer=" + std::to_string(softVer) + "-" + letter);
  f.lastEcuStatus = ecuNoComm;
  if (f.timeOut) {
    f.DieIfNoClients();
    return;
  }
  f.globals.gEcuIds = {std::to_string(softVer) + "-" + letter, mapVer, model};
  f.StatusNotify(ecuCommOK);
  f.globals.gFichtRunning = true;
  f.tmrSampleRate.setEnabled(true);
}

void runCommand(frmCommThread& f, FichtLink& k) {
  const std::int16_t code = f.commandRequested;
  if (f.flashMode() != flashIdle) {
    // A reflash request: Ficht modules are not reflashed, and the client must not be
    // left waiting for one.
    RefuseFlashRequest(f, "Ficht");
    if (f.commandRequested == cmd::kNone) return;
  }
  if (code == kCommandZero) {
    DoFichtCommand(f, k, 0);
  } else if (code == cmd::kFichtBlockWrite) {
    FichtBlockWrite(f, k, f.ecuFlashData);
  } else if (code >= 1 && code <= 255) {
    DoFichtCommand(f, k, code);
  } else if (code != kNoAction) {
    FichtDataRequest(f, k, code);
  }
  f.commandRequested = 0;
}

// Runs the next due watched item; false when a whole pass had none.
bool pollNextItem(frmCommThread& f, FichtLink& k) {
  const auto item = NextItemToRun(f, kFichtItemDelayMs);
  if (!item) return false;
  k.curItemAddr = item->address;
  k.curItemSize = item->size;
  k.location = "ramAddress range test";
  if (k.curItemAddr < kFaultItemBase) {
    k.location = "in Data branch";
    FichtDataItem(f, k, k.curItemAddr, std::abs(static_cast<std::int32_t>(k.curItemSize)));
  } else {
    k.location = "in Fault branch";
    FichtFaultRequest(f, k, k.curItemAddr / kFaultItemBase);
  }
  return true;
}

void keepAlive(frmCommThread& f, FichtLink& k) {
  k.location = "no dataItems active";
  f.waits.WaitFor(static_cast<std::int32_t>(f.idleRequestDelay));
  FichtRequestCore(f, k, kKeepAliveAddress, 1);
  if (f.replyBuffer.size() == 2) {
    if (f.lastEcuStatus == ecuNoCableOrPower) f.StatusNotify(ecuCommOK);
    f.activity = true;
  } else if (!f.timeOut) {
    f.ReportError("? Getting response from non-Ficht EMM: " + PktToHex(f.replyBuffer),
                  mb::vbExclamation, kErrorTitle);
  }
}

void runStep(frmCommThread& f, FichtLink& k) {
  k.location = "just entered";
  f.DieIfNoClients();
  if (f.clearPending) {
    k.location = "clear pending";
    f.passWasIdle = false;
    f.waits.WaitFor(static_cast<std::int32_t>(k.interByteDelay));
    FichtClearFaults(f, k);
    f.clearPending = false;
    return;
  }
  if (f.commandRequested != 0) {
    f.passWasIdle = false;
    runCommand(f, k);
    return;
  }
  if (!pollNextItem(f, k)) keepAlive(f, k);
}

}  // namespace

void StartupFicht(frmCommThread& f, FichtLink& k) {
  // The Ficht cable is this family's own: what it brings in is the module's.
  f.ignoreInput = false;
  f.CommOutStr("/");
  f.timeOut = false;
  f.globals.gFichtRunning = false;
  f.StatusNotify(ecuInitializing);
  f.waits.WaitFor(static_cast<std::int32_t>(kWakeUpWaitMs));
  // An answer still owed to the last session came during the wait, and the first request
  // drops what came: the line need not stay quiet any longer.
  k.answerMayFollow = false;
  identify(f, k);
  f.tmrWatchDog.setInterval(kWatchDogMs);
  f.tmrWatchDog.setEnabled(true);
}

void NextFichtRequest(frmCommThread& f, FichtLink& k) {
  ExchangeScope exchange(f);
  try {
    runStep(f, k);
  } catch (const std::exception& e) {
    f.trace.ReportFailure(
        "NextFichtRequest", 2, ErrFromException(e),
        {"location = " + k.location + ", sampleTimer =" + BoolText(f.tmrSampleRate.Enabled()),
         "ramAddress = " + std::to_string(k.curItemAddr),
         "ecuDevice (MSE10+MSE11+Vist+Ficht) is " + std::to_string(f.ecuDevice),
         "ecuActive = " + std::to_string(f.objBoschECU ? f.objBoschECU->ecuActive : 0)});
  }
}

bool FichtLoopGoesOn(frmCommThread& f, const FichtLink& k) {
  // A client that chose another family meanwhile has no more use for the Ficht loop.
  return f.globals.gFichtRunning && f.Serves(*k.family) && !f.ClientIsGone();
}

}  // namespace quorvan
