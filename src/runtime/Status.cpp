#include "client/clsBoschECU.h"
#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

const char* StatusWord(std::int32_t status) {
  switch (status) {
    case ecuReady:
      return "ecuReady";
    case ecuNoCableOrPower:
      return "ecuNoCableOrPower";
    case ecuNoComm:
      return "ecuNoComm";
    case ecuCableDetected:
      return "ecuCableDetected";
    case ecuInitializing:
      return "ecuInitializing";
    case ecuCommOK:
      return "ecuCommOK";
    case ecuCommLost:
      return "ecuCommLost";
    case ecuRunSwitchOff:
      return "ecuRunSwitchOff";
    case ecuNoSerialCable:
      return "ecuNoSerialCable";
    default:
      return "Unknown";
  }
}

void frmCommThread::StatusNotify(std::int32_t status) {
  // Repeats of "all is well", "no answer" and "no port" (the watchdog retries a port that
  // does not open every period) would flood the client; the rest are news.
  if ((status == ecuCommOK || status == ecuNoComm || status == ecuNoSerialCable) &&
      status == lastEcuStatus) {
    return;
  }
  if (objBoschECU) objBoschECU->RaiseCommStatus(status);
  lastEcuStatus = status;
  LogIt("** Notify Client, status -> " + std::to_string(status) + " = " + StatusWord(status));
}

bool frmCommThread::ConnectionIsBad() {
  if (!commSerial.PortOpen()) return false;
  bool bad = false;
  try {
    discardInput = true;
    gotInput = false;
    LogIt("%%% Sending 17-byte cable-detect packet...");
    CommOutStr(kCableDetectPacket);
    waits.WaitFor(50);
    // The interface echoes every byte only with the cable in and the vehicle powered.
    if (!gotInput) {
      bad = true;
      LogIt(">> lostCableOrPower, detected in ConnectionIsBad-test");
      StatusNotify(ecuNoCableOrPower);
    }
    discardInput = false;
    commSerial.setInBufferCount(0);
    LogIt(std::string("ConnectionIsBad reports: ") + BoolText(bad));
  } catch (const std::exception&) {
    discardInput = false;
    ReportError("Died in ConnectionIsBad", mb::vbExclamation, kErrorTitle);
    return false;
  }
  return bad;
}

// A flash request stored while the request timer ran is lost when an initialisation
// that finds no controller stops the timer before the request's tick: the reflash then
// never ends, and with it neither the client's flashBusy nor the watchdog's rest. The
// timer goes on again so the request runs (an abort re-initialises the link).
void frmCommThread::resumeStrandedFlashRequest() {
  const bool flashRequest =
      commandRequested >= cmd::kFlashInit && commandRequested <= cmd::kFlashIdent;
  if (!flashRequest || tmrSampleRate.Enabled()) return;
  LogIt("** flash request " + std::to_string(commandRequested) +
        " was waiting with the request timer off; timer on again");
  tmrSampleRate.setEnabled(true);
}

void frmCommThread::tmrWatchDog_Timer() {
  if (haveShutDown) return;
  const std::uint32_t interval = tmrWatchDog.Interval();
  const std::uint32_t t = now();
  LogIt("!! " + std::to_string(interval) + " mS WatchDog timer fired @" + std::to_string(t) +
        ": activity=" + BoolText(activity) + "; bActive=" + BoolText(bActive) +
        "; smpTmrEnab=" + BoolText(tmrSampleRate.Enabled()));
  bActive = false;
  if (flashMode() != flashIdle) {
    DieIfNoClients();  // a reflash handles its own time-outs
    resumeStrandedFlashRequest();
    return;
  }
  if (activity) {
    activity = false;
  } else if (requestInProgress) {
    // A request tick is waiting inside its own exchange: a new initialisation now would
    // put a second exchange on the wire. It follows that exchange unless the exchange
    // itself gets an answer.
    LogToRing("*** WatchDog: init deferred, a request is in progress");
    initIfQuiet = true;
  } else {
    const std::uint32_t elapsed = ElapsedMs(t, gWatchTimer);
    if (static_cast<double>(elapsed) >= 0.9 * static_cast<double>(interval)) {
      LogIt("Lighting off Do5Baud in WatchDog_Timer, FlashMode is " + std::to_string(flashMode()));
      Do5BaudInit();
    } else {
      LogToRing("*** WatchDog Timer spuriously triggered at " + std::to_string(elapsed) +
                " < interval of " + std::to_string(interval));
    }
  }
  gWatchTimer = now();
}

void frmCommThread::cmdRestart_Click() {
  trace.ClearRing();
  Visible = false;  // the debug window goes back into hiding
  LogToList("Lighting off Do5Baud in cmdRestart_Click, FlashMode is " +
            std::to_string(flashMode()));
  RequestInit();
  tmrWatchDog.setEnabled(true);
}

}  // namespace quorvan
